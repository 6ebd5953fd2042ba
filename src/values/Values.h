#pragma once
// The owning list of values. TickAll goes in list order, so a computed value
// added after its sources sees their Changed flags of the same tick.
#include "core/Objects.h"
#include "values/Value.h"

class TValues : public TObjects<TValue> {
public:
    using TObjects<TValue>::TObjects;

    void InvalidateAll();
    // Sets or clears every value's Stale flag.
    void MarkStale(bool stale);
    void TickAll();
    void TickAll(uint16_t now);
};
