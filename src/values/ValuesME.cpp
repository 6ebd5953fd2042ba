#include "values/ValuesME.h"

#include "core/TextFunctions.h"

TValueLongQ::TValueLongQ(uint8_t stepMinutes, uint16_t maxAge)
    : TValueLong(maxAge)
    , StepMinutes(stepMinutes)
{
}

QString TValueLongQ::GetDisplayText() const
{
    // Beyond 32 bits of minutes (some eight thousand years) the text is
    // meaningless anyway; the conversion only keeps it from overflowing.
    const uint64_t m = StartMinutes();
    return DateTimeText(m > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(m));
}

bool TComputedSources::AnyChanged() const
{
    for (const TValue* v : Sources)
        if (v && v->Changed)
            return true;
    return false;
}

bool TComputedSources::Merge(uint16_t& age, bool& valid) const
{
    for (const TValue* v : Sources) {
        if (!v)
            valid = false;
        else
            v->MergeSourceAge(age, valid);
    }
    return valid;
}

TValueWordTh::TValueWordTh(uint16_t maxAge, TValueWord* intervalTime, TValueLongQ* intervalNumber)
    : TValueWordTime(maxAge)
    , IntervalTime(intervalTime)
    , IntervalNumber(intervalNumber)
    , Sources{intervalTime, intervalNumber}
{
    Computed = true;
}

void TValueWordTh::CheckSources(bool& changed) { changed = changed || Sources.AnyChanged(); }

void TValueWordTh::Compute(uint16_t& age, bool& valid)
{
    if (Sources.Merge(age, valid))
        Value = static_cast<uint16_t>(IntervalTime->GetValue() + IntervalNumber->SecondsIntoHour());
}

TValueWordAo::TValueWordAo(uint16_t maxAge, TValueWord* agreed, TValueWord* secondsIntoHour)
    : TValueWord(maxAge)
    , Agreed(agreed)
    , SecondsIntoHour(secondsIntoHour)
    , Sources{agreed, secondsIntoHour}
{
    Computed = true;
}

void TValueWordAo::CheckSources(bool& changed) { changed = changed || Sources.AnyChanged(); }

void TValueWordAo::Compute(uint16_t& age, bool& valid)
{
    if (Sources.Merge(age, valid))
        Value = Calculate(Agreed->GetValue(), SecondsIntoHour->GetValue());
}

uint16_t TValueWordAo::Calculate(uint16_t a, uint16_t t)
{
    if (t >= 3600)
        return a;
    return static_cast<uint16_t>(uint32_t(a) * t / 3600u);
}

TValueWordPo::TValueWordPo(uint16_t maxAge, TValueWord* agreed, TValueWord* measured, TValueWord* secondsIntoHour)
    : TValueWord(maxAge)
    , Agreed(agreed)
    , Measured(measured)
    , SecondsIntoHour(secondsIntoHour)
    , Sources{agreed, measured, secondsIntoHour}
{
    Computed = true;
}

void TValueWordPo::CheckSources(bool& changed) { changed = changed || Sources.AnyChanged(); }

void TValueWordPo::Compute(uint16_t& age, bool& valid)
{
    if (Sources.Merge(age, valid))
        Value = Calculate(Agreed->GetValue(), Measured->GetValue(), SecondsIntoHour->GetValue());
}

uint16_t TValueWordPo::Calculate(uint16_t a, uint16_t b, uint16_t t)
{
    // Once the hour is over the plan restarts for a whole hour, with a tenth
    // of the agreed energy counted as used.
    if (t >= 3600) {
        b = a / 10u;
        t = 0;
    } else if (b > a) {
        b = a;
    }
    const uint64_t r = uint64_t(a - b) * 3600u / (3600u - t);
    return r >= 0xFFFF ? 0xFFFF : static_cast<uint16_t>(r);
}

TValueIntP::TValueIntP(uint16_t maxAge, TValueWord* x, TValueWord* y)
    : TValueInt(maxAge)
    , X(x)
    , Y(y)
    , Sources{x, y}
{
    ShowPlus = true;
    Computed = true;
}

void TValueIntP::CheckSources(bool& changed) { changed = changed || Sources.AnyChanged(); }

void TValueIntP::Compute(uint16_t& age, bool& valid)
{
    if (Sources.Merge(age, valid))
        Value = Calculate(X->GetValue(), Y->GetValue());
}

int16_t TValueIntP::Calculate(uint16_t x, uint16_t y)
{
    const int32_t d = int32_t(x) - int32_t(y);
    if (d == 0)
        return 0;
    int32_t r = d > 0 ? 999 : -999;
    if (y != 0) {
        const int32_t q = d * 100 / int32_t(y);
        if (q > -999 && q < 999)
            r = q;
    }
    return static_cast<int16_t>(r);
}
