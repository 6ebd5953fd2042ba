#pragma once
// Reading and replacing the files the client keeps (monthly files, text
// output, workbooks, the log) so that a name in a folder other people can
// write to cannot be turned against the site: a link is never followed, a
// FIFO or device is never opened for writing or waited on, and a file is
// only ever replaced whole, by renaming a finished file over it.
#include <QByteArray>
#include <QString>

#include <functional>

enum class TFileRead {
    Read,       // a regular file, read (up to the limit asked for)
    Missing,    // no such file
    NotRegular, // a link, FIFO, device, socket or folder: not opened
    Failed,     // a regular file that could not be opened or read
};

// Empty when the name is free or a regular file; otherwise why it must not be
// used, naming it ("2026nov.qdr is a symbolic link, not a regular file").
QString NotRegularProblem(const QString& path);

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

// Moves path aside under path + suffix, or path + suffix + ".1", ".2", ...
// when that is taken; an earlier file of such a name is never replaced.
// The new name; empty with error set when it could not be moved, and empty
// with no error when path does not exist.
QString MoveAside(const QString& path, const QString& suffix, QString& error);

// Whether two names are the same file on the disk (links and other names of
// one file included); false when either does not exist.
bool SameFile(const QString& a, const QString& b);
