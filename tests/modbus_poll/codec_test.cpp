// Framing, reply validation and value coding, fed with hex frames.
#include "modbus_engine/frame.h"
#include "modbus_engine/values.h"

#include "common/routines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace modbus;

namespace
{

std::vector<uint8_t> hex(const std::string &text)
{
    std::istringstream in(text);
    std::vector<uint8_t> out;
    unsigned v;
    while (in >> std::hex >> v)
        out.push_back(uint8_t(v));
    return out;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> frame)
{
    uint16_t crc = crc16_modbus(frame.data(), uint16_t(frame.size()));
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

ReadReply rtu(const std::vector<uint8_t> &reply, uint8_t slave = 1, uint8_t fc = 3, size_t data = 4)
{
    return validate_read_reply(Framing::rtu, reply, 0, slave, fc, data);
}

ReadReply tcp(const std::vector<uint8_t> &reply, uint16_t tid = 7, uint8_t unit = 1, uint8_t fc = 3, size_t data = 4)
{
    return validate_read_reply(Framing::tcp, reply, tid, unit, fc, data);
}

std::string scaled(const ValueFormat &f, const std::string &bytes)
{
    std::vector<uint8_t> b = hex(bytes);
    b.resize(8);
    char out[kValueTextSize];
    format_scaled(f, b.data(), out, sizeof out);
    return out;
}

ValueFormat plain(DataType t, ByteOrder o)
{
    ValueFormat f;
    f.type = t;
    f.order = o;
    f.multiplier = 1;
    f.divisor = 1;
    return f;
}

} // namespace

TEST(ModbusFrame, ReadRequestsInBothFramings)
{
    uint8_t out[kMaxRequestSize];
    size_t n = build_read_request(Framing::rtu, 0, 1, 3, 0, 10, out);
    EXPECT_EQ(hex(out, n), "01 03 00 00 00 0A C5 CD");
    n = build_read_request(Framing::tcp, 0x1234, 17, 4, 0x0102, 125, out);
    EXPECT_EQ(hex(out, n), "12 34 00 00 00 06 11 04 01 02 00 7D");
}

TEST(ModbusFrame, WriteRequestsAndRefusals)
{
    uint8_t out[kMaxRequestSize];
    WriteFrameError e;
    uint8_t reg[] = {0x00, 0x03};
    size_t n = build_write_request(Framing::rtu, 0, 1, 6, 1, reg, out, e);
    EXPECT_EQ(hex(out, n), "01 06 00 01 00 03 98 0B");
    uint8_t four[] = {0x3F, 0xC0, 0x00, 0x00};
    n = build_write_request(Framing::tcp, 5, 2, 16, 100, four, out, e);
    EXPECT_EQ(hex(out, n), "00 05 00 00 00 0B 02 10 00 64 00 02 04 3F C0 00 00");
    uint8_t coil[] = {0xFF, 0x00};
    n = build_write_request(Framing::tcp, 9, 3, 5, 7, coil, out, e);
    EXPECT_EQ(hex(out, n), "00 09 00 00 00 06 03 05 00 07 FF 00");

    EXPECT_EQ(build_write_request(Framing::rtu, 0, 1, 15, 0, coil, out, e), 0u);
    EXPECT_EQ(e, WriteFrameError::multiple_coils);
    EXPECT_EQ(build_write_request(Framing::rtu, 0, 1, 3, 0, coil, out, e), 0u);
    EXPECT_EQ(e, WriteFrameError::unknown_func_code);
    EXPECT_EQ(build_write_request(Framing::rtu, 0, 1, 16, 0, coil, out, e), 0u);
    EXPECT_EQ(e, WriteFrameError::bad_data_length);
}

TEST(ModbusFrame, RtuReplyValidationOrder)
{
    auto good = with_crc(hex("01 03 04 00 0A FF 38"));
    ReadReply r = rtu(good);
    ASSERT_EQ(r.state, ChannelState::read_ok);
    EXPECT_EQ(hex(r.data.data(), r.data.size()), "00 0A FF 38");

    auto bad_crc = good;
    bad_crc.back() ^= 1;
    EXPECT_EQ(rtu(bad_crc).state, ChannelState::crc_error);
    EXPECT_EQ(rtu(with_crc(hex("02 03 04 00 0A FF 38"))).state, ChannelState::slave_id_mismatch);
    r = rtu(with_crc(hex("01 83 02")));
    EXPECT_EQ(r.state, ChannelState::func_code_error);
    EXPECT_EQ(r.exception_code, 2);
    EXPECT_STREQ(failure_text(uint8_t(r.state), r.exception_code), "Illegal data address");
    EXPECT_EQ(rtu(with_crc(hex("01 03 02 00 0A"))).state, ChannelState::unexpected_bytes);
    // A poller that takes the width from the reply accepts fewer bytes, never more.
    r = validate_read_reply(Framing::rtu, with_crc(hex("01 03 02 00 0A")), 0, 1, 3, 4, true);
    EXPECT_EQ(r.state, ChannelState::read_ok);
    EXPECT_EQ(r.data.size(), 2u);
    EXPECT_EQ(validate_read_reply(Framing::rtu, with_crc(hex("01 03 06 00 0A 00 00 00 00")), 0, 1, 3, 4, true).state,
              ChannelState::unexpected_bytes);
    // A frame whose CRC happens to check but that is too short to hold a header.
    EXPECT_EQ(rtu(with_crc(hex("01"))).state, ChannelState::unexpected_bytes);
    EXPECT_EQ(rtu(hex("01")).state, ChannelState::crc_error);
    EXPECT_EQ(rtu({}).state, ChannelState::crc_error);
}

TEST(ModbusFrame, TcpReplyValidationOrder)
{
    auto good = hex("00 07 00 00 00 07 01 03 04 12 34 56 78");
    ReadReply r = tcp(good);
    ASSERT_EQ(r.state, ChannelState::read_ok);
    EXPECT_EQ(hex(r.data.data(), r.data.size()), "12 34 56 78");

    EXPECT_EQ(tcp(hex("00 06 00 00 00 07 01 03 04 12 34 56 78")).state, ChannelState::trans_id_mismatch);
    EXPECT_EQ(tcp(hex("00 07 00 01 00 07 01 03 04 12 34 56 78")).state, ChannelState::invalid_protocol_id);
    EXPECT_EQ(tcp(hex("00 07 00 00 00 07 02 03 04 12 34 56 78")).state, ChannelState::slave_id_mismatch);
    r = tcp(hex("00 07 00 00 00 03 01 83 0B"));
    EXPECT_EQ(r.state, ChannelState::func_code_error);
    EXPECT_STREQ(exception_text(r.exception_code), "Gateway target");
    EXPECT_EQ(tcp(hex("00 07 00 00 00 07 01 03 02 12 34")).state, ChannelState::unexpected_bytes);
    // The length field is not trusted, but the data must really be there: a reply cut in the middle
    // is rejected, not decoded from whatever follows it.
    EXPECT_EQ(tcp(hex("00 07 00 00 00 07 01 03 04 12 34")).state, ChannelState::unexpected_bytes);
    EXPECT_EQ(tcp(hex("00 07 00 00 00")).state, ChannelState::unexpected_bytes);
    EXPECT_EQ(tcp(hex("00")).state, ChannelState::unexpected_bytes);
}

TEST(ModbusFrame, ReplyLengthFollowsHeader)
{
    EXPECT_EQ(reply_length_from_prefix(Framing::rtu, hex("01 83 02"), 3, 9), 5u);
    EXPECT_EQ(reply_length_from_prefix(Framing::rtu, hex("01 03 04"), 3, 9), 9u);
    EXPECT_EQ(reply_length_from_prefix(Framing::rtu, hex("01 03 02"), 3, 9), 9u);
    EXPECT_EQ(reply_length_from_prefix(Framing::rtu, hex("01 03 02"), 3, 9, true), 7u);
    EXPECT_EQ(reply_length_from_prefix(Framing::rtu, hex("01 03 FF"), 3, 9, true), 9u);
    EXPECT_EQ(reply_length_from_prefix(Framing::tcp, hex("00 01 00 00 00 03 01 84 02"), 4, 13), 9u);
    EXPECT_EQ(reply_length_from_prefix(Framing::tcp, hex("00 01 00 00 00 03 01 04 FA"), 4, 5000), kReplyBufferSize);
}

TEST(ModbusFrame, WriteConfirmation)
{
    uint8_t req[kMaxRequestSize];
    WriteFrameError e;
    uint8_t value[] = {0x02, 0x01};
    size_t n = build_write_request(Framing::rtu, 0, 1, 6, 10, value, req, e);
    std::span<const uint8_t> request(req, n);
    uint8_t code = 0;
    EXPECT_EQ(confirm_write_reply(Framing::rtu, request, request, code), WriteConfirm::ok);
    EXPECT_EQ(confirm_write_reply(Framing::rtu, request, with_crc(hex("01 06 00 0A 02 02")), code),
              WriteConfirm::echo_mismatch);
    EXPECT_EQ(confirm_write_reply(Framing::rtu, request, with_crc(hex("01 86 03")), code), WriteConfirm::exception);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(confirm_write_reply(Framing::rtu, request, with_crc(hex("01 03 00 0A 02 01")), code),
              WriteConfirm::func_code_mismatch);
    EXPECT_EQ(confirm_write_reply(Framing::rtu, request, with_crc(hex("05 06 00 0A 02 01")), code),
              WriteConfirm::slave_id_mismatch);
    EXPECT_EQ(confirm_write_reply(Framing::rtu, request, hex("01 06 00 0A 02 01 00 00"), code),
              WriteConfirm::crc_error);

    // TCP: a transaction id below 256 starts with a zero byte, which must not end the comparison.
    uint8_t regs[] = {0, 1, 0, 2};
    n = build_write_request(Framing::tcp, 3, 1, 16, 20, regs, req, e);
    std::span<const uint8_t> request16(req, n);
    EXPECT_EQ(confirm_write_reply(Framing::tcp, request16, hex("00 03 00 00 00 06 01 10 00 14 00 02"), code),
              WriteConfirm::ok);
    EXPECT_EQ(confirm_write_reply(Framing::tcp, request16, hex("00 04 00 00 00 06 01 10 00 14 00 02"), code),
              WriteConfirm::trans_id_mismatch);
    EXPECT_EQ(confirm_write_reply(Framing::tcp, request16, hex("00 03 00 00 00 06 01 10 00 14 00 01"), code),
              WriteConfirm::echo_mismatch);
    EXPECT_EQ(confirm_write_reply(Framing::tcp, request16, hex("00 03 00 00 00 06 01 10"), code),
              WriteConfirm::short_reply);
}

TEST(ModbusValues, ScalingAndFormats)
{
    ValueFormat f = plain(DataType::int16, ByteOrder::ab);
    EXPECT_EQ(scaled(f, "FF 38"), "-200");
    f.divisor = 10;
    f.decimal_places = 1;
    EXPECT_EQ(scaled(f, "FF 38"), "-20.0");

    f = plain(DataType::uint16, ByteOrder::ab);
    f.start_bit = 4;
    f.number_of_16bits = 4;
    EXPECT_EQ(scaled(f, "00 A5"), "10");
    f.number_of_16bits = 0;
    EXPECT_EQ(scaled(f, "00 A5"), "0");
    f.start_bit = 40; // beyond the register: nothing is left
    f.number_of_16bits = 16;
    EXPECT_EQ(scaled(f, "FF FF"), "0");

    f = plain(DataType::uint32, ByteOrder::ab_cd);
    f.number_of_32bits = 0;
    EXPECT_EQ(scaled(f, "FF FF FF FF"), "0");
    f.number_of_32bits = 32;
    EXPECT_EQ(scaled(f, "FF FF FF FF"), "4294967295");
    f.number_of_32bits = 8;
    f.start_bit = 8;
    EXPECT_EQ(scaled(f, "12 34 56 78"), "86");

    // Scaling order: multiplier * ((v + plus) - subtract), wrapping in 32 bits.
    f = plain(DataType::uint16, ByteOrder::ab);
    f.number_of_16bits = 16;
    f.plus = 5;
    f.subtract = 20;
    f.multiplier = 2;
    EXPECT_EQ(scaled(f, "00 0A"), "4294967286");
    f.divisor = 2;
    EXPECT_EQ(scaled(f, "00 0A"), "2147483643");
    f = plain(DataType::int32, ByteOrder::ab_cd);
    f.multiplier = 2;
    EXPECT_EQ(scaled(f, "7F FF FF FF"), "-2");

    f = plain(DataType::float32, ByteOrder::ab_cd);
    f.decimal_places = 2;
    EXPECT_EQ(scaled(f, "41 20 00 00"), "10.00");
    f.exponent = true;
    EXPECT_EQ(scaled(f, "41 20 00 00"), "  1.00e+01");
    f.exponent = false;
    f.order = ByteOrder::cd_ab;
    EXPECT_EQ(scaled(f, "00 00 41 20"), "10.00");
    f.decimal_places = 9;
    EXPECT_EQ(scaled(f, "00 00 41 20"), "10.000000");
    f.divisor = 0;
    EXPECT_EQ(scaled(f, "00 00 41 20"), "inf");

    f = plain(DataType::double64, ByteOrder::hgfe_dcba);
    f.plus = 1;
    f.multiplier = 3;
    f.decimal_places = 1;
    EXPECT_EQ(scaled(f, "00 00 00 00 00 00 F8 3F"), "7.5"); // (1.5 + 1) * 3
}

TEST(ModbusValues, RegisterAndCoilWalks)
{
    ValueFormat f = plain(DataType::int16, ByteOrder::ab);
    std::vector<std::string> texts;
    std::vector<size_t> offsets;
    auto data = hex("00 01 FF FF 00 03");
    EXPECT_EQ(walk_registers(f, data,
                             [&](size_t k, const char *t) {
                                 offsets.push_back(k);
                                 texts.push_back(t);
                             }),
              3u);
    EXPECT_EQ(texts, (std::vector<std::string>{"1", "-1", "3"}));
    EXPECT_EQ(offsets, (std::vector<size_t>{0, 2, 4}));

    // A block that does not end on a whole value yields only the whole ones.
    f = plain(DataType::float32, ByteOrder::ab_cd);
    texts.clear();
    EXPECT_EQ(walk_registers(f, hex("41 20 00 00 41 20"), [&](size_t, const char *t) { texts.push_back(t); }), 1u);
    EXPECT_EQ(texts, (std::vector<std::string>{"10"}));

    std::string bits;
    EXPECT_EQ(walk_coils(10, hex("A5 02"), [&](size_t, int b) { bits += char('0' + b); }), 10u);
    EXPECT_EQ(bits, "1010010101");
    bits.clear();
    EXPECT_EQ(walk_coils(10, hex("A5"), [&](size_t, int b) { bits += char('0' + b); }), 8u);
}

TEST(ModbusValues, WriteEncodingVectors)
{
    uint8_t out[8];
    EncodeError e;
    ASSERT_EQ(encode_write_value(6, "ba", "258", out, e), 2u);
    EXPECT_EQ(hex(out, 2), "02 01");
    ASSERT_EQ(encode_write_value(6, "ab", "258", out, e), 2u);
    EXPECT_EQ(hex(out, 2), "01 02");
    ASSERT_EQ(encode_write_value(16, "ab_cd", "1.5", out, e), 4u);
    EXPECT_EQ(hex(out, 4), "3F C0 00 00");
    ASSERT_EQ(encode_write_value(16, "cd_ab", "-2", out, e), 4u);
    EXPECT_EQ(hex(out, 4), "FF FE FF FF");
    ASSERT_EQ(encode_write_value(5, "ab", "0", out, e), 2u);
    EXPECT_EQ(hex(out, 2), "00 00");
    ASSERT_EQ(encode_write_value(5, "ab", "1", out, e), 2u);
    EXPECT_EQ(hex(out, 2), "FF 00");
    ASSERT_EQ(encode_write_value(16, "ghef_cdab", "1.5", out, e), 8u);
    EXPECT_EQ(hex(out, 8), "00 00 00 00 00 00 3F F8");
    ASSERT_EQ(encode_write_value(16, "abcd_efgh", "-1", out, e), 8u);
    EXPECT_EQ(hex(out, 8), "FF FF FF FF FF FF FF FF");

    EXPECT_EQ(encode_write_value(6, "ab", "abc", out, e), 0u);
    EXPECT_EQ(e, EncodeError::unreadable);
    EXPECT_EQ(encode_write_value(16, "ab_cd", "x.5", out, e), 0u);
    EXPECT_EQ(e, EncodeError::unreadable);
    EXPECT_EQ(encode_write_value(16, "ab_cd", "4294967296", out, e), 0u);
    EXPECT_EQ(e, EncodeError::out_of_range);
    EXPECT_EQ(encode_write_value(16, "ab", "5", out, e), 0u);
    EXPECT_EQ(e, EncodeError::bad_order);
    EXPECT_EQ(encode_write_value(16, "nonsense", "5", out, e), 0u);
    EXPECT_EQ(e, EncodeError::bad_order);
    EXPECT_EQ(encode_write_value(15, "ab", "1", out, e), 0u);
    EXPECT_EQ(e, EncodeError::bad_func_code);
}

// A value written with a byte order and read back with the same order is unchanged, for every
// order and every type that order can carry.
TEST(ModbusValues, WriteThenReadRoundTrip)
{
    std::mt19937_64 rng(42);
    for (size_t o = 0; o < kByteOrderCount; ++o) {
        const ByteOrder order = ByteOrder(o);
        const char *name = byte_order_name(order);
        ByteOrder parsed;
        ASSERT_TRUE(byte_order_from_name(name, parsed));
        ASSERT_EQ(parsed, order);
        const size_t size = byte_order_size(order);
        for (int i = 0; i < 200; ++i) {
            const uint64_t x = rng();
            uint8_t bytes[8];
            char text[64], back[kValueTextSize];
            EncodeError e;
            if (size == 2) {
                // Function 6: "ba" sends low byte first, every other 16-bit name high byte first.
                snprintf(text, sizeof text, "%d", int(int16_t(x)));
                ASSERT_EQ(encode_write_value(6, name, text, bytes, e), 2u);
                ValueFormat f = plain(DataType::int16, order);
                format_unscaled(f, bytes, back, sizeof back);
                EXPECT_STREQ(back, text) << name;
                continue;
            }
            const bool wide = size == 8;
            // Integers (no "."): signed and unsigned texts.
            if (wide)
                snprintf(text, sizeof text, "%lld", (long long)x);
            else
                snprintf(text, sizeof text, "%d", int32_t(x));
            ASSERT_EQ(encode_write_value(16, name, text, bytes, e), size) << text;
            EXPECT_EQ(assemble(order, bytes), wide ? x : uint64_t(uint32_t(x))) << name;
            ValueFormat fi = plain(DataType::int32, order);
            if (!wide) {
                format_unscaled(fi, bytes, back, sizeof back);
                EXPECT_STREQ(back, text) << name;
                snprintf(text, sizeof text, "%u", uint32_t(x));
                ASSERT_EQ(encode_write_value(16, name, text, bytes, e), size);
                fi.type = DataType::uint32;
                format_unscaled(fi, bytes, back, sizeof back);
                EXPECT_STREQ(back, text) << name;
            }
            // Floating values (with "."): the bit pattern read back is the one written.
            const double d = std::ldexp(double(int32_t(x >> 32)), int(x % 40) - 20);
            snprintf(text, sizeof text, "%.17g", d);
            if (!std::strchr(text, '.')) {
                if (std::strchr(text, 'e'))
                    continue; // an exponent form without a point is not a floating text
                std::strcat(text, ".0");
            }
            ASSERT_EQ(encode_write_value(16, name, text, bytes, e), size) << text;
            const uint64_t pattern = assemble(order, bytes);
            if (wide) {
                double got;
                std::memcpy(&got, &pattern, sizeof got);
                EXPECT_EQ(got, d) << name << " " << text;
            } else {
                float got;
                uint32_t bits = uint32_t(pattern);
                std::memcpy(&got, &bits, sizeof got);
                EXPECT_EQ(got, float(d)) << name << " " << text;
            }
        }
    }
}
