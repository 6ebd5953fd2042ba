#pragma once
// Measurement 00's running interval as the live blocks show it, the one the
// projection of the window, the alerts, MQTT and /metrics reads; and the
// interval it closes when the next block starts another.
#include "app/EngineObserver.h"

#include <array>
#include <cstdint>
#include <functional>

// Not valid while the link is down or before the first live block.
struct TLiveInterval {
    bool Valid = false;
    uint16_t Month = 0;
    uint16_t Start = 0; // minutes into the month
    uint16_t Elapsed = 0;
    uint16_t Average = 0;
    uint8_t Tariff = 0;
    std::array<uint16_t, 13> Averages{};
};

class TIntervalFollower {
public:
    // One live block: stamp its regulator date-time (month << 16 | minutes),
    // elapsed the seconds into the interval, average its average power;
    // tariff and averages (generation 3's meters, zeros before) as the block
    // left them; now the engine's clock. When it starts another interval,
    // closed is told the one followed so far, before the running interval
    // moves on.
    void Follow(uint32_t stamp, uint16_t elapsed, uint16_t average, uint8_t tariff, const std::array<uint16_t, 13>& averages,
                uint32_t now, const std::function<void(const TClosedInterval&)>& closed);
    // The link went down or the regulator is gone.
    void Invalidate() { Running.Valid = false; }
    // The running interval ends within seconds of now, counting the seconds
    // since its last block.
    bool EndsWithin(uint32_t seconds, uint32_t now) const;

    const TLiveInterval& Interval() const { return Running; }
    void SetIntervalMinutes(uint16_t minutes) { IntervalMinutes = minutes; }

private:
    uint16_t IntervalMinutes = 15;
    TLiveInterval Running;
    uint32_t FollowedAt = 0; // the clock at the last block followed
    uint32_t LengthSeconds() const;
};
