// Register values: the ten byte orders, bit fields, scaling and the value texts published to every
// consumer, and the inverse encoding used by register writes. Pure functions over bounded spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace modbus
{

enum class DataType : uint8_t { boolean = 0, int16 = 1, uint16 = 2, int32 = 3, uint32 = 4, float32 = 5, double64 = 6 };

// Codes 0-9; the names are the option texts ("ab" ... "hgfe_dcba"). The name lists, from the most
// significant byte of the value down, which received byte goes there (a = first received byte).
enum class ByteOrder : uint8_t {
    ab = 0,
    ba = 1,
    ab_cd = 2,
    cd_ab = 3,
    ba_dc = 4,
    dc_ba = 5,
    abcd_efgh = 6,
    ghef_cdab = 7,
    badc_fehg = 8,
    hgfe_dcba = 9,
};

inline constexpr size_t kByteOrderCount = 10;
// Room for one value's text: the widest is a double printed with six decimals (over 300 digits).
inline constexpr size_t kValueTextSize = 400;

const char *byte_order_name(ByteOrder order);
// The order named `name`; false when the name is not one of the ten.
bool byte_order_from_name(const char *name, ByteOrder &order);
// 2, 4 or 8 bytes.
size_t byte_order_size(ByteOrder order);

// The value's bit pattern (most significant byte first) assembled from `bytes` (at least
// byte_order_size(order) of them).
uint64_t assemble(ByteOrder order, const uint8_t *bytes);
// The inverse: the bytes to send so that assemble() gives `pattern` back.
void disassemble(ByteOrder order, uint64_t pattern, uint8_t *bytes);

// How a channel turns raw registers into its published text.
struct ValueFormat {
    DataType type = DataType::uint16;
    ByteOrder order = ByteOrder::ab;
    uint8_t start_bit = 0;
    uint8_t number_of_16bits = 0;
    uint8_t number_of_32bits = 0;
    int32_t plus = 0;
    int32_t subtract = 0;
    int32_t multiplier = 0;
    int32_t divisor = 0;
    uint8_t decimal_places = 0;
    bool exponent = false;
};

// One scaled value: the text and the scaled result kept as the channel's raw value (the 32-bit
// integer result in the low bits, or the double's bit pattern).
struct ScaledValue {
    uint64_t raw = 0;
    size_t length = 0; // of the text written (as snprintf would report, before truncation)
};

// A single register value with its bit field and scaling applied, printed into `out` (always
// terminated, truncated at `out_size`). `bytes` must hold byte_order_size(format.order) bytes.
ScaledValue format_scaled(const ValueFormat &format, const uint8_t *bytes, char *out, size_t out_size);

// A value of a multiple-register channel: printed as received, without bit field or scaling.
size_t format_unscaled(const ValueFormat &format, const uint8_t *bytes, char *out, size_t out_size);

// Walks the data bytes of a register reply: calls `each(byte_offset, text)` for every complete
// value, in steps of the byte order's size. Returns the number of values.
template <typename Each> size_t walk_registers(const ValueFormat &format, std::span<const uint8_t> data, Each &&each)
{
    const size_t step = byte_order_size(format.order);
    char text[kValueTextSize];
    size_t count = 0;
    for (size_t k = 0; k + step <= data.size(); k += step, ++count) {
        format_unscaled(format, data.data() + k, text, sizeof text);
        each(k, static_cast<const char *>(text));
    }
    return count;
}

// Walks a coil or discrete-input reply: `each(j, bit)` for j = 0 .. quantity - 1, bit j of the
// data (least significant bit of each byte first). Stops early if the data are too short.
template <typename Each> size_t walk_coils(uint16_t quantity, std::span<const uint8_t> data, Each &&each)
{
    size_t j = 0;
    for (; j < quantity && j / 8 < data.size(); ++j)
        each(j, (data[j / 8] >> (j % 8)) & 1);
    return j;
}

enum class EncodeError : uint8_t {
    none,
    unreadable,    // the text is not a number of the needed kind
    out_of_range,  // the number does not fit the register width
    bad_order,     // function 16 with a 16-bit or unknown order name
    bad_func_code, // not 5, 6 or 16
};

// Turns a value text into the data bytes of a write request for function 5, 6 or 16 with the
// named byte order. Returns the number of bytes (2, 4 or 8), 0 with `error` set on failure.
size_t encode_write_value(uint8_t func_code, const char *order_name, const char *text, uint8_t (&out)[8],
                          EncodeError &error);

} // namespace modbus
