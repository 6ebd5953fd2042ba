#include "regulator/ArchiveQDR.h"

#include "core/LittleEndian.h"
#include "core/TextFunctions.h"
#include "core/SafeFile.h"
#include "core/Tick.h"

TArchiveQDR::TArchiveQDR(const QString& folder)
    : TFilesArch(QStringLiteral("QDR"), CacheSlots, FileCapacity, 0, folder)
{
}

TArchiveQDR::~TArchiveQDR() = default;

std::unique_ptr<TFileMem> TArchiveQDR::NewFile() const
{
    return std::make_unique<TFileArchQDR>(RecordSize(), Capacity());
}

void TArchiveQDR::SetChannels(uint8_t n) { FArchiveRecordSize = static_cast<uint16_t>(2 + 2 * n); }

bool TArchiveQDR::StoreRecord(uint16_t month, uint16_t index, const uint8_t* data)
{
    return StoreRecord(month, index, data, FArchiveRecordSize);
}

bool TArchiveQDR::StoreRecord(uint16_t month, uint16_t index, const uint8_t* data, uint16_t size)
{
    if (size == 0 || size != FArchiveRecordSize)
        return false;
    // Filed as received: an empty record is told by its time 0 wherever it
    // is read, so its channels need no rewriting.
    const bool stored = TFilesArch::StoreRecord(month, index, size, data);
    if (auto* file = dynamic_cast<TFileArchQDR*>(FCurrent); file && index != 0) {
        const auto* monthFile = static_cast<const TFileMonth*>(file);
        if (monthFile->Month() == month)
            file->SetKindMask(KindMask);
    }
    return stored;
}

bool TArchiveQDR::Skipped(uint16_t month) const
{
    // A month whose regulator is being identified again waits for that,
    // its file not even opened meanwhile.
    if (const auto fall = FellAt.find(month); fall != FellAt.end() && fall->second.At == Identifications)
        return true;
    return month != 0 && month == BlockedMonth && GetTick() - BlockedAt < BlockedRetryMs;
}

void TArchiveQDR::SetIdentity(const QString& identity)
{
    ++Identifications;
    if (identity == FIdentity)
        return;
    FIdentity = identity;
    // Every month's file is looked at again for the regulator now answering.
    ResetProgress();
}

TFilesArch::TTake TArchiveQDR::MoveAsideMonth(TFileArch& file, TMovedAside moved)
{
    const uint16_t month = file.Month();
    // What is in memory goes to disk first, so the file moved aside is whole.
    if (file.Modified() && !SaveFile(&file))
        moved.Why = QStringLiteral("cannot save");
    else {
        moved.Aside = MoveAside(file.FileName(), QLatin1Char('.') + moved.Reason, moved.Why);
        // Never written to the disk: nothing there to keep.
        if (moved.Aside.isEmpty() && moved.Why.isEmpty())
            moved.Aside = file.FileName();
    }
    if (moved.Aside.isEmpty()) {
        // The records cannot be kept elsewhere: nothing more of the month is
        // taken, rather than overwrite them.
        BlockedAt = GetTick();
        if (BlockedMonth != month) {
            BlockedMonth = month;
            if (OnMovedAside)
                OnMovedAside(moved);
        }
        return TTake::Blocked;
    }
    if (BlockedMonth == month)
        BlockedMonth = 0;
    const QString name = file.FileName();
    file.LoadMonth(name, month);
    ScheduleAnew();
    if (FArchiveRecordSize != 0)
        file.SetRecordSize(FArchiveRecordSize);
    if (OnMovedAside)
        OnMovedAside(moved);
    return TTake::Changed;
}

TFilesArch::TTake TArchiveQDR::Replaced(TFileArch& file)
{
    const uint16_t month = file.Month();
    const TMonthEntry* e = EntryOf(month);
    const auto vouched = Vouched.find(month);
    const bool held = file.Held() != 0;
    const bool fell = held && e && e->Lost <= e->Count && e->Count < file.ArchCount();
    const bool other = held && vouched != Vouched.end() && vouched->second != FIdentity;
    if (!fell && !other) {
        FellAt.erase(month);
        if (!FIdentity.isEmpty()) {
            // A handful of months at most: the table's two and the ones before.
            if (Vouched.size() >= 2u * Entries && vouched == Vouched.end())
                Vouched.erase(Vouched.begin());
            Vouched[month] = FIdentity;
        }
        return TTake::Kept;
    }
    if (!other) {
        // Who counts fewer records now is asked before the month is judged:
        // the same regulator again (its numbering restarted) or another.
        const auto fall = FellAt.find(month);
        if (fall == FellAt.end()) {
            FellAt[month] = TFall{Identifications, FIdentity};
            if (OnIdentityWanted)
                OnIdentityWanted();
            return TTake::Blocked;
        }
        if (fall->second.At == Identifications)
            return TTake::Blocked;
    }
    const auto fall = FellAt.find(month);
    TMovedAside moved;
    moved.Month = month;
    moved.OldSize = moved.NewSize = file.RecordSize();
    moved.Records = file.Count();
    moved.Reason = QString::fromLatin1(ReplacedReason);
    moved.Was = vouched != Vouched.end() ? vouched->second : fall != FellAt.end() ? fall->second.Identity : QString();
    moved.Now = FIdentity;
    moved.Reported = e ? e->Count : 0;
    const TTake take = MoveAsideMonth(file, moved);
    if (take == TTake::Changed) {
        FellAt.erase(month);
        if (!FIdentity.isEmpty())
            Vouched[month] = FIdentity;
    }
    return take;
}

TFilesArch::TTake TArchiveQDR::Taken(TFileArch& file, bool adding)
{
    if (const TTake take = Replaced(file); take != TTake::Kept)
        return take;
    const uint16_t old = file.RecordSize();
    if (!adding || FArchiveRecordSize == 0 || old == FArchiveRecordSize || old == 0)
        return TTake::Kept;
    if (file.Held() == 0) {
        file.SetRecordSize(FArchiveRecordSize);
        return TTake::Kept;
    }
    TMovedAside moved;
    moved.Month = file.Month();
    moved.OldSize = old;
    moved.NewSize = FArchiveRecordSize;
    moved.Records = file.Count();
    return MoveAsideMonth(file, moved);
}

bool TArchiveQDR::Poll()
{
    const uint16_t count = RequestCount;
    const uint16_t month = RequestMonth;
    RequestCount = NextRequest(RequestMonth, RequestStart);
    return RequestCount != count || RequestMonth != month;
}

QString TArchiveQDR::DownloadStatusText() const
{
    if (RequestCount == 0)
        return QString();
    return RemainingText(RequestMonth, RequestCount);
}
