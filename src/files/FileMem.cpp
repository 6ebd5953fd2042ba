#include "files/FileMem.h"

#include "core/TextFunctions.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Pushes a written file's data to the disk before it replaces the old one.
bool SyncHandle(int fd)
{
    if (fd < 0)
        return false;
#ifdef Q_OS_WIN
    return _commit(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

// Makes a rename durable: on POSIX systems the new directory entry is only
// safe once the directory itself is synced. Best effort.
void SyncFolder(const QString& folder)
{
#ifndef Q_OS_WIN
    const QByteArray path = QFile::encodeName(folder);
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    (void)folder;
#endif
}

} // namespace

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
    if (name.isEmpty())
        return false;
    FFileName = NormalizeFileName(name);

    const uint16_t headerSize = HeaderSize();
    bool accepted = false;
    QFile file(FFileName);
    if (headerSize <= MaxHeaderSize && file.open(QIODevice::ReadOnly)) {
        uint8_t header[MaxHeaderSize] = {};
        if (file.read(reinterpret_cast<char*>(header), headerSize) == headerSize) {
            ReadHeader(header);
            accepted = CheckHeader(header) && RecordSize() != 0;
            if (!accepted)
                ResetHeader();
        }
        if (accepted) {
            // One read for all records; no more than the store can take, and
            // never so many that Count would run past the 16-bit positions.
            const uint16_t size = RecordSize();
            const uint32_t room = std::min<uint32_t>(Records.Capacity(), 0xFFFFu - FOrigin);
            const QByteArray body = file.read(static_cast<qint64>(room) * size);
            const uint32_t whole = static_cast<uint32_t>(body.size()) / size; // a partial last record is dropped
            const char* p = body.constData();
            for (uint32_t i = 0; i < whole; ++i, p += size) {
                uint8_t* record = Records.Append();
                if (!record)
                    break;
                std::memcpy(record, p, size);
            }
        }
        file.close();
    }
    FModified = false;
    return accepted;
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

bool TFileMem::WriteAll()
{
    const uint16_t headerSize = HeaderSize();
    const uint16_t size = RecordSize();
    if (headerSize > MaxHeaderSize)
        return false;
    QByteArray image(static_cast<qsizetype>(headerSize) + static_cast<qsizetype>(Held()) * size, '\0');
    auto* out = reinterpret_cast<uint8_t*>(image.data());
    WriteHeader(out);
    out += headerSize;
    for (uint16_t i = 0; i < Held(); ++i, out += size) {
        // Positions without a record stay zero, which is what Blank holds.
        if (const uint8_t* record = Records.Get(i))
            std::memcpy(out, record, size);
    }

    QSaveFile file(FFileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(image) != image.size() || !file.flush() || !SyncHandle(file.handle())) {
        file.cancelWriting(); // the temporary file goes with the object
        return false;
    }
    if (!file.commit())
        return false;
    SyncFolder(QFileInfo(FFileName).absolutePath());
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
