#pragma once
// The values of the consumption evaluation: the measuring interval's number
// and the figures computed from the agreed and the measured hourly energy.
// Each computed value reads its sources through MergeSourceAge, so it is
// invalid while any source is and as old as its oldest expiring source.
#include "values/ValueKinds.h"

#include <initializer_list>
#include <vector>

// The number of the current measuring interval, counted from 30.12.1899 0:00.
class TValueLongQ : public TValueLong {
public:
    TValueLongQ(uint8_t stepMinutes, uint16_t maxAge);

    QString GetDisplayText() const override;
    // Minutes from 30.12.1899 0:00 to the start of the interval.
    uint64_t StartMinutes() const { return uint64_t(Value) * StepMinutes; }
    uint16_t SecondsIntoHour() const { return static_cast<uint16_t>(StartMinutes() % 60u * 60u); }

    uint8_t StepMinutes;
};

// Shared by the computed values: Computed is set, and a change of any source
// triggers a recomputation.
class TComputedSources {
public:
    explicit TComputedSources(std::initializer_list<const TValue*> sources)
        : Sources(sources)
    {
    }
    bool AnyChanged() const;
    // False when a source is missing or invalid.
    bool Merge(uint16_t& age, bool& valid) const;

private:
    std::vector<const TValue*> Sources;
};

// Seconds since the start of the hour: time in the interval plus the
// interval's own offset into the hour.
class TValueWordTh : public TValueWordTime {
public:
    TValueWordTh(uint16_t maxAge, TValueWord* intervalTime, TValueLongQ* intervalNumber);
    void CheckSources(bool& changed) override;
    void Compute(uint16_t& age, bool& valid) override;

    TValueWord* IntervalTime;
    TValueLongQ* IntervalNumber;

private:
    TComputedSources Sources;
};

// The part of the agreed hourly energy A that should be used after T seconds.
class TValueWordAo : public TValueWord {
public:
    TValueWordAo(uint16_t maxAge, TValueWord* agreed, TValueWord* secondsIntoHour);
    void CheckSources(bool& changed) override;
    void Compute(uint16_t& age, bool& valid) override;
    static uint16_t Calculate(uint16_t a, uint16_t t);

    TValueWord* Agreed;
    TValueWord* SecondsIntoHour;

private:
    TComputedSources Sources;
};

// The constant power that uses exactly the rest of the agreed energy A, of
// which B is measured, by the end of the hour.
class TValueWordPo : public TValueWord {
public:
    TValueWordPo(uint16_t maxAge, TValueWord* agreed, TValueWord* measured, TValueWord* secondsIntoHour);
    void CheckSources(bool& changed) override;
    void Compute(uint16_t& age, bool& valid) override;
    static uint16_t Calculate(uint16_t a, uint16_t b, uint16_t t);

    TValueWord* Agreed;
    TValueWord* Measured;
    TValueWord* SecondsIntoHour;

private:
    TComputedSources Sources;
};

// Deviation of X from Y in percent, within -999..999 (999 when Y is 0).
class TValueIntP : public TValueInt {
public:
    TValueIntP(uint16_t maxAge, TValueWord* x, TValueWord* y);
    void CheckSources(bool& changed) override;
    void Compute(uint16_t& age, bool& valid) override;
    static int16_t Calculate(uint16_t x, uint16_t y);

    TValueWord* X;
    TValueWord* Y;

private:
    TComputedSources Sources;
};
