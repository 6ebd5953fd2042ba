#pragma once
// How far the copy of the regulator's archive stands, as the regulator's
// month table and the monthly files say: what `qdrtool fetch` prints and the
// site service reports.
#include "regulator/ArchiveQDR.h"

#include <cstdint>

class TArchiveProgress {
public:
    explicit TArchiveProgress(const TArchiveQDR& archive)
        : Archive(archive)
    {
    }

    // A month number that names a month of a year (a file can be named after it).
    static bool Named(uint16_t month) { return month / 12 != 0; }

    // Records of an entry the regulator still holds, and how many of them are filed.
    void Entry(uint8_t i, uint32_t& done, uint32_t& total) const;
    // Every month of the table needs nothing more.
    bool Complete() const;
    // The entry being downloaded, or -1.
    int Active() const;
    // Entry i is filed whole: the regulator holds records of it, every one
    // of them is filed and none is asked for.
    bool EntryComplete(uint8_t i) const;

    const TArchiveQDR& Archive;
};
