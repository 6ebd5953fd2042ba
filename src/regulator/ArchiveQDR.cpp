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
    return month != 0 && month == BlockedMonth && GetTick() - BlockedAt < BlockedRetryMs;
}

TFilesArch::TTake TArchiveQDR::Taken(TFileArch& file)
{
    const uint16_t old = file.RecordSize();
    if (FArchiveRecordSize == 0 || old == FArchiveRecordSize || old == 0)
        return TTake::Kept;
    const uint16_t month = file.Month();
    if (file.Held() == 0) {
        file.SetRecordSize(FArchiveRecordSize);
        return TTake::Kept;
    }
    TMovedAside moved{month, old, FArchiveRecordSize, file.Count(), {}, {}};
    // What is in memory goes to disk first, so the file moved aside is whole.
    if (file.Modified() && !SaveFile(&file))
        moved.Why = QStringLiteral("cannot save");
    else {
        moved.Aside = MoveAside(file.FileName(), QLatin1Char('.') + QLatin1String(SizeReason), moved.Why);
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
    file.SetRecordSize(FArchiveRecordSize);
    if (OnMovedAside)
        OnMovedAside(moved);
    return TTake::Changed;
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
