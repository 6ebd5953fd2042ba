#pragma once
// One interval record of the regulator: up to 60 samples, each a percentage
// and a second byte, listed with their times and drawn as a bar chart.
#include "values/ValueList.h"

#include <array>
#include <cstdint>

class TValueListQ : public TValueList {
public:
    static constexpr int MaxSamples = 60;

    // The heights of one sample's bars in pixels, from the bottom for the
    // percentage and from the 30-pixel line up for the second byte; "over"
    // marks a bar cut at its limit.
    struct TBar {
        int PercentHeight = 0;
        bool PercentOver = false;
        int SecondHeight = 0;
        bool SecondOver = false;
    };
    static constexpr int PercentMark = 80; // height of 100 %
    static constexpr int PercentLimit = 95;
    static constexpr int SecondLimit = 30;

    TValueListQ(uint8_t stepMinutes, uint16_t maxAge);

    // n two-byte samples; more than 60 are cut off.
    void SetSamples(const uint8_t* bytes, int n);
    int VisibleCount() const { return IsValid() ? SampleCount : 0; }

    // The three cell texts of list item index: its time into the interval
    // (mm:ss), "<percentage> %", and "#<second byte>".
    QString TimeText(int index) const;
    QString PercentText(int index) const;
    QString SecondText(int index) const;
    TBar Bar(int index) const;

    uint8_t StepMinutes;
    std::array<std::array<uint8_t, 2>, MaxSamples> Samples{};
    uint8_t SampleCount = 0;
};
