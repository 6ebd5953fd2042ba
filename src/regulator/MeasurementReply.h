#pragma once
// The live measurement block of generations 1 and 2 (block 2). The
// month table (the archive's two months, their record counts, the records
// lost) is kept as the bytes the archive grid reads, since whether it is
// taken depends on the next block agreeing (see TReplyAgreement).
#include <array>
#include <cstdint>
#include <optional>

// The archive month table: months, counts, lost, five little-endian words.
using TMonthTableBytes = std::array<uint8_t, 10>;

// Block 2 (generations 1 and 2).
struct TMeasurement {
    static constexpr uint8_t MinLength = 35;
    uint32_t TimeStamp = 0;
    uint16_t IntervalTime = 0; // seconds into the running interval
    uint16_t Power = 0;        // kW, instantaneous
    uint16_t Average = 0;      // kW, the interval's average so far
    uint8_t Stage = 0;
    uint8_t Tariff = 0;        // 0 VT, 1 NT
    uint16_t MaximumVt = 0;
    uint16_t MaximumNt = 0;
    uint32_t MaximumVtTime = 0;
    uint32_t MaximumNtTime = 0;
    TMonthTableBytes Table{};
};
std::optional<TMeasurement> DecodeMeasurement(const uint8_t* data, uint8_t length);
