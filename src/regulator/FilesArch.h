#pragma once
// The regulator's month table and the download bookkeeping over a cache of
// monthly archive files: which month to fetch next and from which record,
// and where each record received goes in its file.
#include "files/FilesMem.h"

#include <QString>

#include <array>
#include <cstdint>

// One line of the regulator's month table: which month, how many records
// the regulator counts for it (from record 1, the lost ones included) and how
// many at the start of the month it no longer holds.
struct TMonthEntry {
    uint16_t Month = 0, Count = 0, Lost = 0;
};

// Per month table entry: regulator records already filed or lost (the next
// one to fetch is Done + 1) and positions used in the monthly file.
struct TMonthProgress {
    uint16_t Done = 0, Filed = 0;
};

class TFileArch;

class TFilesArch : public TFilesMonth {
public:
    static constexpr uint8_t Entries = 13;

    using TFilesMonth::TFilesMonth;
    ~TFilesArch() override;

    // A record size for new files that differs from the current one restarts
    // the download bookkeeping.
    void SetRecordSize(uint16_t size) override;

    // Entry i (0 = current month, 1 = the month before); a new month in an
    // entry zeroes its progress. Indexes above 12 are ignored.
    void SetMonthEntry(uint8_t i, const TMonthEntry& e);
    // Kind 0 the month's text, 1 the count, 2 the lost count; otherwise empty.
    QString EntryText(uint8_t i, uint8_t kind) const;

    // The next records to fetch: their count (0 = none), month and 1-based
    // first regulator index. Older entries are completed first. Month and
    // start are left alone when there is nothing to fetch.
    uint16_t NextRequest(uint16_t& month, uint16_t& start);
    // Files regulator record index (1-based) of a month. Records are only
    // appended: a position the file already covers is left as it is.
    // True when the record was stored.
    bool StoreRecord(uint16_t month, uint16_t index, uint16_t size, const uint8_t* data);

    // How often the file being filled is written. Each save rewrites the
    // whole month (and SD cards at sites wear), yet a kill or a power cut
    // loses whatever is only in memory: the first record filed into a file
    // is saved at once (a file that cannot be written is known before the
    // download goes further), then at most SaveEveryMs after the first
    // record not yet on the disk, and when the month is caught up; never
    // sooner than SaveGapMs after the file's last save. Poll saves what is due.
    uint32_t SaveEveryMs = 30000;
    uint32_t SaveGapMs = 10000;
    // Saves of the file being filled made by that schedule.
    uint32_t ScheduledSaves() const { return FScheduledSaves; }
    // Forgets all progress and lets go of the current file.
    void ResetProgress();

    const TMonthEntry& MonthEntry(uint8_t i) const { return FMonthEntry[i < Entries ? i : 0]; }
    const TMonthProgress& MonthProgress(uint8_t i) const { return FMonthProgress[i < Entries ? i : 0]; }
    // The monthly file being written, or nullptr.
    TFileMem* Current() const { return FCurrent; }

protected:
    // Called when the download is about to ask for or store records of a
    // month's file: the place to make way for records the file cannot hold.
    enum class TTake : uint8_t {
        Kept,    // the file takes the records as it is
        Changed, // the file was changed: what was worked out from it is redone
        Blocked, // the file cannot take them: the month waits, the others go on
    };
    // adding: records are about to be asked for or stored; otherwise the
    // month is only looked at (it may hold all the regulator counts).
    virtual TTake Taken(TFileArch& file, bool adding) { (void)file; (void)adding; return TTake::Kept; }
    // The month table's entry of a month, or nullptr.
    const TMonthEntry* EntryOf(uint16_t month) const;
    // Saves the file being filled when the schedule says so.
    void SaveDue();
    // The file being filled begins anew (its old one was moved aside): its
    // first record is saved at once again.
    void ScheduleAnew() { Scheduled.clear(); }
    // A month left out of the download for now (its file could not be made
    // ready a moment ago), so that it does not hold up the others.
    virtual bool Skipped(uint16_t month) const { (void)month; return false; }

    TFileMem* FCurrent = nullptr;

private:
    TFileArch* CurrentArch() const;
    // A month that needs nothing more: the current month's file is saved
    // (on the schedule, see SaveEveryMs) and stays open for the records still
    // to come; an older month is let go, and saved with that.
    void Finish(uint8_t i);

    std::array<TMonthEntry, Entries> FMonthEntry{};
    std::array<TMonthProgress, Entries> FMonthProgress{};

    // The save schedule of the file being filled (see SaveEveryMs).
    QString Scheduled; // the file the stamps below are of (its full name)
    bool SavedOnce = false;
    uint32_t SavedAt = 0;
    bool Unsaved = false;  // records filed since its last save
    uint32_t UnsavedAt = 0; // the first of them
    bool CaughtUp = false; // nothing more of its month to fetch for now
    uint32_t FScheduledSaves = 0;
    void FollowCurrent();
};
