#include "values/InterfaceME.h"

TInterfaceME::TInterfaceME(uint16_t maxAge, int intervalsPerHour)
    : IntervalsPerHour(CorrectIntervals(intervalsPerHour))
    , IntervalMinutes(static_cast<uint8_t>(60 / IntervalsPerHour))
    , MeValues(std::make_unique<TValues>(ValueCapacity))
{
    TValues& v = *MeValues;
    IntervalNumber = v.AddNew<TValueLongQ>(IntervalMinutes, maxAge);
    AllowedPower = v.AddNew<TValueWord>(maxAge);
    AgreedEnergy = v.AddNew<TValueWord>(maxAge);
    TimeStamp = v.AddNew<TValueDateTime>(maxAge);
    IntervalTime = v.AddNew<TValueWordTime>(maxAge);
    Power = v.AddNew<TValueWord>(maxAge);
    ReactivePower = v.AddNew<TValueInt>(maxAge);
    PowerFactor = v.AddNew<TValueIntCF>(Power, maxAge, ReactivePower);
    AveragePower = v.AddNew<TValueWord>(maxAge);
    OptimalIntervalPower = v.AddNew<TValueWord>(maxAge);
    MeasuredEnergy = v.AddNew<TValueWord>(maxAge);
    HourTime = v.AddNew<TValueWordTh>(maxAge, IntervalTime, IntervalNumber);
    OptimalPower = v.AddNew<TValueWordPo>(maxAge, AgreedEnergy, MeasuredEnergy, HourTime);
    OptimalEnergy = v.AddNew<TValueWordAo>(maxAge, AgreedEnergy, HourTime);
    PowerDeviation = v.AddNew<TValueIntP>(maxAge, OptimalPower, Power);
    EnergyDeviation = v.AddNew<TValueIntP>(maxAge, MeasuredEnergy, OptimalEnergy);
    Date = v.AddNew<TValueLongDate>(maxAge);
    Number = v.AddNew<TValueWord>(maxAge);
    // The power factor follows the instantaneous powers whether or not the
    // consumption figures arrive, so it is always computed.
    PowerFactor->Computed = true;
}

uint8_t TInterfaceME::CorrectIntervals(int n) { return n <= 0 || n > 60 || 60 % n != 0 ? 4 : static_cast<uint8_t>(n); }

void TInterfaceME::Tick() { MeValues->TickAll(); }

void TInterfaceME::Tick(uint16_t now) { MeValues->TickAll(now); }

void TInterfaceME::InvalidateAll() { MeValues->InvalidateAll(); }

void TInterfaceME::MarkStale(bool stale) { MeValues->MarkStale(stale); }

TValue* TInterfaceME::Value(uint8_t number) const
{
    return number >= 1 && number <= ValueCount ? MeValues->Items(static_cast<uint16_t>(number - 1)) : nullptr;
}
