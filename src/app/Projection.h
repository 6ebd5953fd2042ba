#pragma once
// The average power the running interval will end with if the load stays as
// it is now: what the elapsed part brought plus the instantaneous power over
// the rest. Regulators report the interval's "average power" in one of two
// readings, hence the two forms.
#include <algorithm>
#include <cstdint>

enum class TAverageReading : uint8_t {
    Elapsed,  // the mean over the elapsed part of the interval
    Interval, // the energy so far spread over the whole interval
};

// kW; elapsed and length in seconds (elapsed beyond length counts as length).
inline double ProjectedIntervalPower(double average, double instantaneous, uint32_t elapsed, uint32_t length,
                                     TAverageReading reading = TAverageReading::Elapsed)
{
    if (length == 0)
        return average;
    const double done = double(std::min(elapsed, length)) / double(length);
    const double rest = instantaneous * (1.0 - done);
    return reading == TAverageReading::Elapsed ? average * done + rest : average + rest;
}
