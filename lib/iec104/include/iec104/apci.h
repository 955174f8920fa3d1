// APDU framing: start octet 0x68, length octet, four control octets in one of three formats
// (I: numbered information transfer, S: numbered supervisory, U: unnumbered control), then the ASDU
// for I-frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "iec104/bytes.h"

namespace iec104 {

inline constexpr uint8_t kStartByte = 0x68;
inline constexpr size_t kMinApduLength = 4;   // length octet value: control field only
inline constexpr size_t kMaxApduLength = 253; // length octet value
inline constexpr size_t kMaxFrameSize = kMaxApduLength + 2;
inline constexpr size_t kMaxAsduSize = kMaxApduLength - 4;
inline constexpr uint16_t kSeqModulo = 32768;

enum class ApciError : uint8_t {
    Ok,
    Truncated,       // fewer octets than the length octet announces
    BadStartByte,
    BadLength,       // below 4, above 253, not 4 for S/U, or 4 for an I-frame
    BadControlField, // reserved bits set, no or several U functions
};

const char *to_string(ApciError e);

enum class FrameFormat : uint8_t { I, S, U };

// U-frame functions, as the first control octet.
enum class UFunction : uint8_t {
    StartDtAct = 0x07,
    StartDtCon = 0x0B,
    StopDtAct = 0x13,
    StopDtCon = 0x23,
    TestFrAct = 0x43,
    TestFrCon = 0x83,
};

const char *to_string(UFunction f);

struct Apci {
    FrameFormat format = FrameFormat::I;
    uint16_t send_seq = 0; // N(S), I-frames
    uint16_t recv_seq = 0; // N(R), I- and S-frames
    UFunction function = UFunction::TestFrAct;
};

struct Apdu {
    Apci apci;
    std::span<const uint8_t> asdu; // empty for S and U
};

// Parses exactly one complete frame (start octet to last octet). Validates the whole frame before
// filling `out`.
ApciError parse_apdu(std::span<const uint8_t> frame, Apdu &out);

std::array<uint8_t, 6> encode_s_frame(uint16_t recv_seq);
std::array<uint8_t, 6> encode_u_frame(UFunction f);
// Writes the whole I-frame; false when the ASDU is empty or longer than 249 octets, or `w` is full.
[[nodiscard]] bool encode_i_frame(uint16_t send_seq, uint16_t recv_seq, std::span<const uint8_t> asdu,
                                  ByteWriter &w);

// Cuts a byte stream into frames: start octet, length octet, body. Resumable across any split of the
// stream. After an error the stream cannot be resynchronised (a TCP stream has no frame boundary to
// hunt for), so the owner closes the connection.
class ApduFramer {
public:
    enum class Status : uint8_t { NeedMore, Frame, Error };

    // Consumes octets from `in` up to the end of one frame; `consumed` tells how many. With Frame,
    // frame() holds the complete frame until the next push().
    Status push(std::span<const uint8_t> in, size_t &consumed);
    std::span<const uint8_t> frame() const { return {buf_.data(), have_}; }
    ApciError error() const { return error_; }
    void reset();

private:
    std::array<uint8_t, kMaxFrameSize> buf_{};
    size_t have_ = 0;
    bool complete_ = false;
    ApciError error_ = ApciError::Ok;
};

// Sequence arithmetic modulo 32768.
inline uint16_t seq_next(uint16_t s) { return static_cast<uint16_t>((s + 1) % kSeqModulo); }
inline uint16_t seq_distance(uint16_t from, uint16_t to)
{
    return static_cast<uint16_t>((to + kSeqModulo - from) % kSeqModulo);
}

} // namespace iec104
