#include "modbus_engine/frame.h"

#include "common/routines.h"

#include <algorithm>

namespace modbus
{

namespace
{

constexpr const char *kStateTexts[] = {
    "Other error",        // 0
    "Read successfully",  // 1
    "Reading",            // 2
    "Write error",        // 3
    "Read error",         // 4
    "CRC error",          // 5
    "Error func code",    // 6
    "Slave ID mismatch",  // 7
    "Unexpected bytes",   // 8
    "Trans ID mismatch",  // 9
    "Invalid protocol ID" // 10
};

constexpr const char *kExceptionTexts[] = {
    "Other error",                      // 0
    "Illegal function",                 // 1
    "Illegal data address",             // 2
    "Illegal data value",               // 3
    "Equipment fault in slave station", // 4
    "Acknowledge",                      // 5
    "Slave or server busy",             // 6
    "Negative acknowledge",             // 7
    "Memory parity",                    // 8
    "Not defined",                      // 9
    "Gateway path",                     // 10
    "Gateway target",                   // 11
};

uint16_t be16(std::span<const uint8_t> b, size_t at)
{
    return uint16_t(b[at] << 8 | b[at + 1]);
}

void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v & 0xFF);
}

// Writes the header (slave id, or MBAP with unit id) for a PDU of `pdu_length` bytes; returns the
// header length.
size_t put_header(Framing f, uint16_t transaction_id, uint8_t slave_id, size_t pdu_length, uint8_t *out)
{
    if (f == Framing::rtu) {
        out[0] = slave_id;
        return 1;
    }
    put_be16(out, transaction_id);
    out[2] = 0;
    out[3] = 0;
    put_be16(out + 4, uint16_t(pdu_length + 1)); // unit id + PDU
    out[6] = slave_id;
    return 7;
}

size_t put_checksum(Framing f, uint8_t *frame, size_t length)
{
    if (f == Framing::tcp)
        return length;
    uint16_t crc = crc16_modbus(frame, uint16_t(length));
    frame[length] = uint8_t(crc & 0xFF);
    frame[length + 1] = uint8_t(crc >> 8);
    return length + 2;
}

bool crc_ok(std::span<const uint8_t> frame)
{
    return frame.size() >= 2 && crc16_modbus(frame.data(), uint16_t(frame.size())) == 0;
}

} // namespace

const char *state_text(uint8_t state)
{
    return state < std::size(kStateTexts) ? kStateTexts[state] : kStateTexts[0];
}

const char *exception_text(uint8_t code)
{
    return code < std::size(kExceptionTexts) ? kExceptionTexts[code] : kExceptionTexts[0];
}

const char *failure_text(uint8_t state, uint8_t exception_code)
{
    return state == uint8_t(ChannelState::func_code_error) ? exception_text(exception_code) : state_text(state);
}

size_t build_read_request(Framing f, uint16_t transaction_id, uint8_t slave_id, uint8_t func_code, uint16_t start,
                          uint16_t quantity, uint8_t (&out)[kMaxRequestSize])
{
    size_t n = put_header(f, transaction_id, slave_id, 5, out);
    out[n++] = func_code;
    put_be16(out + n, start);
    put_be16(out + n + 2, quantity);
    return put_checksum(f, out, n + 4);
}

size_t build_write_request(Framing f, uint16_t transaction_id, uint8_t slave_id, uint8_t func_code, uint16_t address,
                           std::span<const uint8_t> data, uint8_t (&out)[kMaxRequestSize], WriteFrameError &error)
{
    error = WriteFrameError::none;
    if (func_code == 15) {
        error = WriteFrameError::multiple_coils;
        return 0;
    }
    if (func_code != 5 && func_code != 6 && func_code != 16) {
        error = WriteFrameError::unknown_func_code;
        return 0;
    }
    bool single = func_code != 16;
    if ((single && data.size() != 2) || (!single && data.size() != 4 && data.size() != 8)) {
        error = WriteFrameError::bad_data_length;
        return 0;
    }
    size_t pdu_length = single ? 5 : 6 + data.size();
    size_t n = put_header(f, transaction_id, slave_id, pdu_length, out);
    out[n++] = func_code;
    put_be16(out + n, address);
    n += 2;
    if (!single) {
        put_be16(out + n, uint16_t(data.size() / 2));
        out[n + 2] = uint8_t(data.size());
        n += 3;
    }
    std::copy(data.begin(), data.end(), out + n);
    n += data.size();
    return put_checksum(f, out, n);
}

size_t reply_length_from_prefix(Framing f, std::span<const uint8_t> prefix, uint8_t request_func_code,
                                size_t normal_length, bool byte_count_at_most)
{
    const FramingTraits t = traits(f);
    size_t length = std::min(normal_length, kReplyBufferSize);
    if (prefix.size() > t.header_length && prefix[t.header_length] == uint8_t(request_func_code | 0x80))
        return exception_reply_length(f);
    if (byte_count_at_most && prefix.size() > size_t(t.header_length) + 1)
        length = std::min(length, read_reply_length(f, prefix[t.header_length + 1]));
    return length;
}

ReadReply validate_read_reply(Framing f, std::span<const uint8_t> reply, uint16_t transaction_id, uint8_t slave_id,
                              uint8_t func_code, size_t expected_data_bytes, bool byte_count_at_most)
{
    ReadReply r;
    auto fail = [&r](ChannelState s) {
        r.state = s;
        return r;
    };
    const size_t header = traits(f).header_length;
    if (f == Framing::rtu) {
        if (!crc_ok(reply))
            return fail(ChannelState::crc_error);
        if (reply.size() < exception_reply_length(f))
            return fail(ChannelState::unexpected_bytes);
    } else {
        if (reply.size() < 2)
            return fail(ChannelState::unexpected_bytes);
        if (be16(reply, 0) != transaction_id)
            return fail(ChannelState::trans_id_mismatch);
        if (reply.size() < 4)
            return fail(ChannelState::unexpected_bytes);
        if (be16(reply, 2) != 0)
            return fail(ChannelState::invalid_protocol_id);
        if (reply.size() < exception_reply_length(f))
            return fail(ChannelState::unexpected_bytes);
    }
    if (reply[header - 1] != slave_id)
        return fail(ChannelState::slave_id_mismatch);
    if (reply[header] != func_code) {
        r.exception_code = reply[header + 1];
        return fail(ChannelState::func_code_error);
    }
    const size_t byte_count = reply[header + 1];
    if (byte_count_at_most ? byte_count > expected_data_bytes : byte_count != expected_data_bytes)
        return fail(ChannelState::unexpected_bytes);
    // The announced data (and, for RTU, the CRC after it) must all have arrived.
    if (reply.size() < read_reply_length(f, byte_count))
        return fail(ChannelState::unexpected_bytes);
    r.data = reply.subspan(header + 2, byte_count);
    return r;
}

const char *to_string(WriteConfirm c)
{
    switch (c) {
    case WriteConfirm::ok:
        return "ok";
    case WriteConfirm::short_reply:
        return "short reply";
    case WriteConfirm::crc_error:
        return "CRC error";
    case WriteConfirm::trans_id_mismatch:
        return "Trans ID mismatch";
    case WriteConfirm::invalid_protocol_id:
        return "Invalid protocol ID";
    case WriteConfirm::slave_id_mismatch:
        return "Slave ID mismatch";
    case WriteConfirm::exception:
        return "exception reply";
    case WriteConfirm::func_code_mismatch:
        return "Error func code";
    case WriteConfirm::echo_mismatch:
        return "echo mismatch";
    }
    return "Other error";
}

WriteConfirm confirm_write_reply(Framing f, std::span<const uint8_t> request, std::span<const uint8_t> reply,
                                 uint8_t &exception_code)
{
    exception_code = 0;
    const size_t header = traits(f).header_length;
    if (request.size() < header + 5)
        return WriteConfirm::short_reply;
    if (f == Framing::rtu && reply.size() >= exception_reply_length(f) && !crc_ok(reply))
        return WriteConfirm::crc_error;
    if (reply.size() < exception_reply_length(f))
        return WriteConfirm::short_reply;
    if (f == Framing::tcp) {
        if (be16(reply, 0) != be16(request, 0))
            return WriteConfirm::trans_id_mismatch;
        if (be16(reply, 2) != 0)
            return WriteConfirm::invalid_protocol_id;
    }
    if (reply[header - 1] != request[header - 1])
        return WriteConfirm::slave_id_mismatch;
    const uint8_t func_code = request[header];
    if (reply[header] == uint8_t(func_code | 0x80)) {
        exception_code = reply[header + 1];
        return WriteConfirm::exception;
    }
    if (reply[header] != func_code)
        return WriteConfirm::func_code_mismatch;
    if (reply.size() < write_reply_length(f))
        return WriteConfirm::short_reply;
    // 5 and 6 echo address and value; 16 echoes address and register count: the same four bytes
    // after the function code in both request and reply.
    for (size_t i = 1; i <= 4; ++i)
        if (reply[header + i] != request[header + i])
            return WriteConfirm::echo_mismatch;
    return WriteConfirm::ok;
}

} // namespace modbus
