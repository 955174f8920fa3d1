// Any bytes as a Modbus reply: validation against a request, then the decoding the poller does with
// a valid reply (register walk, single scaled value, coil walk) and the write confirmation. The
// reply lives in a buffer of exactly its own size, so a read beyond it is caught by the sanitizer.
//
// Input layout: byte 0 framing (bit 0) and read function (bits 1-2); byte 1 data type (mod 7) and
// byte order hint; byte 2 quantity; byte 3 decimal places and exponent; the rest is the reply.
#include "modbus_engine/frame.h"
#include "modbus_engine/values.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

using namespace modbus;

namespace
{

ByteOrder order_for(DataType t, uint8_t hint)
{
    switch (t) {
    case DataType::int16:
    case DataType::uint16:
    case DataType::boolean:
        return ByteOrder(hint % 2);
    case DataType::double64:
        return ByteOrder(6 + hint % 4);
    default:
        return ByteOrder(2 + hint % 4);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const Framing f = (data[0] & 1) ? Framing::tcp : Framing::rtu;
    const uint8_t fc = uint8_t(1 + ((data[0] >> 1) & 3));
    const uint16_t quantity = data[2];
    const size_t data_bytes = fc <= 2 ? (quantity + 7) / 8 : 2u * quantity;

    const size_t n = size - 4;
    std::unique_ptr<uint8_t[]> reply(new uint8_t[n ? n : 1]);
    if (n)
        memcpy(reply.get(), data + 4, n);
    std::span<const uint8_t> bytes(reply.get(), n);

    ReadReply r = validate_read_reply(f, bytes, 0x0102, 0x11, fc, data_bytes);
    if (r.state == ChannelState::read_ok) {
        ValueFormat vf;
        vf.type = DataType(data[1] % 7);
        vf.order = order_for(vf.type, uint8_t(data[1] >> 3));
        vf.decimal_places = data[3] & 7;
        vf.exponent = data[3] & 8;
        vf.multiplier = int32_t(data[3]) - 100;
        vf.divisor = data[3] & 16 ? 1 : int32_t(data[1]);
        vf.start_bit = data[3];
        vf.number_of_16bits = data[1];
        vf.number_of_32bits = data[2];
        if (fc <= 2) {
            walk_coils(quantity, r.data, [](size_t, int) {});
        } else {
            walk_registers(vf, r.data, [](size_t, const char *) {});
            if (r.data.size() >= byte_order_size(vf.order)) {
                char text[1024];
                format_scaled(vf, r.data.data(), text, sizeof text);
            }
        }
    }

    uint8_t request[kMaxRequestSize];
    WriteFrameError e;
    const uint8_t value[] = {data[1], data[2], data[3], data[0]};
    const uint8_t write_fc = (data[0] & 8) ? 16 : 6;
    size_t length = build_write_request(f, 0x0102, 0x11, write_fc, 0x2233,
                                        std::span<const uint8_t>(value, write_fc == 16 ? 4 : 2), request, e);
    uint8_t code;
    confirm_write_reply(f, std::span<const uint8_t>(request, length), bytes, code);
    reply_length_from_prefix(f, bytes.first(n < 8 ? n : 8), fc, 4096);
    return 0;
}
