#include "values/Value.h"

#include "core/Tick.h"

TValue::TValue(uint16_t maxAge)
    : MaxAge(maxAge)
{
    Invalidate();
}

QString TValue::GetText() const { return QString(); }

QString TValue::GetDisplayText() const { return GetText(); }

void TValue::CheckSources(bool&) {}

void TValue::Compute(uint16_t&, bool&) {}

void TValue::Validate(uint16_t age) { ValidateAt(age, GetTick16()); }

void TValue::ValidateAt(uint16_t age, uint16_t now)
{
    Age = age;
    TickStamp = now;
    Invalid = false;
    Stale = false;
    ChangedPending = true;
}

void TValue::Invalidate()
{
    Age = NoAge;
    Invalid = true;
    ChangedPending = true;
}

bool TValue::IsValid() const
{
    if (MaxAge == 0)
        return !Invalid;
    return Age < MaxAge;
}

QString TValue::GetDisplay() const { return IsValid() ? GetDisplayText() : QString(); }

bool TValue::MergeSourceAge(uint16_t& age, bool& valid) const
{
    const bool ok = IsValid();
    if (!ok)
        valid = false;
    else if (!NeverExpires() && Age > age)
        age = Age;
    return ok;
}

void TValue::Tick() { Tick(GetTick16()); }

void TValue::Tick(uint16_t now)
{
    bool changed = false;
    if (Computed)
        CheckSources(changed);
    if (changed) {
        uint16_t age = 0;
        bool valid = true;
        Compute(age, valid);
        // Worked out anew from sources that are as stale as before.
        const bool stale = Stale;
        if (valid) {
            ValidateAt(age, now);
            Stale = stale;
        } else {
            Invalidate();
        }
    } else if (Age < NoAge && Elapsed16At(now, 1000, TickStamp, false)) {
        // The stamp moves by exactly one second, so ageing keeps its rhythm.
        ++Age;
        if (Age == MaxAge)
            ChangedPending = true;
    }
    Changed = ChangedPending;
    ChangedPending = false;
}
