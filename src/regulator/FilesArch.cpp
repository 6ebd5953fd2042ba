#include "regulator/FilesArch.h"

#include "core/TextFunctions.h"
#include "core/Tick.h"

TFilesArch::~TFilesArch()
{
    // Every file still open is saved and freed by the set itself.
    FCurrent = nullptr;
}

TFileArch* TFilesArch::CurrentArch() const { return dynamic_cast<TFileArch*>(FCurrent); }

void TFilesArch::SetRecordSize(uint16_t size)
{
    if (size != RecordSize())
        ResetProgress();
    TFilesMonth::SetRecordSize(size);
}

void TFilesArch::ResetProgress()
{
    FMonthProgress.fill(TMonthProgress{});
    Release(FCurrent);
}

void TFilesArch::SetMonthEntry(uint8_t i, const TMonthEntry& e)
{
    if (i >= Entries)
        return;
    // A new month, or fewer records than before in the same month (the
    // regulator restarted its numbering): what was done must be worked out
    // from the file again, or a restart would go unnoticed until the count
    // climbed past the old one, and the records below it would never be fetched.
    if (e.Month != FMonthEntry[i].Month || e.Count < FMonthEntry[i].Count)
        FMonthProgress[i] = TMonthProgress{};
    FMonthEntry[i] = e;
}

QString TFilesArch::EntryText(uint8_t i, uint8_t kind) const
{
    if (i >= Entries)
        return QString();
    const TMonthEntry& e = FMonthEntry[i];
    switch (kind) {
    case 0:
        return MonthText(e.Month);
    case 1:
        return QString::number(e.Count);
    case 2:
        return QString::number(e.Lost);
    default:
        return QString();
    }
}

const TMonthEntry* TFilesArch::EntryOf(uint16_t month) const
{
    for (const TMonthEntry& e : FMonthEntry)
        if (month != 0 && e.Month == month)
            return &e;
    return nullptr;
}

void TFilesArch::FollowCurrent()
{
    const QString name = FCurrent ? FCurrent->FileName() : QString();
    if (Scheduled == name)
        return;
    // Another file (or none): its own schedule starts. A file opened with
    // changes not yet saved counts them from now.
    Scheduled = name;
    SavedOnce = false;
    SavedAt = 0;
    CaughtUp = false;
    Unsaved = FCurrent && FCurrent->Modified();
    UnsavedAt = GetTick();
}

void TFilesArch::SaveDue()
{
    FollowCurrent();
    if (!FCurrent || !FCurrent->Modified())
        return;
    const uint32_t now = GetTick();
    if (SavedOnce && now - SavedAt < SaveGapMs)
        return;
    if (SavedOnce && !CaughtUp && !(Unsaved && now - UnsavedAt >= SaveEveryMs))
        return;
    SavedOnce = true;
    SavedAt = now;
    Unsaved = false;
    ++FScheduledSaves;
    SaveFile(FCurrent);
}

void TFilesArch::Finish(uint8_t i)
{
    if (i == 0) {
        // It stays open for the records still to come; the save follows
        // the schedule.
        FollowCurrent();
        CaughtUp = true;
        SaveDue();
    } else {
        Release(FCurrent);
    }
}

uint16_t TFilesArch::NextRequest(uint16_t& month, uint16_t& start)
{
    SaveDue();
    for (int k = Entries - 1; k >= 0; --k) {
        const auto i = static_cast<uint8_t>(k);
        const TMonthEntry& e = FMonthEntry[i];
        TMonthProgress& p = FMonthProgress[i];
        // A month number without a year names no file; such an entry could
        // only block the months after it.
        const bool named = !MonthFileName(e.Month).isEmpty();
        const bool candidate = named && p.Filed < Capacity() && e.Count > p.Done && e.Count > e.Lost;
        if (!candidate) {
            if (named && FCurrent) {
                const TFileMonth* file = dynamic_cast<const TFileMonth*>(FCurrent);
                if (file && file->Month() == e.Month)
                    Finish(i);
            }
            continue;
        }
        if (Skipped(e.Month))
            continue;
        p = TMonthProgress{};
        if (!ReopenMonth(e.Month, FCurrent))
            return 0; // every slot of the cache is in use: try again later
        TFileArch* file = CurrentArch();
        if (!file)
            return 0;
        // Worked out from the file twice when the file had to make way for
        // the records still to come.
        TTake take = TTake::Kept;
        for (int pass = 0; pass < 2; ++pass) {
            p.Filed = file->Count();
            p.Done = file->ArchCount();
            if (p.Done < e.Lost)
                p.Done = e.Lost;
            if (pass != 0)
                break;
            take = Taken(*file, p.Filed < Capacity() && e.Count > p.Done);
            if (take != TTake::Changed)
                break;
        }
        if (take == TTake::Blocked) {
            // Asked for again and again, this month would starve the months
            // after it: they go on, and it is tried again later. Nothing of
            // it counts as done meanwhile.
            p = TMonthProgress{};
            Release(FCurrent);
            continue;
        }
        if (p.Filed < Capacity() && e.Count > p.Done) {
            month = e.Month;
            start = static_cast<uint16_t>(p.Done + 1);
            return static_cast<uint16_t>(e.Count - p.Done);
        }
        Finish(i);
    }
    return 0;
}

bool TFilesArch::StoreRecord(uint16_t month, uint16_t index, uint16_t size, const uint8_t* data)
{
    if (index == 0 || !data || !ReopenMonth(month, FCurrent))
        return false;
    TFileArch* file = CurrentArch();
    if (!file || Taken(*file, true) == TTake::Blocked)
        return false;
    const auto position = static_cast<uint16_t>((index - 1) + file->Shift());
    if (position < file->Count())
        return false;
    if (!file->Put(data, size, position))
        return false;
    FollowCurrent();
    CaughtUp = false;
    if (!Unsaved) {
        Unsaved = true;
        UnsavedAt = GetTick();
    }
    return true;
}
