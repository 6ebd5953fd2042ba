#pragma once
// A typed figure with validity and age. Replies write values, the 100 ms tick
// ages them, and displays repaint when Changed is set; computed values plug
// into the same tick through CheckSources and Compute.
#include <QString>

#include <cstdint>

class TValue {
public:
    // Age of a value never set or invalidated; ageing stops there.
    static constexpr uint16_t NoAge = 0xFFFF;

    // maxAge in seconds; 0 = never expires. A new value is invalid and marked
    // changed, so its displays paint the missing state at the first tick.
    explicit TValue(uint16_t maxAge);
    virtual ~TValue() = default;
    TValue(const TValue&) = delete;
    TValue& operator=(const TValue&) = delete;

    uint16_t TickStamp = 0;  // millisecond stamp of the last counted second
    uint16_t Age = NoAge;    // whole seconds since the last set
    uint16_t MaxAge = 0;
    bool Invalid = true;
    bool ChangedPending = true;
    bool Changed = false;    // true for exactly one tick after a change
    bool Computed = false;
    // What brought the value is known to be gone (the regulator does not
    // answer): valid still, but shown as ageing whatever its age, until the
    // value is set again or the flag is cleared.
    bool Stale = false;

    virtual QString GetText() const;
    virtual QString GetDisplayText() const;
    // Computed values set changed when one of their sources has Changed.
    virtual void CheckSources(bool& changed);
    // Computed values recalculate from their sources; age and valid come in
    // as 0 and true and leave as the oldest source age and the validity.
    virtual void Compute(uint16_t& age, bool& valid);
    virtual void Validate(uint16_t age);

    // Validate with an explicit tick stamp.
    void ValidateAt(uint16_t age, uint16_t now);
    void Invalidate();
    bool IsValid() const;
    bool NeverExpires() const { return MaxAge == 0; }
    void ClearMaxAge() { MaxAge = 0; }
    // What every display shows: nothing unless valid.
    QString GetDisplay() const;
    // Called on a source by the value computing from it. Returns the source's
    // validity.
    bool MergeSourceAge(uint16_t& age, bool& valid) const;

    void Tick();
    // The tick against a given millisecond stamp; what Tick uses.
    void Tick(uint16_t now);
};
