#pragma once
// The live measurement blocks of generation 3: block 8, and block 10 which
// adds the consumption evaluation's figures.
#include "regulator/MeasurementReply.h"

// Blocks 8 and 10 (generation 3).
struct TMeasurement3 {
    static constexpr uint8_t MinLength = 70;     // block 8, and the common part of 10
    static constexpr uint8_t MinLengthFull = 88; // block 10
    uint32_t TimeStamp = 0;
    uint16_t IntervalTime = 0;
    // For the main measurement and meters 1 to 12 the instantaneous and the
    // average power, little-endian, as the meters grid reads them.
    std::array<uint8_t, 52> Readings{};
    // The meter kinds word followed by the month table: the bytes that must
    // agree with the next block before the download follows them.
    std::array<uint8_t, 12> KindsAndTable{};
    uint16_t Kinds() const { return static_cast<uint16_t>(KindsAndTable[0] | (KindsAndTable[1] << 8)); }
    TMonthTableBytes Table() const;
    // The main measurement's average (its second reading).
    uint16_t Average() const { return static_cast<uint16_t>(Readings[2] | (Readings[3] << 8)); }

    // Block 10 only (Full).
    bool Full = false;
    uint16_t AllowedPower = 0;
    uint16_t OptimalIntervalPower = 0;
    uint32_t Date = 0;
    uint16_t Number = 0;
    uint32_t IntervalNumber = 0;
    uint16_t AgreedEnergy = 0;
    uint16_t MeasuredEnergy = 0;
};
// command: 8 or 10 (with or without the reply bit); a block 10 shorter than
// MinLengthFull is refused, even when it would do as a block 8.
std::optional<TMeasurement3> DecodeMeasurement3(uint8_t command, const uint8_t* data, uint8_t length);
