#include "files/FilesMem.h"

#include "core/TextFunctions.h"

#include <QDir>

// ---------------------------------------------------------------- TFilesMem

TFilesMem::TFilesMem(const QString& extension, uint16_t slotCount, uint16_t capacity, uint16_t recordSize,
                     const QString& folder)
    : TCountObjects<TFileMem>(slotCount)
    , FExtension(extension)
    , FRecordSize(recordSize)
    , FCapacity(capacity)
    , FFolder(folder)
{
}

TFilesMem::~TFilesMem() { SaveAll(); }

std::unique_ptr<TFileMem> TFilesMem::NewFile() const { return std::make_unique<TFileMem>(FRecordSize, FCapacity); }

QString TFilesMem::FullName(const QString& name) const
{
    if (name.isEmpty())
        return QString();
    if (FFolder.isEmpty())
        return NormalizeFileName(name);
    return NormalizeFileName(QDir(FFolder).absoluteFilePath(name));
}

int TFilesMem::SlotOf(const TFileMem* file) const
{
    if (!file)
        return -1;
    for (uint16_t i = 0; i < Slots(); ++i)
        if (Object(i) == file)
            return i;
    return -1;
}

TFileMem* TFilesMem::Find(const QString& name) const
{
    const QString full = FullName(name);
    if (full.isEmpty())
        return nullptr;
    for (uint16_t i = 0; i < Slots(); ++i)
        if (TFileMem* file = Object(i); file && file->FileName() == full)
            return file;
    return nullptr;
}

TFileMem* TFilesMem::Acquire(const QString& fullName, bool& found)
{
    found = false;
    for (uint16_t i = 0; i < Slots(); ++i) {
        TFileMem* file = Object(i);
        if (file && file->FileName() == fullName) {
            found = true;
            // A slot whose count is exhausted gives nothing rather than a
            // second image of the same file.
            return AddRef(i) ? file : nullptr;
        }
    }
    return nullptr;
}

TFileMem* TFilesMem::Insert(std::unique_ptr<TFileMem> file)
{
    if (!file || !file->HasFile())
        return nullptr;
    uint16_t i = 0;
    if (!FindFree(i))
        return nullptr;
    TFileMem* raw = file.get();
    if (!Put(i, std::move(file)))
        return nullptr;
    if (raw->LoadResult() == TFileMem::TLoad::Rejected)
        Notify(TFileNotice::Rejected, raw->FileName(), raw->LoadProblem());
    else if (raw->LoadResult() == TFileMem::TLoad::Refused)
        Notify(TFileNotice::Refused, raw->FileName(), raw->LoadProblem());
    return raw;
}

void TFilesMem::Notify(TFileNotice::TKind kind, const QString& fileName, const QString& detail,
                       const TFileError& error) const
{
    if (OnNotice)
        OnNotice(TFileNotice{kind, fileName, detail, error});
}

TFileMem* TFilesMem::Open(const QString& name)
{
    const QString full = FullName(name);
    if (full.isEmpty())
        return nullptr;
    bool found = false;
    if (TFileMem* file = Acquire(full, found); found)
        return file;
    uint16_t free = 0;
    if (!FindFree(free))
        return nullptr; // the set is full: nothing is read
    std::unique_ptr<TFileMem> file = NewFile();
    file->Load(full);
    return Insert(std::move(file));
}

bool TFilesMem::Reopen(const QString& name, TFileMem*& ref)
{
    if (ref && ref->FileName() == FullName(name))
        return true;
    Release(ref);
    ref = Open(name);
    return ref != nullptr;
}

bool TFilesMem::SaveFile(TFileMem* file)
{
    if (!file)
        return true;
    const bool saved = file->Save();
    if (const QString aside = file->TakeMovedAside(); !aside.isEmpty())
        Notify(TFileNotice::MovedAside, file->FileName(), aside);
    if (saved)
        return true;
    ++FSaveErrors;
    Notify(TFileNotice::SaveFailed, file->FileName(), file->SaveProblem(), file->SaveError());
    return false;
}

void TFilesMem::Release(TFileMem*& ref)
{
    const int slot = SlotOf(ref);
    ref = nullptr;
    if (slot < 0)
        return;
    const auto i = static_cast<uint16_t>(slot);
    // Only the last user's release writes: a reader letting go of a month
    // another user is filling would otherwise rewrite it at every look (the
    // live outputs look every second), and the filling user saves on its
    // own schedule.
    if (RefCount(i) == 1)
        SaveFile(Object(i));
    TCountObjects<TFileMem>::Release(i);
}

void TFilesMem::Close(const QString& name)
{
    TFileMem* file = Find(name);
    Release(file);
}

bool TFilesMem::SaveAll()
{
    bool ok = true;
    for (uint16_t i = 0; i < Slots(); ++i)
        ok = SaveFile(Object(i)) && ok;
    return ok;
}

std::unique_ptr<TFileMem> TFilesMem::TakeOut(const QString& name)
{
    const int slot = SlotOf(Find(name));
    return slot < 0 ? nullptr : Take(static_cast<uint16_t>(slot));
}

TFileMem* TFilesMem::Adopt(std::unique_ptr<TFileMem> file)
{
    if (!file || Find(file->FileName()))
        return nullptr;
    uint16_t i = 0;
    if (!FindFree(i))
        return nullptr;
    TFileMem* raw = file.get();
    return Put(i, std::move(file)) ? raw : nullptr;
}

// -------------------------------------------------------------- TFilesMonth

std::unique_ptr<TFileMem> TFilesMonth::NewFile() const
{
    return std::make_unique<TFileMonth>(RecordSize(), Capacity());
}

QString TFilesMonth::MonthFileName(uint16_t month) const { return ::MonthFileName(month, Extension()); }

TFileMem* TFilesMonth::OpenMonth(uint16_t month)
{
    const QString full = FullName(MonthFileName(month));
    if (full.isEmpty())
        return nullptr;
    bool found = false;
    if (TFileMem* file = Acquire(full, found); found) {
        // Opened by name before, from a file whose header named no month:
        // it is this month's file all the same.
        if (auto* monthFile = dynamic_cast<TFileMonth*>(file); monthFile && monthFile->Month() == 0)
            monthFile->SetMonth(month);
        return file;
    }
    uint16_t free = 0;
    if (!FindFree(free))
        return nullptr;
    std::unique_ptr<TFileMem> file = NewFile();
    auto* monthFile = dynamic_cast<TFileMonth*>(file.get());
    if (!monthFile)
        return nullptr;
    monthFile->LoadMonth(full, month);
    return Insert(std::move(file));
}

bool TFilesMonth::ReopenMonth(uint16_t month, TFileMem*& ref)
{
    const QString full = FullName(MonthFileName(month));
    if (ref && !full.isEmpty() && ref->FileName() == full)
        return true;
    Release(ref);
    ref = OpenMonth(month);
    return ref != nullptr;
}
