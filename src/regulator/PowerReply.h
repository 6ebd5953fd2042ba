#pragma once
// The regulated powers as the regulator reports them: in the answer to
// command 7 (the write) and at the end of the information block.
#include <cstdint>
#include <optional>

struct TRegulatedPowers {
    static constexpr uint8_t MinLength = 4;
    // Low 16 bits VT, high 16 bits NT, kW, as the write sends them.
    uint32_t Packed = 0;
    uint16_t Vt() const { return static_cast<uint16_t>(Packed); }
    uint16_t Nt() const { return static_cast<uint16_t>(Packed >> 16); }
};

// Refused when data is null or shorter than MinLength.
std::optional<TRegulatedPowers> DecodeRegulatedPowers(const uint8_t* data, uint8_t length);
