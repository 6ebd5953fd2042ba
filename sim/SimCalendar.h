#pragma once
// Civil-time arithmetic of the simulated regulator. The regulator keeps local
// wall-clock time with no time zone, so everything here is naive calendar
// arithmetic: a simulated instant is a count of seconds from 30.12.1899 0:00,
// the same origin the client uses for its day and interval numbers.
#include <cstdint>
#include <string>

struct TSimCivil {
    int Year = 1900;
    int Month = 1;  // 1..12
    int Day = 1;    // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
};

// Days from 30.12.1899 (day 0) to the given date.
int64_t SimSerialDay(int year, int month, int day);
TSimCivil SimCivilFromSeconds(int64_t seconds);
int64_t SimSecondsFromCivil(const TSimCivil& c);

int SimDaysInMonth(int year, int month);
// Month number as the regulator counts months: year * 12 + (month - 1).
uint16_t SimMonthNumber(int year, int month);
// Seconds from 30.12.1899 to 0:00 of the first day of a month number.
int64_t SimMonthStartSeconds(uint16_t monthNumber);
int SimMonthDays(uint16_t monthNumber);
// 0 = Monday .. 6 = Sunday.
int SimWeekday(int64_t serialDay);

// The regulator's packed time stamp: high half the month number, low half
// day-of-month * 1440 + minutes since midnight (the day is not counted from 0,
// so the 1st at 0:00 is 1440 and the low half is never 0 for a real time).
uint32_t SimPackedTime(int64_t seconds);

// "YYYY-MM-DDTHH:MM" (seconds optional as ":SS"); false on malformed or
// impossible dates.
bool SimParseCivil(const std::string& text, int64_t& seconds);
std::string SimCivilText(int64_t seconds);
