#include "files/FileMem.h"

#include "core/TextFunctions.h"

#include "core/SafeFile.h"

#include <QByteArray>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------- TFileMem

TFileMem::TFileMem(uint16_t recordSize, uint16_t capacity)
    : FDefaultRecordSize(recordSize)
    , Records(recordSize, capacity)
{
    if (recordSize != 0)
        Blank = std::make_unique<uint8_t[]>(recordSize);
}

TFileMem::~TFileMem() { Save(); }

void TFileMem::WriteHeader(uint8_t* buffer) const
{
    PutWord(buffer, FormatSize());
    PutWord(buffer + 2, RecordSize());
}

void TFileMem::ReadHeader(const uint8_t* buffer) { SetRecordSize(GetWord(buffer + 2)); }

void TFileMem::ResetHeader()
{
    SetRecordSize(FDefaultRecordSize);
    FOrigin = 0;
}

bool TFileMem::CheckHeader(const uint8_t* buffer) const
{
    const uint16_t n = HeaderSize();
    if (n > MaxHeaderSize)
        return false;
    uint8_t scratch[MaxHeaderSize] = {};
    WriteHeader(scratch);
    return std::memcmp(scratch, buffer, n) == 0;
}

void TFileMem::Clear()
{
    FFileName.clear();
    Records.Clear();
    FModified = false;
    ResetHeader();
}

void TFileMem::SetRecordSize(uint16_t size)
{
    if (size == RecordSize() && (size == 0) == !Blank)
        return;
    Blank.reset();
    if (size != 0)
        Blank = std::make_unique<uint8_t[]>(size);
    Records.SetRecordSize(size);
}

QString TFileMem::ShortName() const { return QFileInfo(FFileName).fileName(); }

bool TFileMem::Load(const QString& name)
{
    Clear();
    FLoad = TLoad::NoName;
    FLoadProblem.clear();
    if (name.isEmpty())
        return false;
    FFileName = NormalizeFileName(name);

    const uint16_t headerSize = HeaderSize();
    if (headerSize > MaxHeaderSize)
        return false;
    // Never more than a header and a full store of the largest records; the
    // reader asks for no more than the file holds.
    const qint64 limit = headerSize + qint64(Records.Capacity()) * 0xFFFF + 1;
    QByteArray image;
    qint64 fileSize = 0;
    QString error;
    switch (ReadRegularFile(FFileName, limit, image, fileSize, error)) {
    case TFileRead::Missing:
        FLoad = TLoad::Missing;
        return false;
    case TFileRead::NotRegular:
        FLoad = TLoad::Refused;
        FLoadProblem = error;
        return false;
    case TFileRead::Failed:
        FLoad = TLoad::Rejected;
        FLoadProblem = error;
        return false;
    case TFileRead::Read:
        break;
    }
    if (fileSize == 0) {
        FLoad = TLoad::Missing; // nothing in it to keep
        return false;
    }
    bool accepted = false;
    if (image.size() >= headerSize) {
        const auto* header = reinterpret_cast<const uint8_t*>(image.constData());
        ReadHeader(header);
        accepted = CheckHeader(header) && RecordSize() != 0;
    }
    if (!accepted) {
        ResetHeader();
        FLoad = TLoad::Rejected;
        FLoadProblem = QStringLiteral("%1 has no valid header of this kind of file").arg(FFileName);
        return false;
    }
    FLoad = TakeRecords(image, fileSize) ? TLoad::Whole : TLoad::Rejected;
    FModified = false;
    return true;
}

bool TFileMem::TakeRecords(const QByteArray& image, qint64 fileSize)
{
    // No more than the store can take, and never so many that Count would
    // run past the 16-bit positions.
    const uint16_t size = RecordSize();
    const uint32_t room = std::min<uint32_t>(Records.Capacity(), 0xFFFFu - FOrigin);
    const qint64 body = fileSize - HeaderSize();
    const qint64 whole = body / size;
    const char* p = image.constData() + HeaderSize();
    const qint64 inImage = (image.size() - HeaderSize()) / size;
    for (qint64 i = 0; i < std::min<qint64>(std::min<qint64>(whole, inImage), room); ++i, p += size) {
        uint8_t* record = Records.Append();
        if (!record)
            break;
        std::memcpy(record, p, size);
    }
    if (whole > Held())
        FLoadProblem = QStringLiteral("%1 holds %2 records from position %3; only %4 fit")
                           .arg(FFileName).arg(whole).arg(FOrigin).arg(Held());
    else if (body % size != 0)
        FLoadProblem = QStringLiteral("%1 ends in a partial record").arg(FFileName);
    return FLoadProblem.isEmpty();
}

bool TFileMem::Save()
{
    if (!FModified)
        return true;
    FModified = false;
    if (FFileName.isEmpty())
        return false;
    return WriteAll();
}

std::unique_ptr<TFileMem> TFileMem::NewEmpty() const { return std::make_unique<TFileMem>(FDefaultRecordSize, Capacity()); }

bool TFileMem::Holds(uint16_t position) const
{
    return position >= FOrigin && position < Count() && Records.Get(static_cast<uint16_t>(position - FOrigin)) != nullptr;
}

bool TFileMem::TakeInSaved()
{
    if (FLoad == TLoad::Rejected || FLoad == TLoad::Refused)
        return true;
    std::unique_ptr<TFileMem> saved = NewEmpty();
    saved->Load(FFileName);
    if (saved->LoadResult() != TLoad::Whole || saved->Held() == 0)
        return true;
    if (RecordSize() == 0)
        SetRecordSize(saved->RecordSize());
    const uint16_t size = RecordSize();
    if (saved->RecordSize() != size) {
        // Records of another layout: not this image's to replace.
        QString error;
        (void)MoveAside(FFileName, QString::fromLatin1(SizeSuffix), error);
        FSaveProblem = error;
        return error.isEmpty();
    }
    bool adds = false;
    for (uint32_t p = saved->Origin(); p < saved->Count() && !adds; ++p)
        adds = !Holds(static_cast<uint16_t>(p));
    if (!adds)
        return true;
    // Rebuilt over the union of both: this image's records where it holds
    // one, the saved file's elsewhere.
    const uint16_t origin = Held() == 0 ? saved->Origin() : std::min(FOrigin, saved->Origin());
    const uint16_t count = std::max(Count(), saved->Count());
    const uint16_t span = static_cast<uint16_t>(std::min<uint32_t>(count - origin, Capacity()));
    QByteArray merged(qsizetype(span) * size, '\0');
    std::vector<bool> present(span, false);
    for (uint16_t i = 0; i < span; ++i) {
        const auto p = static_cast<uint16_t>(origin + i);
        const uint8_t* record = Holds(p) ? Records.Get(static_cast<uint16_t>(p - FOrigin))
                                         : (p >= saved->Origin() && p < saved->Count() ? saved->Get(size, p) : nullptr);
        if (record) {
            std::memcpy(merged.data() + qsizetype(i) * size, record, size);
            present[i] = true;
        }
    }
    Records.Clear();
    FOrigin = origin;
    for (uint16_t i = 0; i < span; ++i)
        if (present[i])
            if (uint8_t* record = Records.Alloc(i))
                std::memcpy(record, merged.constData() + qsizetype(i) * size, size);
    return true;
}

bool TFileMem::WriteAll()
{
    FSaveProblem.clear();
    const uint16_t headerSize = HeaderSize();
    if (headerSize > MaxHeaderSize)
        return false;
    if (!TakeInSaved())
        return false;
    const uint16_t size = RecordSize();
    QByteArray image(static_cast<qsizetype>(headerSize) + static_cast<qsizetype>(Held()) * size, '\0');
    auto* out = reinterpret_cast<uint8_t*>(image.data());
    WriteHeader(out);
    out += headerSize;
    for (uint16_t i = 0; i < Held(); ++i, out += size) {
        // Positions without a record stay zero, which is what Blank holds.
        if (const uint8_t* record = Records.Get(i))
            std::memcpy(out, record, size);
    }

    if (FLoad == TLoad::Rejected) {
        // What could not be read may be a month the regulator no longer
        // holds: it is kept under a name of its own before anything replaces it.
        QString error;
        FMovedAside = MoveAside(FFileName, QString::fromLatin1(AsideSuffix), error);
        if (!error.isEmpty()) {
            FSaveProblem = error;
            FSaveError = TFileError::Said(FFileName, error);
            return false;
        }
    }
    FSaveError = ReplaceFileWith(FFileName, image);
    FSaveProblem = FSaveError.Failed() ? FSaveError.Text() : QString();
    if (FSaveError.Failed())
        return false;
    FLoad = TLoad::Whole;
    FLoadProblem.clear();
    return true;
}

bool TFileMem::Put(const uint8_t* data, uint16_t size, uint16_t position)
{
    if (size == 0 || FFileName.isEmpty() || !data)
        return false;
    if (RecordSize() == 0)
        SetRecordSize(size);
    if (size != RecordSize())
        return false;
    if (Held() == 0 && !FixedOrigin())
        FOrigin = position;
    // The last 16-bit position stays free so that Count still fits.
    if (position < FOrigin || position == 0xFFFF)
        return false;
    uint8_t* record = Records.Alloc(static_cast<uint16_t>(position - FOrigin));
    if (!record)
        return false;
    std::memcpy(record, data, size);
    FModified = true;
    return true;
}

const uint8_t* TFileMem::Get(uint16_t size, uint16_t position) const
{
    if (size == 0 || size != RecordSize() || position >= Count())
        return nullptr;
    if (position < FOrigin)
        return Blank.get();
    const uint8_t* record = Records.Get(static_cast<uint16_t>(position - FOrigin));
    return record ? record : Blank.get();
}

// ------------------------------------------------------------- TFileMemOrg

std::unique_ptr<TFileMem> TFileMemOrg::NewEmpty() const
{
    return std::make_unique<TFileMemOrg>(DefaultRecordSize(), Capacity());
}

TFileMemOrg::~TFileMemOrg() { Save(); }

void TFileMemOrg::WriteHeader(uint8_t* buffer) const
{
    TFileMem::WriteHeader(buffer);
    PutWord(buffer + 4, FOrigin);
}

void TFileMemOrg::ReadHeader(const uint8_t* buffer)
{
    TFileMem::ReadHeader(buffer);
    FOrigin = GetWord(buffer + 4);
}

void TFileMemOrg::ResetHeader() { TFileMem::ResetHeader(); }

const uint8_t* TFileMemOrg::RecordAt(uint16_t i) const
{
    const uint32_t position = static_cast<uint32_t>(FOrigin) + i;
    if (position > 0xFFFF)
        return nullptr;
    return Get(ReadRecordSize(), static_cast<uint16_t>(position));
}

// -------------------------------------------------------------- TFileMonth

std::unique_ptr<TFileMem> TFileMonth::NewEmpty() const
{
    return std::make_unique<TFileMonth>(DefaultRecordSize(), Capacity());
}

TFileMonth::~TFileMonth() { Save(); }

void TFileMonth::WriteHeader(uint8_t* buffer) const
{
    TFileMemOrg::WriteHeader(buffer);
    PutWord(buffer + 6, FMonth);
}

void TFileMonth::ReadHeader(const uint8_t* buffer)
{
    TFileMemOrg::ReadHeader(buffer);
    const uint16_t m = GetWord(buffer + 6);
    if (MonthAgrees(m))
        FMonth = m;
}

void TFileMonth::ResetHeader()
{
    TFileMemOrg::ResetHeader();
    FMonth = 0;
}

bool TFileMonth::MonthAgrees(uint16_t month) const
{
    // A month of year 0 names no file, so no file name can agree with it; only
    // the month number 0 itself passes (the month is then taken from the name).
    if (month != 0 && month / 12u == 0)
        return false;
    const QString prefix = MonthFileName(month, QString());
    return ShortName().startsWith(prefix, Qt::CaseInsensitive);
}

bool TFileMonth::LoadMonth(const QString& name, uint16_t month)
{
    const bool accepted = Load(name);
    if (HasFile() && FMonth == 0)
        FMonth = month;
    return accepted;
}

void TFileMonth::SetMonth(uint16_t month)
{
    if (month == FMonth)
        return;
    FMonth = month;
    SetModified();
}

// --------------------------------------------------------------- TFileArch

std::unique_ptr<TFileMem> TFileArch::NewEmpty() const
{
    return std::make_unique<TFileArch>(DefaultRecordSize(), Capacity());
}

TFileArch::~TFileArch() { Save(); }

void TFileArch::WriteHeader(uint8_t* buffer) const
{
    TFileMonth::WriteHeader(buffer);
    PutWord(buffer + 8, FShift);
}

void TFileArch::ReadHeader(const uint8_t* buffer)
{
    TFileMonth::ReadHeader(buffer);
    FShift = GetWord(buffer + 8);
}

void TFileArch::ResetHeader()
{
    TFileMonth::ResetHeader();
    FShift = 0;
}

void TFileArch::AdjustShift(uint16_t count, uint16_t lost)
{
    if (count < ArchCount() && lost <= count) {
        // Count rather than Held: with an Origin above 0, Held - lost would
        // put the restarted numbering below Count, where nothing is stored.
        FShift = static_cast<uint16_t>(Count() - lost);
        SetModified();
    }
}
