#pragma once
// A monthly file of November 2026 (or of month) written by hand for tests:
// channels channels, 96 records a day from the 1st, the value of record k in
// channel c given by value (reactive channels by the kinds mask).
#include "core/TextFunctions.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <functional>

inline QString WriteHandMonth(const QString& dir, int channels, int days, uint16_t kinds,
                              const std::function<uint16_t(int k, int c)>& value, uint16_t month = 2026 * 12 + 10)
{
    QByteArray b;
    auto word = [&b](int v) {
        b.append(char(v & 0xFF));
        b.append(char((v >> 8) & 0xFF));
    };
    // Header size, record size, origin, month, shift, kind mask.
    for (int w : {12, 2 + 2 * channels, 0, int(month), 0, int(kinds)})
        word(w);
    for (int k = 0; k < days * 96; ++k) {
        word((1 + k / 96) * 1440 + (k % 96) * 15);
        for (int c = 0; c < channels; ++c)
            word(value(k, c));
    }
    const QString name = QDir(dir).filePath(MonthFileName(month, QStringLiteral("qdr")));
    QFile f(name);
    if (f.open(QIODevice::WriteOnly))
        f.write(b);
    return name;
}
