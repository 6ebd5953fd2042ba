#pragma once
// The consumption evaluation: its values and their computations, without the
// page that shows them. Several of its values (time stamp, time in the
// interval, powers) also feed the measurement page.
#include "values/ValueIntCF.h"
#include "values/Values.h"
#include "values/ValuesME.h"

#include <memory>

class TInterfaceME {
public:
    static constexpr uint16_t ValueCapacity = 32;
    static constexpr uint8_t ValueCount = 18;

    // intervalsPerHour that does not divide an hour evenly becomes 4.
    TInterfaceME(uint16_t maxAge, int intervalsPerHour);
    TInterfaceME(const TInterfaceME&) = delete;
    TInterfaceME& operator=(const TInterfaceME&) = delete;

    void Tick();
    void Tick(uint16_t now);
    void InvalidateAll();
    void MarkStale(bool stale);

    // The value of the given number (1 to 18, in creation order), or nullptr.
    TValue* Value(uint8_t number) const;

    uint8_t IntervalsPerHour = 4;
    uint8_t IntervalMinutes = 15;
    std::unique_ptr<TValues> MeValues;

    // In creation order; all owned by MeValues.
    TValueLongQ* IntervalNumber = nullptr;  // 1
    TValueWord* AllowedPower = nullptr;     // 2, LabelPd
    TValueWord* AgreedEnergy = nullptr;     // 3, LabelAd
    TValueDateTime* TimeStamp = nullptr;    // 4, PanelDt (LabelTd of the measurement page)
    TValueWordTime* IntervalTime = nullptr; // 5, LabelTc
    TValueWord* Power = nullptr;            // 6, LabelPa
    TValueInt* ReactivePower = nullptr;     // 7, LabelQa
    TValueIntCF* PowerFactor = nullptr;     // 8, LabelCf
    TValueWord* AveragePower = nullptr;     // 9, LabelPr
    TValueWord* OptimalIntervalPower = nullptr; // 10, LabelPq
    TValueWord* MeasuredEnergy = nullptr;   // 11, LabelAh
    TValueWordTh* HourTime = nullptr;       // 12, LabelTh
    TValueWordPo* OptimalPower = nullptr;   // 13, LabelPo
    TValueWordAo* OptimalEnergy = nullptr;  // 14, LabelAo
    TValueIntP* PowerDeviation = nullptr;   // 15, LabelPp
    TValueIntP* EnergyDeviation = nullptr;  // 16, LabelAp
    TValueLongDate* Date = nullptr;         // 17, received but not shown
    TValueWord* Number = nullptr;           // 18, received but not shown

    static uint8_t CorrectIntervals(int intervalsPerHour);
};
