#pragma once
// The answer to command 4: one of the last interval records, its time and
// its samples (two bytes each: the share of the limit in percent, 255 for
// none, and the second it was taken). Which of the four slots it fills is
// the schedule's to know: the regulator does not say.
#include <array>
#include <cstdint>
#include <optional>

struct TRecordSlot {
    static constexpr uint8_t MinLength = 4;
    static constexpr int MaxSampleBytes = 255 - 4;
    uint32_t Time = 0;
    int SampleCount = 0; // whole samples the block carries
    std::array<uint8_t, MaxSampleBytes> Samples{};
};
std::optional<TRecordSlot> DecodeRecordSlot(const uint8_t* data, uint8_t length);
