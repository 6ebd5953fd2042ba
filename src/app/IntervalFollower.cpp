#include "app/IntervalFollower.h"

#include <algorithm>

uint32_t TIntervalFollower::LengthSeconds() const { return std::max<uint32_t>(1, IntervalMinutes) * 60; }

void TIntervalFollower::Follow(uint32_t stamp, uint16_t elapsed, uint16_t average, uint8_t tariff,
                               const std::array<uint16_t, 13>& averages, uint32_t now,
                               const std::function<void(const TClosedInterval&)>& closed)
{
    // The regulator stamps its blocks to the minute only, but it counts the
    // seconds into the interval: the stamp less those seconds lies within a
    // minute before the true start, which intervals put on a whole multiple
    // of their length in the month. The multiple nearest the middle of that
    // minute is the start, also for intervals of one minute.
    const auto month = static_cast<uint16_t>(stamp >> 16);
    const uint32_t minutes = stamp & 0xFFFFu;
    const uint32_t length = LengthSeconds();
    if (month == 0 || elapsed > length + 60) {
        Running.Valid = false;
        return;
    }
    const int64_t startSeconds = int64_t(minutes) * 60 - elapsed;
    const auto start = static_cast<uint16_t>(std::max<int64_t>(0, (startSeconds + 29 + length / 2) / length * length / 60));
    if (Running.Valid && (month != Running.Month || start != Running.Start) && closed) {
        TClosedInterval c;
        c.Start = (uint32_t(Running.Month) << 16) | Running.Start;
        c.Length = static_cast<uint16_t>(length);
        c.AveragePower = Running.Average;
        c.LastElapsed = Running.Elapsed;
        c.Tariff = Running.Tariff;
        c.Averages = Running.Averages;
        closed(c);
    }
    Running.Valid = true;
    FollowedAt = now;
    Running.Month = month;
    Running.Start = start;
    Running.Elapsed = elapsed;
    Running.Average = average;
    Running.Tariff = tariff;
    Running.Averages = averages;
}

bool TIntervalFollower::EndsWithin(uint32_t seconds, uint32_t now) const
{
    if (!Running.Valid)
        return false;
    // The seconds into the interval as the last live block said, and those
    // since.
    const uint32_t elapsed = Running.Elapsed + (now - FollowedAt) / 1000;
    return elapsed + seconds >= LengthSeconds();
}
