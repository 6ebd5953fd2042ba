#pragma once
// Moving a monthly file out of the download's way without losing it: the
// file keeps its bytes under its own name followed by a dot and the reason
// (2026nov.qdr.recordsize), or with a number after that when such a name is
// taken, so an earlier file moved aside is never overwritten.
#include <QString>

// The name the file now has, or empty (with why set) when it could not be
// moved; a file that does not exist is no failure and gives its own name.
QString MoveFileAside(const QString& path, const QString& reason, QString* why = nullptr);
