// A reference-counted, immutable byte block. The daemon fans one event out to many listeners; each
// listener's queue holds its own 12-byte header and a reference to the one shared payload. The
// daemon is single-threaded, so the count is a plain integer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace fb::bus {

class SharedBytes {
public:
    SharedBytes() = default;

    static SharedBytes copy_of(const uint8_t *data, std::size_t len)
    {
        SharedBytes s;
        void *mem = std::malloc(sizeof(Block) + (len ? len : 1));
        if (!mem)
            throw std::bad_alloc();
        s.b_ = static_cast<Block *>(mem);
        s.b_->refs = 1;
        s.b_->size = len;
        if (len)
            std::memcpy(s.b_ + 1, data, len);
        return s;
    }

    SharedBytes(const SharedBytes &o) : b_(o.b_)
    {
        if (b_)
            ++b_->refs;
    }
    SharedBytes(SharedBytes &&o) noexcept : b_(o.b_) { o.b_ = nullptr; }
    SharedBytes &operator=(const SharedBytes &o)
    {
        if (this != &o) {
            release();
            b_ = o.b_;
            if (b_)
                ++b_->refs;
        }
        return *this;
    }
    SharedBytes &operator=(SharedBytes &&o) noexcept
    {
        if (this != &o) {
            release();
            b_ = o.b_;
            o.b_ = nullptr;
        }
        return *this;
    }
    ~SharedBytes() { release(); }

    const uint8_t *data() const { return b_ ? reinterpret_cast<const uint8_t *>(b_ + 1) : nullptr; }
    std::size_t size() const { return b_ ? b_->size : 0; }
    uint32_t refs() const { return b_ ? b_->refs : 0; }

private:
    struct Block {
        uint32_t refs;
        std::size_t size;
    };

    void release()
    {
        if (b_ && --b_->refs == 0)
            std::free(b_);
        b_ = nullptr;
    }

    Block *b_ = nullptr;
};

} // namespace fb::bus
