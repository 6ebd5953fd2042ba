#pragma once
// Reading and replacing the files the client keeps (monthly files, text
// output, workbooks, the log) so that a name in a folder other people can
// write to cannot be turned against the site: a link is never followed, a
// FIFO or device is never opened for writing or waited on, and a file is
// only ever replaced whole, by renaming a finished file over it.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Why a file could not be read or written, kept apart from its wording: the
// tool and the logs say it in English (Text), the window in Slovak
// (SlovakFileError), both from the same facts.
struct TFileError {
    enum class TStep : uint8_t { None, Read, Write, Replace, Rename };
    // A name refused before anything was opened: what is there instead of a
    // regular file, or the very file the output is made from.
    enum class TRefusal : uint8_t { None, Link, Fifo, CharDevice, BlockDevice, Socket, Folder, NotPlain, Source };

    TStep Step = TStep::None;
    QString Path;
    int Errno = 0;
    TRefusal Refusal = TRefusal::None;
    // Words of a library or of the writer where neither errno nor a refusal
    // says it; with Whole they are the English text entire.
    QString Detail;
    bool Whole = false;
    QString Target; // the new name of a rename

    bool Failed() const { return Step != TStep::None; }
    // The English text ("cannot write /x/2026DEC.TXT: No such file or directory").
    QString Text() const;

    static TFileError System(TStep step, const QString& path, int error);
    static TFileError Refused(const QString& path, TRefusal refusal);
    static TFileError Other(TStep step, const QString& path, const QString& detail);
    // A writer's own English text, kept as it is.
    static TFileError Said(const QString& path, const QString& text);
};

// The window's sentence for a failed file operation: what could not be done
// to which file (its full path) and why, in Slovak for the usual reasons
// (missing folder, no right, full disk, read-only file system, a folder, link,
// FIFO or device in the file's place); the system's own words for the rare
// rest. Empty when error did not fail.
QString SlovakFileError(const TFileError& error);
// Only the reason of that sentence ("priečinok /x neexistuje").
QString SlovakFileReason(const TFileError& error);

enum class TFileRead {
    Read,       // a regular file, read (up to the limit asked for)
    Missing,    // no such file
    NotRegular, // a link, FIFO, device, socket or folder: not opened
    Failed,     // a regular file that could not be opened or read
};

// Empty when the name is free or a regular file; otherwise why it must not be
// used, naming it ("2026nov.qdr is a symbolic link, not a regular file").
QString NotRegularProblem(const QString& path);
// The same as a refusal (Failed() false when the name may be used).
TFileError NotRegularRefusal(const QString& path);

// Reads at most limit bytes of a regular file without following a link and
// without waiting on a FIFO. size receives the file's whole size; error the
// reason when the result is not Read or Missing.
TFileRead ReadRegularFile(const QString& path, qint64 limit, QByteArray& data, qint64& size, QString& error);

// Replaces path (or creates it) with what write puts into the scratch file it
// is given; empty on success, else why nothing was replaced. The scratch file
// lies in a folder of its own made beside path (named with this process's
// number), so nobody else can swap it for a link while it is written; once
// write returned empty it is flushed to the disk, given the owner, group and
// permissions of the file it replaces (never set-ID bits or write access for
// everybody; owner and group where the process may change them) and renamed
// over path. path is refused when it exists and is not a regular file.
// Scratch folders beside path left by a run that died are removed first.
QString ReplaceFile(const QString& path, const std::function<QString(const QString& scratch)>& write);
// The same for bytes already in memory.
QString ReplaceFile(const QString& path, const QByteArray& bytes);
// The same, saying why in parts rather than in words.
TFileError ReplaceFileWith(const QString& path, const std::function<TFileError(const QString& scratch)>& write);
TFileError ReplaceFileWith(const QString& path, const QByteArray& bytes);

// Moves path aside under path + suffix, or path + suffix + ".1", ".2", ...
// when that is taken; an earlier file of such a name is never replaced.
// The new name; empty with error set when it could not be moved, and empty
// with no error when path does not exist.
QString MoveAside(const QString& path, const QString& suffix, QString& error);

// Whether two names are the same file on the disk (links and other names of
// one file included); false when either does not exist.
bool SameFile(const QString& a, const QString& b);
