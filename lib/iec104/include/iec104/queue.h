// Bounded FIFO of encoded ASDUs. All slots are allocated when the queue is made, so queueing never
// allocates and a full queue is a refusal, not growth.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "iec104/apci.h"

namespace iec104 {

class AsduQueue {
public:
    explicit AsduQueue(size_t capacity) : slots_(capacity) {}

    size_t capacity() const { return slots_.size(); }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == slots_.size(); }

    // False when full, or when `asdu` is empty or longer than an ASDU can be.
    bool push(std::span<const uint8_t> asdu);
    std::span<const uint8_t> front() const;
    void pop();
    void clear() { head_ = count_ = 0; }

private:
    struct Slot {
        uint8_t size = 0;
        std::array<uint8_t, kMaxAsduSize> data{};
    };
    std::vector<Slot> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

} // namespace iec104
