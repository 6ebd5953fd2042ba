#include "comm/ReplyTimer.h"

#include <algorithm>
#include <cmath>

namespace {
// The clock's resolution (GetTick counts milliseconds): the variation's
// share never falls below it, so a run of identical samples leaves room.
constexpr double Granularity = 1.0;
// Enough doublings to reach any cap a 16-bit time-out allows from 1 ms.
constexpr uint8_t MaxBackoff = 16;
}

uint32_t TReplyTimer::Wait(uint32_t floorMs, uint32_t capMs) const
{
    if (!HasSample)
        return capMs;
    // To the nearest millisecond, the clock's own resolution.
    const long estimate = std::lround(Srtt + std::max(Granularity, 4 * Rttvar));
    uint64_t wait = std::max<uint64_t>(floorMs, static_cast<uint64_t>(estimate));
    wait <<= Backoff;
    return static_cast<uint32_t>(std::min<uint64_t>(wait, capMs));
}

void TReplyTimer::Answered(uint32_t ms)
{
    if (AfterTimeout) {
        // The doubled wait stays until a reply that can be timed comes.
        AfterTimeout = false;
        return;
    }
    const double r = ms;
    if (!HasSample) {
        Srtt = r;
        Rttvar = r / 2;
        HasSample = true;
    } else {
        Rttvar = 0.75 * Rttvar + 0.25 * std::fabs(Srtt - r);
        Srtt = 0.875 * Srtt + 0.125 * r;
    }
    Backoff = 0;
}

void TReplyTimer::TimedOut()
{
    AfterTimeout = true;
    if (HasSample && Backoff < MaxBackoff)
        ++Backoff;
}
