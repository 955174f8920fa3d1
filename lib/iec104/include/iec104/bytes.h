// Bounded byte reader and writer used by every codec of the stack. Nothing reads or writes past the
// span it was given: a read that does not fit returns false and leaves the value alone, a write that
// does not fit marks the writer as failed and every later write is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace iec104 {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

    size_t remaining() const { return data_.size() - pos_; }
    size_t position() const { return pos_; }
    bool empty() const { return remaining() == 0; }
    std::span<const uint8_t> rest() const { return data_.subspan(pos_); }

    [[nodiscard]] bool u8(uint8_t &v)
    {
        if (remaining() < 1)
            return false;
        v = data_[pos_++];
        return true;
    }

    [[nodiscard]] bool u16le(uint16_t &v)
    {
        uint32_t wide = 0;
        if (!uint_le(2, wide))
            return false;
        v = static_cast<uint16_t>(wide);
        return true;
    }

    [[nodiscard]] bool u32le(uint32_t &v) { return uint_le(4, v); }

    // Little-endian unsigned integer of 1 to 4 octets.
    [[nodiscard]] bool uint_le(size_t width, uint32_t &v)
    {
        if (width == 0 || width > 4 || remaining() < width)
            return false;
        uint32_t out = 0;
        for (size_t i = 0; i < width; ++i)
            out |= static_cast<uint32_t>(data_[pos_ + i]) << (8 * i);
        pos_ += width;
        v = out;
        return true;
    }

    [[nodiscard]] bool f32le(float &v)
    {
        uint32_t bits = 0;
        if (!u32le(bits))
            return false;
        std::memcpy(&v, &bits, sizeof v);
        return true;
    }

    [[nodiscard]] bool bytes(size_t n, std::span<const uint8_t> &out)
    {
        if (remaining() < n)
            return false;
        out = data_.subspan(pos_, n);
        pos_ += n;
        return true;
    }

    [[nodiscard]] bool skip(size_t n)
    {
        if (remaining() < n)
            return false;
        pos_ += n;
        return true;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

class ByteWriter {
public:
    explicit ByteWriter(std::span<uint8_t> buffer) : buf_(buffer) {}

    size_t size() const { return pos_; }
    size_t remaining() const { return buf_.size() - pos_; }
    [[nodiscard]] bool ok() const { return !failed_; }
    std::span<const uint8_t> written() const { return buf_.first(pos_); }
    // Gives write access to an octet already written (length fields patched after the body).
    uint8_t *at(size_t index) { return index < pos_ ? &buf_[index] : nullptr; }

    void u8(uint8_t v)
    {
        if (!reserve(1))
            return;
        buf_[pos_++] = v;
    }

    void u16le(uint16_t v) { uint_le(2, v); }
    void u32le(uint32_t v) { uint_le(4, v); }

    void uint_le(size_t width, uint32_t v)
    {
        if (width == 0 || width > 4) {
            failed_ = true;
            return;
        }
        if (!reserve(width))
            return;
        for (size_t i = 0; i < width; ++i)
            buf_[pos_++] = static_cast<uint8_t>(v >> (8 * i));
    }

    void f32le(float v)
    {
        uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        u32le(bits);
    }

    void bytes(std::span<const uint8_t> data)
    {
        if (!reserve(data.size()))
            return;
        if (!data.empty())
            std::memcpy(&buf_[pos_], data.data(), data.size());
        pos_ += data.size();
    }

private:
    bool reserve(size_t n)
    {
        if (failed_ || remaining() < n) {
            failed_ = true;
            return false;
        }
        return true;
    }

    std::span<uint8_t> buf_;
    size_t pos_ = 0;
    bool failed_ = false;
};

} // namespace iec104
