#pragma once
// A small cache of open record files of one kind (one extension, one record
// size for new files, one capacity, one file class). Users share the open
// objects through reference counts, so that everyone working on a file works
// on its one in-memory image.
//
// Names are resolved against the set's folder (empty: the current directory)
// and compared as absolute paths exactly as they are, letter case included.
#include "core/CountObjects.h"
#include "files/FileMem.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// What a set tells its users about one of its files.
struct TFileNotice {
    enum TKind : uint8_t {
        Rejected,   // could not be read or taken whole (Detail: why); kept
        Refused,    // not a regular file (Detail: what it is); never written
        MovedAside, // a rejected file was kept under the name in Detail
        SaveFailed, // Detail: why
    };
    TKind Kind = Rejected;
    QString FileName; // the full name
    QString Detail;
    TFileError Error; // SaveFailed: Detail in parts
};

class TFilesMem : public TCountObjects<TFileMem> {
public:
    TFilesMem(const QString& extension, uint16_t slotCount, uint16_t capacity, uint16_t recordSize,
              const QString& folder = QString());
    // Saves every file still open, then frees them.
    ~TFilesMem() override;

    virtual void SetRecordSize(uint16_t size) { FRecordSize = size; }

    // A shared reference to the named file, created and loaded when it is not
    // open; nullptr for an empty name or when every slot is in use.
    TFileMem* Open(const QString& name);
    // Keeps ref when it already is the named file, otherwise releases it and
    // opens the name into it. True when ref is set afterwards.
    bool Reopen(const QString& name, TFileMem*& ref);
    // Gives ref back and clears it; the last user's release saves the file
    // and frees it, another's writes nothing.
    void Release(TFileMem*& ref);
    // Lowers the named file's count; the last user saves and frees it.
    void Close(const QString& name);

    // The absolute name a file name stands for in this set.
    QString FullName(const QString& name) const;
    // The open object of that name without taking a reference, or nullptr.
    TFileMem* Find(const QString& name) const;

    const QString& Extension() const { return FExtension; }
    uint16_t RecordSize() const { return FRecordSize; }
    uint16_t Capacity() const { return FCapacity; }
    const QString& Folder() const { return FFolder; }
    // Saves that failed since the set was made (a full disk, a folder that
    // cannot be written); the files themselves stay silent about it.
    uint32_t SaveErrors() const { return FSaveErrors; }
    // Saves every open file now; false when any write failed.
    bool SaveAll();

    // Hands an open file, with its records in memory, from one set to
    // another (a month whose save failed outlives the engine that fetched
    // it). TakeOut removes the named file from this set whoever uses it;
    // nullptr when it is not open. Adopt puts it in with one reference,
    // held by the caller; nullptr (the file is saved and freed) when a file
    // of that name is open already or no slot is free.
    std::unique_ptr<TFileMem> TakeOut(const QString& name);
    TFileMem* Adopt(std::unique_ptr<TFileMem> file);

    // Told at once when a file opened is rejected or refused, when a
    // rejected file is moved aside and when a save fails.
    std::function<void(const TFileNotice&)> OnNotice;

protected:
    // The file class: an empty object of it, loaded by the caller.
    virtual std::unique_ptr<TFileMem> NewFile() const;
    // Finds fullName among the open files; with a reference taken, or nullptr
    // when it is not open or already held by as many users as a slot counts.
    TFileMem* Acquire(const QString& fullName, bool& found);
    // Puts a loaded object into the first free slot, telling what its load
    // found wrong; nullptr when no slot is free.
    TFileMem* Insert(std::unique_ptr<TFileMem> file);
    void Notify(TFileNotice::TKind kind, const QString& fileName, const QString& detail,
                const TFileError& error = TFileError()) const;
    bool SaveFile(TFileMem* file);
    int SlotOf(const TFileMem* file) const;

private:
    QString FExtension;
    uint16_t FRecordSize;
    uint16_t FCapacity;
    QString FFolder;
    uint32_t FSaveErrors = 0;
};

// Adds opening by month number: the name is the month's text with the
// extension, in lower case (2005nov.qdr).
class TFilesMonth : public TFilesMem {
public:
    using TFilesMem::TFilesMem;

    QString MonthFileName(uint16_t month) const;
    TFileMem* OpenMonth(uint16_t month);
    bool ReopenMonth(uint16_t month, TFileMem*& ref);

protected:
    std::unique_ptr<TFileMem> NewFile() const override;
};
