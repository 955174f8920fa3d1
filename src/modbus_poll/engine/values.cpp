#include "modbus_engine/values.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace modbus
{

namespace
{

struct OrderInfo {
    const char *name;
    uint8_t size;
    // perm[i]: which received byte becomes byte i of the value, counted from the most significant.
    uint8_t perm[8];
};

constexpr OrderInfo kOrders[kByteOrderCount] = {
    {"ab", 2, {0, 1}},
    {"ba", 2, {1, 0}},
    {"ab_cd", 4, {0, 1, 2, 3}},
    {"cd_ab", 4, {2, 3, 0, 1}},
    {"ba_dc", 4, {1, 0, 3, 2}},
    {"dc_ba", 4, {3, 2, 1, 0}},
    {"abcd_efgh", 8, {0, 1, 2, 3, 4, 5, 6, 7}},
    {"ghef_cdab", 8, {6, 7, 4, 5, 2, 3, 0, 1}},
    {"badc_fehg", 8, {1, 0, 3, 2, 5, 4, 7, 6}},
    {"hgfe_dcba", 8, {7, 6, 5, 4, 3, 2, 1, 0}},
};

const OrderInfo &info(ByteOrder order)
{
    size_t i = size_t(order);
    return kOrders[i < kByteOrderCount ? i : 0];
}

// Decimal places 0-5 print as given; anything larger prints six.
int precision(uint8_t decimal_places)
{
    return decimal_places > 5 ? 6 : decimal_places;
}

size_t put(int n)
{
    return n < 0 ? 0 : size_t(n);
}

size_t print_double(double v, const ValueFormat &f, char *out, size_t out_size)
{
    int p = precision(f.decimal_places);
    return put(f.exponent ? snprintf(out, out_size, "%10.*e", p, v) : snprintf(out, out_size, "%.*f", p, v));
}

uint32_t mask_bits(unsigned bits)
{
    if (bits == 0)
        return 0;
    if (bits >= 32)
        return 0xFFFFFFFFu;
    return (uint32_t(1) << bits) - 1;
}

uint32_t shift_right(uint32_t v, unsigned bits)
{
    return bits >= 32 ? 0 : v >> bits;
}

float float_from_bits(uint32_t bits)
{
    float f;
    static_assert(sizeof f == sizeof bits);
    memcpy(&f, &bits, sizeof f);
    return f;
}

double double_from_bits(uint64_t bits)
{
    double d;
    static_assert(sizeof d == sizeof bits);
    memcpy(&d, &bits, sizeof d);
    return d;
}

uint64_t bits_of(double d)
{
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    return bits;
}

bool is_signed(DataType t)
{
    return t == DataType::int16 || t == DataType::int32;
}

} // namespace

const char *byte_order_name(ByteOrder order)
{
    return info(order).name;
}

bool byte_order_from_name(const char *name, ByteOrder &order)
{
    if (!name)
        return false;
    for (size_t i = 0; i < kByteOrderCount; ++i)
        if (strcmp(name, kOrders[i].name) == 0) {
            order = ByteOrder(i);
            return true;
        }
    return false;
}

size_t byte_order_size(ByteOrder order)
{
    return info(order).size;
}

uint64_t assemble(ByteOrder order, const uint8_t *bytes)
{
    const OrderInfo &o = info(order);
    uint64_t v = 0;
    for (uint8_t i = 0; i < o.size; ++i)
        v = v << 8 | bytes[o.perm[i]];
    return v;
}

void disassemble(ByteOrder order, uint64_t pattern, uint8_t *bytes)
{
    const OrderInfo &o = info(order);
    for (uint8_t i = 0; i < o.size; ++i)
        bytes[o.perm[i]] = uint8_t(pattern >> (8 * (o.size - 1 - i)));
}

ScaledValue format_scaled(const ValueFormat &f, const uint8_t *bytes, char *out, size_t out_size)
{
    ScaledValue result;
    const uint64_t pattern = assemble(f.order, bytes);
    if (f.type == DataType::float32 || f.type == DataType::double64) {
        double x = f.type == DataType::float32 ? double(float_from_bits(uint32_t(pattern))) : double_from_bits(pattern);
        double y = ((x + f.plus) - f.subtract) * f.multiplier;
        if (f.divisor != 1)
            y /= double(f.divisor);
        result.raw = bits_of(y);
        result.length = print_double(y, f, out, out_size);
        return result;
    }

    uint32_t v;
    switch (f.type) {
    case DataType::int16:
        v = uint32_t(int32_t(int16_t(uint16_t(pattern))));
        break;
    case DataType::uint16:
        v = shift_right(uint32_t(pattern & 0xFFFF), f.start_bit) & mask_bits(f.number_of_16bits);
        break;
    case DataType::int32:
        v = uint32_t(pattern);
        break;
    case DataType::uint32:
        v = shift_right(uint32_t(pattern), f.start_bit);
        if (f.number_of_32bits != 32)
            v &= mask_bits(f.number_of_32bits);
        break;
    default: // a coil read as a register: its lowest bit
        v = uint32_t(pattern & 1);
        break;
    }
    // Integer scaling wraps around in 32 bits, as the registers themselves do.
    uint32_t r = uint32_t(f.multiplier) * ((v + uint32_t(f.plus)) - uint32_t(f.subtract));
    result.raw = r;
    if (f.divisor == 1) {
        const bool as_signed = is_signed(f.type) || f.type == DataType::boolean;
        result.length = put(as_signed ? snprintf(out, out_size, "%d", int32_t(r)) : snprintf(out, out_size, "%u", r));
        return result;
    }
    double d = is_signed(f.type) ? double(int32_t(r)) : double(r);
    result.length = print_double(d / double(f.divisor), f, out, out_size);
    return result;
}

size_t format_unscaled(const ValueFormat &f, const uint8_t *bytes, char *out, size_t out_size)
{
    const uint64_t pattern = assemble(f.order, bytes);
    switch (f.type) {
    case DataType::boolean:
        return put(snprintf(out, out_size, "%d", int(pattern & 1)));
    case DataType::int16:
        return put(snprintf(out, out_size, "%d", int(int16_t(uint16_t(pattern)))));
    case DataType::uint16:
        return put(snprintf(out, out_size, "%u", unsigned(uint16_t(pattern))));
    case DataType::int32:
        return put(snprintf(out, out_size, "%d", int32_t(uint32_t(pattern))));
    case DataType::uint32:
        return put(snprintf(out, out_size, "%u", uint32_t(pattern)));
    case DataType::float32:
        return print_double(double(float_from_bits(uint32_t(pattern))), f, out, out_size);
    case DataType::double64:
        return print_double(double_from_bits(pattern), f, out, out_size);
    }
    return 0;
}

size_t encode_write_value(uint8_t func_code, const char *order_name, const char *text, uint8_t (&out)[8],
                          EncodeError &error)
{
    error = EncodeError::none;
    if (!text) {
        error = EncodeError::unreadable;
        return 0;
    }
    char *end = nullptr;
    if (func_code == 5 || func_code == 6) {
        long v = strtol(text, &end, 10);
        if (end == text) {
            error = EncodeError::unreadable;
            return 0;
        }
        if (func_code == 5) {
            out[0] = v == 1 ? 0xFF : 0x00;
            out[1] = 0x00;
            return 2;
        }
        // A register holds 16 bits: wider numbers are cut to them.
        uint16_t reg = uint16_t(v);
        bool low_first = order_name && strcmp(order_name, "ba") == 0;
        out[0] = uint8_t(low_first ? reg & 0xFF : reg >> 8);
        out[1] = uint8_t(low_first ? reg >> 8 : reg & 0xFF);
        return 2;
    }
    if (func_code != 16) {
        error = EncodeError::bad_func_code;
        return 0;
    }

    ByteOrder order;
    if (!byte_order_from_name(order_name, order) || byte_order_size(order) == 2) {
        // Function 16 carries 32- and 64-bit values; a 16-bit order names no register count.
        error = EncodeError::bad_order;
        return 0;
    }
    const bool wide = byte_order_size(order) == 8;
    const bool negative = strchr(text, '-') != nullptr;
    uint64_t pattern;
    bool range_error = false;
    if (strchr(text, '.')) {
        if (wide) {
            double d = strtod(text, &end);
            memcpy(&pattern, &d, sizeof d);
        } else {
            float fl = strtof(text, &end);
            uint32_t bits;
            memcpy(&bits, &fl, sizeof bits);
            pattern = bits;
        }
    } else if (!wide) {
        errno = 0;
        if (negative) {
            long long v = strtoll(text, &end, 10);
            range_error = errno == ERANGE || v < INT32_MIN || v > INT32_MAX;
            pattern = uint32_t(int32_t(v));
        } else {
            unsigned long long v = strtoull(text, &end, 10);
            range_error = errno == ERANGE || v > UINT32_MAX;
            pattern = uint32_t(v);
        }
    } else {
        errno = 0;
        pattern = negative ? uint64_t(strtoll(text, &end, 10)) : uint64_t(strtoull(text, &end, 10));
        range_error = errno == ERANGE;
    }
    if (end == text) {
        error = EncodeError::unreadable;
        return 0;
    }
    if (range_error) {
        error = EncodeError::out_of_range;
        return 0;
    }
    disassemble(order, pattern, out);
    return byte_order_size(order);
}

} // namespace modbus
