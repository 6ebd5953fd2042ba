#pragma once
// A file of fixed-size records kept whole in memory: read when loaded, stored
// and read by position, written in one go when saved or destroyed. Each class
// of the family adds one 16-bit word to the file header:
//   TFileMem      4 bytes  header size, record size
//   TFileMemOrg   6 bytes  + Origin (position of the first record held)
//   TFileMonth    8 bytes  + Month (checked against the file name)
//   TFileArch    10 bytes  + Shift (file position minus regulator index)
// The header-size word doubles as the format mark: a header is valid when the
// one generated from the values read equals the bytes in the file.
//
// Objects are made empty and filled by Load; since virtual calls do not reach
// a derived class from a constructor, construction never loads. A class that
// changes the header saves from its own destructor, where its header
// operations are still the ones in effect.
#include "core/Mem.h"
#include "core/SafeFile.h"

#include "core/LittleEndian.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <utility>


class TFileMem {
public:
    // The largest header any class of the family writes.
    static constexpr uint16_t MaxHeaderSize = 32;
    // What a rejected file is kept as: "2026nov.qdr.unreadable" (".1", ".2"
    // after it when that name is taken).
    static constexpr const char* AsideSuffix = ".unreadable";
    // What a file of records of another size is kept as when it must make
    // way: "2026nov.qdr.recordsize".
    static constexpr const char* SizeSuffix = ".recordsize";

    // How the last Load found the file.
    enum class TLoad : uint8_t {
        NoName,   // no file name
        Missing,  // no file (or an empty one): created at the first save
        Whole,    // header valid, every record taken
        // A regular file that could not be read, whose header failed the
        // check or whose records could not all be taken. It is kept: the
        // first save moves it aside before writing the month afresh.
        Rejected,
        // Not a regular file (a link, FIFO, device, folder): never read,
        // and never written through.
        Refused,
    };

    TFileMem(uint16_t recordSize, uint16_t capacity);
    virtual ~TFileMem();
    TFileMem(const TFileMem&) = delete;
    TFileMem& operator=(const TFileMem&) = delete;

    // Header operations, overridden level by level.
    virtual bool FixedOrigin() const { return true; }
    virtual uint16_t FormatSize() const { return 4; }
    virtual uint16_t HeaderSize() const { return FormatSize(); }
    virtual void WriteHeader(uint8_t* buffer) const;
    virtual void ReadHeader(const uint8_t* buffer);
    virtual void ResetHeader();
    virtual bool CheckHeader(const uint8_t* buffer) const;
    // Mirrors the named file; true when its header was accepted. The name is
    // kept even when the file cannot be read, so a later Save creates it.
    virtual bool Load(const QString& name);
    // Writes the file when something changed. The new contents go to a
    // temporary file beside it, flushed to disk and then renamed over the old
    // one (ReplaceFile), so a failed or interrupted save leaves the old file
    // whole; a rejected file is first moved aside, a refused one is never
    // replaced. What the file on the disk holds now is taken in first (see
    // TakeInSaved), so a save never replaces more records with fewer. False
    // when the write failed (SaveProblem says why); Modified is cleared
    // either way.
    virtual bool Save();
    // An empty object of this file's own class, made as this one was (a
    // second image of the file, for reading what the disk holds).
    virtual std::unique_ptr<TFileMem> NewEmpty() const;

    TLoad LoadResult() const { return FLoad; }
    // Why the file was rejected or refused; empty otherwise.
    const QString& LoadProblem() const { return FLoadProblem; }
    // Why the last save failed; empty after a good one.
    const QString& SaveProblem() const { return FSaveProblem; }
    // The same in parts, for a window that says it in its own language.
    const TFileError& SaveError() const { return FSaveError; }
    // Where the last save moved a rejected file; taking it clears it.
    QString TakeMovedAside() { return std::exchange(FMovedAside, QString()); }

    void Clear();
    void SetRecordSize(uint16_t size);
    // Stores one record; refuses a wrong size, a position before Origin or
    // past the capacity, and any record while no file name is set.
    bool Put(const uint8_t* data, uint16_t size, uint16_t position);
    // The record at a position: nullptr for a wrong size or a position at or
    // past Count, Blank for a position that holds no record.
    const uint8_t* Get(uint16_t size, uint16_t position) const;

    uint16_t RecordSize() const { return Records.RecordSize(); }
    uint16_t DefaultRecordSize() const { return FDefaultRecordSize; }
    uint16_t Capacity() const { return Records.Capacity(); }
    uint16_t Held() const { return Records.Count(); }
    uint16_t Origin() const { return FOrigin; }
    // Positions in use: Origin + Held.
    uint16_t Count() const { return static_cast<uint16_t>(FOrigin + Records.Count()); }
    const QString& FileName() const { return FFileName; }
    QString ShortName() const;
    bool HasFile() const { return !FFileName.isEmpty(); }
    bool Modified() const { return FModified; }
    void SetModified() { FModified = true; }

protected:
    // The record size read accessors use: the one given at creation, else the
    // current one.
    uint16_t ReadRecordSize() const { return FDefaultRecordSize ? FDefaultRecordSize : RecordSize(); }

    uint16_t FOrigin = 0;

private:
    bool WriteAll(); // the save itself
    // Another writer (a second program in the folder, one that started
    // before this file was loaded) may have saved records this image does not
    // hold: the file on the disk is read again and every position it holds
    // that this image does not is taken in. A file of another record size is
    // kept under SizeSuffix rather than replaced. False (SaveProblem set)
    // when that file cannot be kept.
    bool TakeInSaved();
    // Whether a record is stored at the position (not a gap, not outside).
    bool Holds(uint16_t position) const;
    // Takes the records of a file image whose header was accepted; false
    // when they could not all be taken.
    bool TakeRecords(const QByteArray& image, qint64 fileSize);

    QString FFileName;
    TLoad FLoad = TLoad::NoName;
    QString FLoadProblem;
    QString FSaveProblem;
    TFileError FSaveError;
    QString FMovedAside;
    uint16_t FDefaultRecordSize;
    TMem Records;
    std::unique_ptr<uint8_t[]> Blank;
    bool FModified = false;
};

// Origin follows the first record stored.
class TFileMemOrg : public TFileMem {
public:
    using TFileMem::TFileMem;
    ~TFileMemOrg() override;

    bool FixedOrigin() const override { return false; }
    uint16_t FormatSize() const override { return 6; }
    std::unique_ptr<TFileMem> NewEmpty() const override;
    void WriteHeader(uint8_t* buffer) const override;
    void ReadHeader(const uint8_t* buffer) override;
    void ResetHeader() override;

    // Record i counted from Origin, or nullptr (see Get).
    virtual const uint8_t* RecordAt(uint16_t i) const;
};

// A file of one month, whose header month must agree with the file's name.
class TFileMonth : public TFileMemOrg {
public:
    using TFileMemOrg::TFileMemOrg;
    ~TFileMonth() override;

    uint16_t FormatSize() const override { return 8; }
    std::unique_ptr<TFileMem> NewEmpty() const override;
    void WriteHeader(uint8_t* buffer) const override;
    void ReadHeader(const uint8_t* buffer) override;
    void ResetHeader() override;

    // Load for a file made for a month: a file that does not exist yet or
    // could not be read still gets that month, written at its first save.
    bool LoadMonth(const QString& name, uint16_t month);

    uint16_t Month() const { return FMonth; }
    void SetMonth(uint16_t month);

protected:
    // Whether the file's own name begins with the month's text and a dot.
    // Letter case is not told apart here: a file copied under an upper-case
    // name is still the same month.
    bool MonthAgrees(uint16_t month) const;

    uint16_t FMonth = 0;
};

// A monthly file filled from the regulator's record numbering.
class TFileArch : public TFileMonth {
public:
    using TFileMonth::TFileMonth;
    ~TFileArch() override;

    uint16_t FormatSize() const override { return 10; }
    std::unique_ptr<TFileMem> NewEmpty() const override;
    void WriteHeader(uint8_t* buffer) const override;
    void ReadHeader(const uint8_t* buffer) override;
    void ResetHeader() override;

    // Follows a restart of the regulator's numbering: when it reports fewer
    // records (count) than the file already holds in its numbering, Shift
    // moves so that record lost + 1 lands right after what the file holds.
    void AdjustShift(uint16_t count, uint16_t lost);

    uint16_t Shift() const { return FShift; }
    // Records in the regulator's numbering: Count - Shift.
    uint16_t ArchCount() const { return static_cast<uint16_t>(Count() - FShift); }

protected:
    uint16_t FShift = 0;
};
