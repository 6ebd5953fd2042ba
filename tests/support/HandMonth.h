#pragma once
// A monthly file of November 2026 (or of month) written by hand for tests:
// channels channels, 96 records a day from the 1st, the value of record k in
// channel c given by value (reactive channels by the kinds mask).
#include "support/TimedMonth.h"

inline QString WriteHandMonth(const QString& dir, int channels, int days, uint16_t kinds,
                              const std::function<uint16_t(int k, int c)>& value, uint16_t month = 2026 * 12 + 10)
{
    return WriteTimedMonth(dir, month, channels, kinds, WholeMonthTimes(days), value);
}
