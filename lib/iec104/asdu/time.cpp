#include "iec104/time.h"

#include <ctime>

namespace iec104 {

namespace {

bool leap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(unsigned month, unsigned year)
{
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && leap(year))
        return 29;
    return kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (era arithmetic, valid for any year >= 0).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = y / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

} // namespace

bool Cp56Time2a::fields_valid() const
{
    if (milliseconds > 59999 || minute > 59 || hour > 23 || month < 1 || month > 12 || year > 99 ||
        day_of_week > 7 || day < 1)
        return false;
    return day <= days_in_month(month, 2000u + year);
}

bool decode_cp24(ByteReader &r, Cp24Time2a &out)
{
    uint16_t ms = 0;
    uint8_t min = 0;
    if (!r.u16le(ms) || !r.u8(min))
        return false;
    out.milliseconds = ms;
    out.minute = min & 0x3F;
    out.substituted = (min & 0x40) != 0;
    out.invalid = (min & 0x80) != 0;
    return true;
}

void encode_cp24(const Cp24Time2a &t, ByteWriter &w)
{
    w.u16le(t.milliseconds);
    w.u8(static_cast<uint8_t>((t.minute & 0x3F) | (t.substituted ? 0x40 : 0) | (t.invalid ? 0x80 : 0)));
}

bool decode_cp56(ByteReader &r, Cp56Time2a &out)
{
    uint16_t ms = 0;
    uint8_t min = 0, hour = 0, day = 0, month = 0, year = 0;
    if (!r.u16le(ms) || !r.u8(min) || !r.u8(hour) || !r.u8(day) || !r.u8(month) || !r.u8(year))
        return false;
    out.milliseconds = ms;
    out.minute = min & 0x3F;
    out.substituted = (min & 0x40) != 0;
    out.invalid = (min & 0x80) != 0;
    out.hour = hour & 0x1F;
    out.summer_time = (hour & 0x80) != 0;
    out.day = day & 0x1F;
    out.day_of_week = static_cast<uint8_t>(day >> 5);
    out.month = month & 0x0F;
    out.year = year & 0x7F;
    return true;
}

void encode_cp56(const Cp56Time2a &t, ByteWriter &w)
{
    w.u16le(t.milliseconds);
    w.u8(static_cast<uint8_t>((t.minute & 0x3F) | (t.substituted ? 0x40 : 0) | (t.invalid ? 0x80 : 0)));
    w.u8(static_cast<uint8_t>((t.hour & 0x1F) | (t.summer_time ? 0x80 : 0)));
    w.u8(static_cast<uint8_t>((t.day & 0x1F) | ((t.day_of_week & 0x07) << 5)));
    w.u8(t.month & 0x0F);
    w.u8(t.year & 0x7F);
}

Cp56Time2a to_cp56(std::chrono::system_clock::time_point t, bool local)
{
    using namespace std::chrono;
    const int64_t ms_total = duration_cast<milliseconds>(t.time_since_epoch()).count();
    int64_t secs = ms_total / 1000;
    int64_t ms = ms_total % 1000;
    if (ms < 0) {
        ms += 1000;
        secs -= 1;
    }
    const std::time_t tt = static_cast<std::time_t>(secs);
    std::tm tm{};
    if (local)
        localtime_r(&tt, &tm);
    else
        gmtime_r(&tt, &tm);
    Cp56Time2a out;
    out.milliseconds = static_cast<uint16_t>(tm.tm_sec % 60 * 1000 + ms);
    out.minute = static_cast<uint8_t>(tm.tm_min);
    out.hour = static_cast<uint8_t>(tm.tm_hour);
    out.summer_time = local && tm.tm_isdst > 0;
    out.day = static_cast<uint8_t>(tm.tm_mday);
    out.day_of_week = static_cast<uint8_t>(tm.tm_wday == 0 ? 7 : tm.tm_wday);
    out.month = static_cast<uint8_t>(tm.tm_mon + 1);
    const int year = (tm.tm_year + 1900) % 100;
    out.year = static_cast<uint8_t>(year < 0 ? year + 100 : year);
    return out;
}

std::optional<std::chrono::system_clock::time_point> from_cp56(const Cp56Time2a &t)
{
    if (!t.fields_valid())
        return std::nullopt;
    const int64_t days = days_from_civil(2000 + t.year, t.month, t.day);
    const int64_t ms = ((days * 24 + t.hour) * 60 + t.minute) * 60000 + t.milliseconds;
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

} // namespace iec104
