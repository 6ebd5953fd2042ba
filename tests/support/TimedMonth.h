#pragma once
// A monthly file written by hand with the interval times given one by one
// (0 for an empty record), for the outputs that turn times into instants.
#include "core/TextFunctions.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// The interval time of day (1-based) at hh:mm.
constexpr uint16_t At(int day, int hour, int minute) { return uint16_t(day * 1440 + hour * 60 + minute); }

inline QString WriteTimedMonth(const QString& dir, uint16_t month, int channels, uint16_t kinds,
                               const std::vector<uint16_t>& times, const std::function<uint16_t(int k, int c)>& value)
{
    QByteArray b;
    auto word = [&b](int v) {
        b.append(char(v & 0xFF));
        b.append(char((v >> 8) & 0xFF));
    };
    for (int w : {12, 2 + 2 * channels, 0, int(month), 0, int(kinds)})
        word(w);
    for (size_t k = 0; k < times.size(); ++k) {
        word(times[k]);
        for (int c = 0; c < channels; ++c)
            word(times[k] ? value(int(k), c) : 0xFFFF);
    }
    const QString name = QDir(dir).filePath(MonthFileName(month, QStringLiteral("QDR")));
    QFile f(name);
    if (f.open(QIODevice::WriteOnly))
        f.write(b);
    return name;
}

// Every interval of the month from the 1st at 00:00, one record each.
inline std::vector<uint16_t> WholeMonthTimes(int days, int minutes = 15)
{
    std::vector<uint16_t> times;
    for (int d = 1; d <= days; ++d)
        for (int m = 0; m < 1440; m += minutes)
            times.push_back(At(d, 0, m));
    return times;
}
