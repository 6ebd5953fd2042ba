#pragma once
// The information block (command 1): when the regulator was initialised,
// lost power, was configured and reset, what it has (meters, stages,
// appliances) and the regulated powers it keeps.
#include "regulator/PowerReply.h"

#include <cstdint>
#include <optional>

struct TInformation {
    static constexpr uint8_t MinLength = 24;
    uint32_t Initialised = 0;  // regulator times, seconds as the values take them
    uint32_t PowerFailure = 0;
    uint32_t Configured = 0;
    uint32_t Reset = 0;
    uint8_t Meters = 0;
    uint8_t Stages = 0;
    uint8_t Appliances = 0;
    // Which meters measure reactive power; only generations 1 and 2 say it
    // here (generation 3 with every measurement block).
    uint16_t KindMask = 0;
    TRegulatedPowers Powers;
    // Archive channels: the meters, and in generation 3 the main
    // measurement as a channel of its own.
    uint8_t Channels = 0;
};

// generation: as the identification gave it. Refused when data is null or
// shorter than MinLength.
std::optional<TInformation> DecodeInformation(const uint8_t* data, uint8_t length, uint8_t generation);
