#pragma once
// Monthly files whose billing demand is worked out by hand, one channel,
// for the demand models, the report and the window.
#include "support/TimedMonth.h"

#include <QDir>
#include <QFile>

#include <map>

constexpr uint16_t March2026 = 2026 * 12 + 2;
constexpr uint16_t November2026 = 2026 * 12 + 10;

// March 2026 in Europe/Bratislava: 100 kW in every quarter hour except
//   10.03. (Tue) 06:45 300 and 20:00 300 (the day's two highest, outside 07:00-20:00),
//   11.03. (Wed) 07:00 280 (the window's first quarter hour),
//   14.03. (Sat) 12:00 295, 17.03. (Tue, a holiday) 10:00 290,
//   29.03. (Sun, the clock skips 02:00-02:59) 03:00 310, the month's highest,
//   31.03. (Tue) 21:00 310 again, later,
//   05.03. 10:00 without a value, 05.03. 11:00 an empty record.
// Records with a value: 31 * 96 - 4 - 2 = 2970 of the month's 2972.
// Max: 310.00 at 2026-03-29T03:00:00+02:00. Top 3 days: (310 + 310 + 300) / 3
// = 306.67, from 10.03. 06:45. Window Po-Pi 07:00-20:00 without 17.03.:
// 280.00 at 11.03. 07:00.
inline QString WriteMarch(const QString& dir)
{
    const std::map<uint16_t, uint16_t> peaks{{At(10, 6, 45), 300}, {At(10, 20, 0), 300}, {At(11, 7, 0), 280},
                                             {At(14, 12, 0), 295}, {At(17, 10, 0), 290}, {At(29, 3, 0), 310},
                                             {At(31, 21, 0), 310},
                                             {At(5, 10, 0), 0xFFFF}};
    std::vector<uint16_t> times;
    for (uint16_t t : WholeMonthTimes(31))
        if (!(t >= At(29, 2, 0) && t < At(29, 3, 0)))
            times.push_back(t == At(5, 11, 0) ? 0 : t);
    return WriteTimedMonth(dir, March2026, 1, 0, times, [&](int k, int) {
        const auto it = peaks.find(times[size_t(k)]);
        return it == peaks.end() ? uint16_t(100) : it->second;
    });
}

// A month of 15-minute records (days from the 1st) at 100 kW with one
// quarter hour of peak on the 15th at 12:00.
inline QString WritePeakMonth(const QString& dir, uint16_t month, int days, uint16_t peak)
{
    const std::vector<uint16_t> times = WholeMonthTimes(days);
    return WriteTimedMonth(dir, month, 1, 0, times,
                           [&](int k, int) { return times[size_t(k)] == At(15, 12, 0) ? peak : uint16_t(100); });
}

inline void WriteIni(const QString& dir, const QString& text)
{
    QFile f(QDir(dir).filePath(QStringLiteral("qdrwin.ini")));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text.toUtf8());
}

// The contract the hand figures are priced with: capacity charge
// 250.5 * 4.567 = 1144.0335, so 1144.03.
// intervals: measuring intervals per hour.
inline QString HandContract(const QString& model = QStringLiteral("max"), int intervals = 4)
{
    return QStringLiteral("[INE]\nTimeZone=Europe/Bratislava\nIntervaly=%2\n[ZMLUVA]\nModel=%1\nN=3\n"
                          "Okno=Po-Pi 07:00-20:00\nSviatky=2026-01-06,2026-03-17\nKapacita=250.5\n"
                          "CenaKapacity=4.567\nCenaPrekrocenia=25.333\n")
        .arg(model)
        .arg(intervals);
}
