// Binary time tags: CP56Time2a (seven octets, the time tag of every time-tagged type here) and
// CP24Time2a (three octets: milliseconds and minutes).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "iec104/bytes.h"

namespace iec104 {

struct Cp24Time2a {
    uint16_t milliseconds = 0; // 0..59999, seconds included
    uint8_t minute = 0;        // 0..59
    bool invalid = false;      // IV
    bool substituted = false;  // bit 6 of the minute octet (RES1/GEN)

    bool operator==(const Cp24Time2a &) const = default;
};

struct Cp56Time2a {
    uint16_t milliseconds = 0; // 0..59999, seconds included
    uint8_t minute = 0;        // 0..59
    bool invalid = false;      // IV
    bool substituted = false;  // bit 6 of the minute octet (RES1/GEN)
    uint8_t hour = 0;          // 0..23
    bool summer_time = false;  // SU
    uint8_t day = 1;           // day of month 1..31
    uint8_t day_of_week = 0;   // 1 = Monday .. 7 = Sunday, 0 = not used
    uint8_t month = 1;         // 1..12
    uint8_t year = 0;          // 0..99, years since 2000

    bool operator==(const Cp56Time2a &) const = default;

    // True when every field is in its range (day checked against the month and leap years).
    bool fields_valid() const;
    unsigned second() const { return milliseconds / 1000; }
};

inline constexpr size_t kCp24Size = 3;
inline constexpr size_t kCp56Size = 7;

// Reserved bits are ignored on decoding and written as zero.
[[nodiscard]] bool decode_cp24(ByteReader &r, Cp24Time2a &out);
void encode_cp24(const Cp24Time2a &t, ByteWriter &w);
[[nodiscard]] bool decode_cp56(ByteReader &r, Cp56Time2a &out);
void encode_cp56(const Cp56Time2a &t, ByteWriter &w);

// Conversions against the wall clock. The fields are taken as UTC unless `local` is set (then the
// SU bit reflects daylight saving time).
Cp56Time2a to_cp56(std::chrono::system_clock::time_point t, bool local = false);
// Nothing when the fields are out of range.
std::optional<std::chrono::system_clock::time_point> from_cp56(const Cp56Time2a &t);

} // namespace iec104
