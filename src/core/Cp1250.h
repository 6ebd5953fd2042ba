#pragma once
// Windows-1250, the single-byte code page of every text the client reads or
// writes (configuration, text output, log).
#include <QByteArray>
#include <QString>

// Characters the code page lacks become "?".
QByteArray ToCp1250(const QString& text);
QString FromCp1250(const QByteArray& bytes);
