// Modbus RTU and TCP framing: request building, the length a reply is expected to have, reply
// validation and write confirmation. Pure functions over bounded byte spans; nothing here does I/O.
//
// The two framings differ only in data (header length, checksum length), kept in one small table,
// so every request and reply goes through one code path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace modbus
{

// Replies are read into a buffer of this size; nothing longer is ever accepted.
inline constexpr size_t kReplyBufferSize = 1024;
// The longest request we build: a TCP write of 16 with eight data bytes is 21 bytes; function 16
// frames carry at most one 64-bit value.
inline constexpr size_t kMaxRequestSize = 32;

enum class Framing : uint8_t { rtu, tcp };

struct FramingTraits {
    uint8_t header_length;   // bytes before the function code (slave id, or MBAP with unit id)
    uint8_t checksum_length; // CRC bytes after the PDU
    uint8_t prefix_length;   // header, function code and byte count (or exception code)
};

constexpr FramingTraits traits(Framing f)
{
    return f == Framing::rtu ? FramingTraits{1, 2, 3} : FramingTraits{7, 0, 9};
}

// Total length of a normal read reply carrying `data_bytes` data bytes: +5 for RTU, +9 for TCP.
constexpr size_t read_reply_length(Framing f, size_t data_bytes)
{
    return traits(f).header_length + 2 + data_bytes + traits(f).checksum_length;
}

// Total length of an exception reply: 5 bytes for RTU, 9 for TCP.
constexpr size_t exception_reply_length(Framing f)
{
    return traits(f).header_length + 2 + traits(f).checksum_length;
}

// Channel states; the numbers are shown to users and travel in status texts.
enum class ChannelState : uint8_t {
    read_ok = 1,
    reading = 2,
    write_error = 3,
    read_error = 4,
    crc_error = 5,
    func_code_error = 6,
    slave_id_mismatch = 7,
    unexpected_bytes = 8,
    trans_id_mismatch = 9,
    invalid_protocol_id = 10,
};

const char *state_text(uint8_t state);
const char *exception_text(uint8_t code);
// Text of a failed channel: the exception text for state 6, else the state's own text.
const char *failure_text(uint8_t state, uint8_t exception_code);

// Builds a read request (function 1-4) into `out`; returns its length (8 RTU, 12 TCP).
size_t build_read_request(Framing f, uint16_t transaction_id, uint8_t slave_id, uint8_t func_code, uint16_t start,
                          uint16_t quantity, uint8_t (&out)[kMaxRequestSize]);

enum class WriteFrameError : uint8_t {
    none,
    multiple_coils,    // function 15
    unknown_func_code, // anything but 5, 6, 16
    bad_data_length,   // 5 and 6 need 2 bytes; 16 needs 4 or 8
};

// Builds a write request for function 5, 6 (two data bytes) or 16 (4 or 8 data bytes, i.e. 2 or 4
// registers). Returns the frame length, 0 with `error` set when the request cannot be built.
size_t build_write_request(Framing f, uint16_t transaction_id, uint8_t slave_id, uint8_t func_code, uint16_t address,
                           std::span<const uint8_t> data, uint8_t (&out)[kMaxRequestSize], WriteFrameError &error);

// Given the first traits(f).prefix_length bytes of a reply, the total length to read: the
// exception length when the function code is the request's with the high bit set, else
// `normal_length`, or with `byte_count_at_most` the length the reply's byte count gives when that
// is shorter. Never above kReplyBufferSize.
size_t reply_length_from_prefix(Framing f, std::span<const uint8_t> prefix, uint8_t request_func_code,
                                size_t normal_length, bool byte_count_at_most = false);

// Outcome of the validation of a read reply. `data` points into the checked reply.
struct ReadReply {
    ChannelState state = ChannelState::read_ok;
    uint8_t exception_code = 0;
    std::span<const uint8_t> data;
};

// Validates a read reply against its request. The checks run in a fixed order and the first
// failure decides: RTU CRC, slave id, function code (exception), byte count; TCP transaction id,
// protocol id, unit id, function code, byte count. A reply too short to hold what a check reads,
// or shorter than its own byte count announces, is "Unexpected bytes": no byte beyond the reply is
// ever looked at.
// With `byte_count_at_most` a byte count up to `expected_data_bytes` is accepted (pollers that take
// the value's width from the reply).
ReadReply validate_read_reply(Framing f, std::span<const uint8_t> reply, uint16_t transaction_id, uint8_t slave_id,
                              uint8_t func_code, size_t expected_data_bytes, bool byte_count_at_most = false);

enum class WriteConfirm : uint8_t {
    ok,
    short_reply,
    crc_error,
    trans_id_mismatch,
    invalid_protocol_id,
    slave_id_mismatch,
    exception,
    func_code_mismatch,
    echo_mismatch,
};

const char *to_string(WriteConfirm c);

// Checks a write reply against the request it answers: same slave (unit), same function code
// (an exception reply fails, with its code in `exception_code`), for 5 and 6 the echoed address and
// value, for 16 the echoed address and register count; TCP also the transaction and protocol ids,
// RTU the CRC.
WriteConfirm confirm_write_reply(Framing f, std::span<const uint8_t> request, std::span<const uint8_t> reply,
                                 uint8_t &exception_code);

// Length of the normal reply to a write request: an echo of address and value (5, 6) or of address
// and count (16), i.e. 8 bytes RTU, 12 TCP.
constexpr size_t write_reply_length(Framing f)
{
    return traits(f).header_length + 5 + traits(f).checksum_length;
}

} // namespace modbus
