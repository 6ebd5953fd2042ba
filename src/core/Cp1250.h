#pragma once
// Windows-1250, the single-byte code page of every text the client reads or
// writes (configuration, text output, log).
#include <QByteArray>
#include <QString>
#include <QStringList>

// Characters the code page lacks become "?".
QByteArray ToCp1250(const QString& text);
QString FromCp1250(const QByteArray& bytes);

// Writes lines in Windows-1250, each ended by CR LF, through a file beside it
// renamed over it (ReplaceFile), so a failed write leaves any earlier file as
// it was and a link or FIFO of that name is refused; the reason of a failure
// in error when given.
bool SaveTextLines(const QStringList& lines, const QString& fileName, QString* error = nullptr);
// The same with the reason in parts (see SlovakFileError).
struct TFileError;
bool SaveTextLines(const QStringList& lines, const QString& fileName, TFileError& error);
