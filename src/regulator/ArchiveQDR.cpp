#include "regulator/ArchiveQDR.h"

#include "core/LittleEndian.h"
#include "core/TextFunctions.h"

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
    // An empty record (interval time 0) is filed as the zero record, the form
    // the file gives the positions it skips, whatever the regulator left in
    // its channels.
    static const uint8_t Empty[256] = {};
    if (size <= sizeof Empty && GetWord(data) == 0)
        data = Empty;
    const bool stored = TFilesArch::StoreRecord(month, index, size, data);
    if (auto* file = dynamic_cast<TFileArchQDR*>(FCurrent); file && index != 0) {
        const auto* monthFile = static_cast<const TFileMonth*>(file);
        if (monthFile->Month() == month)
            file->SetKindMask(KindMask);
    }
    return stored;
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
    QString count = QString::number(RequestCount);
    PadLeft(count, 10);
    return MonthText(RequestMonth) + QLatin1Char(':') + count;
}
