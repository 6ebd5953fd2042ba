#include "app/ArchiveProgress.h"

#include <algorithm>

void TArchiveProgress::Entry(uint8_t i, uint32_t& done, uint32_t& total) const
{
    const TMonthEntry& e = Archive.MonthEntry(i);
    const TMonthProgress& p = Archive.MonthProgress(i);
    total = e.Count > e.Lost ? uint32_t(e.Count - e.Lost) : 0;
    done = p.Done > e.Lost ? std::min<uint32_t>(p.Done - e.Lost, total) : 0;
    if (p.Filed >= Archive.Capacity())
        done = total;
}

bool TArchiveProgress::Complete() const
{
    if (Archive.RequestCount != 0)
        return false;
    for (uint8_t i = 0; i < 2; ++i) {
        const TMonthEntry& e = Archive.MonthEntry(i);
        // A month whose file cannot be moved aside waits; the run ends
        // when the others are done and says so.
        if (!Named(e.Month) || e.Count <= e.Lost || e.Month == Archive.BlockedMonth)
            continue;
        const TMonthProgress& p = Archive.MonthProgress(i);
        if (p.Done < e.Count && p.Filed < Archive.Capacity())
            return false;
    }
    return true;
}

int TArchiveProgress::Active() const
{
    if (Archive.RequestCount == 0)
        return -1;
    for (uint8_t i = 0; i < 2; ++i)
        if (Archive.MonthEntry(i).Month == Archive.RequestMonth)
            return i;
    return -1;
}

bool TArchiveProgress::EntryComplete(uint8_t i) const
{
    const TMonthEntry& e = Archive.MonthEntry(i);
    if (!Named(e.Month) || e.Count <= e.Lost)
        return false;
    // Entry 0 is complete only while nothing of it is pending.
    if (Archive.RequestCount != 0 && Archive.RequestMonth == e.Month)
        return false;
    uint32_t done = 0;
    uint32_t total = 0;
    Entry(i, done, total);
    return done >= total && Archive.MonthProgress(i).Done != 0;
}
