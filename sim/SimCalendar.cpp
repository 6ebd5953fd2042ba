#include "SimCalendar.h"

#include <cstdio>

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date; exact for all years.
int64_t DaysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

constexpr int64_t kSerialOrigin1970 = 25569; // days from 30.12.1899 to 1.1.1970

int64_t FloorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

} // namespace

int64_t SimSerialDay(int year, int month, int day)
{
    return DaysFromCivil(year, month, day) + kSerialOrigin1970;
}

TSimCivil SimCivilFromSeconds(int64_t seconds)
{
    TSimCivil c;
    const int64_t day = FloorDiv(seconds, 86400);
    const int64_t rest = seconds - day * 86400;
    CivilFromDays(day - kSerialOrigin1970, c.Year, c.Month, c.Day);
    c.Hour = static_cast<int>(rest / 3600);
    c.Minute = static_cast<int>(rest / 60 % 60);
    c.Second = static_cast<int>(rest % 60);
    return c;
}

int64_t SimSecondsFromCivil(const TSimCivil& c)
{
    return SimSerialDay(c.Year, c.Month, c.Day) * 86400 + c.Hour * 3600 + c.Minute * 60 + c.Second;
}

int SimDaysInMonth(int year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2) {
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return leap ? 29 : 28;
    }
    return kDays[(month - 1) % 12];
}

uint16_t SimMonthNumber(int year, int month)
{
    return static_cast<uint16_t>(year * 12 + (month - 1));
}

int64_t SimMonthStartSeconds(uint16_t monthNumber)
{
    return SimSerialDay(monthNumber / 12, monthNumber % 12 + 1, 1) * 86400;
}

int SimMonthDays(uint16_t monthNumber)
{
    return SimDaysInMonth(monthNumber / 12, monthNumber % 12 + 1);
}

int SimWeekday(int64_t serialDay)
{
    // 30.12.1899 was a Saturday (5).
    return static_cast<int>(((serialDay + 5) % 7 + 7) % 7);
}

uint32_t SimPackedTime(int64_t seconds)
{
    const TSimCivil c = SimCivilFromSeconds(seconds);
    const uint32_t low = static_cast<uint32_t>(c.Day * 1440 + c.Hour * 60 + c.Minute);
    return static_cast<uint32_t>(SimMonthNumber(c.Year, c.Month)) << 16 | low;
}

bool SimParseCivil(const std::string& text, int64_t& seconds)
{
    TSimCivil c;
    char t = 0;
    int consumed = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &c.Year, &c.Month, &c.Day, &t,
                              &c.Hour, &c.Minute, &consumed);
    if (n < 6 || (t != 'T' && t != ' '))
        return false;
    if (static_cast<size_t>(consumed) != text.size()) {
        int extra = 0;
        if (std::sscanf(text.c_str() + consumed, ":%2d%n", &c.Second, &extra) != 1 ||
            static_cast<size_t>(consumed + extra) != text.size())
            return false;
    }
    if (c.Year < 1901 || c.Year > 5000 || c.Month < 1 || c.Month > 12 || c.Day < 1 ||
        c.Day > SimDaysInMonth(c.Year, c.Month) || c.Hour < 0 || c.Hour > 23 || c.Minute < 0 ||
        c.Minute > 59 || c.Second < 0 || c.Second > 59)
        return false;
    seconds = SimSecondsFromCivil(c);
    return true;
}

std::string SimCivilText(int64_t seconds)
{
    const TSimCivil c = SimCivilFromSeconds(seconds);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", c.Year, c.Month, c.Day, c.Hour,
                  c.Minute, c.Second);
    return buf;
}
