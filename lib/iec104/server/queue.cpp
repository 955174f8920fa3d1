#include "iec104/queue.h"

#include <cstring>

namespace iec104 {

bool AsduQueue::push(std::span<const uint8_t> asdu)
{
    if (full() || asdu.empty() || asdu.size() > kMaxAsduSize)
        return false;
    Slot &s = slots_[(head_ + count_) % slots_.size()];
    s.size = static_cast<uint8_t>(asdu.size());
    std::memcpy(s.data.data(), asdu.data(), asdu.size());
    ++count_;
    return true;
}

std::span<const uint8_t> AsduQueue::front() const
{
    if (empty())
        return {};
    const Slot &s = slots_[head_];
    return {s.data.data(), s.size};
}

void AsduQueue::pop()
{
    if (empty())
        return;
    head_ = (head_ + 1) % slots_.size();
    --count_;
}

} // namespace iec104
