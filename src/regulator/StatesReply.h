#pragma once
// Block 5: the regulation's state (stage, tariff), which appliances are
// switched and which signals are set, and the maxima of the month with
// their times and the time they were last zeroed.
#include <cstdint>
#include <optional>

struct TStates {
    static constexpr uint8_t MinLength = 43;
    uint32_t TimeStamp = 0;
    uint8_t Stage = 0;
    uint8_t Tariff = 0;            // 0 VT, 1 NT
    uint64_t ApplianceStates = 0;  // bit n: appliance n + 1
    uint64_t SignalStates = 0;     // bit n: signal n + 1
    uint16_t MaximumVt = 0;
    uint16_t MaximumNt = 0;
    uint32_t MaximumVtTime = 0;
    uint32_t MaximumNtTime = 0;
    uint32_t MaximaZeroed = 0;
};
std::optional<TStates> DecodeStates(const uint8_t* data, uint8_t length);
