#include "values/Values.h"

#include "core/Tick.h"

void TValues::InvalidateAll()
{
    for (uint16_t i = 0; i < Count(); ++i)
        if (TValue* v = Items(i))
            v->Invalidate();
}

void TValues::MarkStale(bool stale)
{
    for (uint16_t i = 0; i < Count(); ++i)
        if (TValue* v = Items(i))
            v->Stale = stale;
}

void TValues::TickAll() { TickAll(GetTick16()); }

void TValues::TickAll(uint16_t now)
{
    for (uint16_t i = 0; i < Count(); ++i)
        if (TValue* v = Items(i))
            v->Tick(now);
}
