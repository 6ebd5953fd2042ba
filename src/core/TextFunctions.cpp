#include "core/TextFunctions.h"

#include <QDir>
#include <QFileInfo>

#include <array>

QString IntToStrZero(uint32_t v, int w)
{
    if (w <= 0)
        return QString();
    return QString::number(v).rightJustified(w, QLatin1Char('0'));
}

QString CharString(QChar c, int n) { return n > 0 ? QString(n, c) : QString(); }

QString Spaces(int n) { return CharString(QLatin1Char(' '), n); }

void PadLeft(QString& s, int n)
{
    if (n < 0)
        n = 0;
    if (s.size() > n)
        s = s.right(n);
    else
        s.prepend(Spaces(int(n - s.size())));
}

void PadRight(QString& s, int n)
{
    if (n < 0)
        n = 0;
    if (s.size() > n)
        s.truncate(n);
    else
        s.append(Spaces(int(n - s.size())));
}

QString MinutesText(uint16_t m)
{
    if (m >= 6000)
        return QStringLiteral("??:??");
    return IntToStrZero(m / 60u, 2) + QLatin1Char(':') + IntToStrZero(m % 60u, 2);
}

QString TimeText(uint32_t h, uint32_t m) { return IntToStrZero(h, 2) + QLatin1Char(':') + IntToStrZero(m, 2); }

QString DayMonthText(uint32_t d, uint32_t m)
{
    return IntToStrZero(d, 2) + QLatin1Char('.') + IntToStrZero(m, 2) + QLatin1Char('.');
}

QString DateText(uint32_t d, uint32_t m, uint32_t y) { return DayMonthText(d, m) + IntToStrZero(y, 4); }

TCalendarDate SerialToDate(uint32_t n)
{
    // Julian day number to Gregorian date (Fliegel and Van Flandern). Signed
    // 64-bit throughout: the intermediate products pass 2^31 for late days.
    int64_t l = int64_t(n) + 2415019 + 68569;
    const int64_t c = 4 * l / 146097;
    l -= (146097 * c + 3) / 4;
    const int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    const int64_t j = 80 * l / 2447;
    TCalendarDate date;
    date.Day = static_cast<uint32_t>(l - 2447 * j / 80);
    l = j / 11;
    date.Month = static_cast<uint32_t>(j + 2 - 12 * l);
    date.Year = static_cast<uint32_t>(100 * (c - 49) + i + l);
    return date;
}

QString SerialDateText(uint32_t n)
{
    const TCalendarDate d = SerialToDate(n);
    return DateText(d.Day, d.Month, d.Year);
}

QString DateTimeText(uint32_t m)
{
    return SerialDateText(m / 1440u) + QLatin1Char(' ') + TimeText((m / 60u) % 24u, m % 60u);
}

QString StampText(uint32_t t)
{
    const uint32_t high = t >> 16;
    const uint32_t low = t & 0xFFFFu;
    if (high == 0)
        return QString();
    return DateText(low / 1440u, high % 12u + 1u, high / 12u) + QLatin1Char(' ') + TimeText((low / 60u) % 24u, low % 60u);
}

QString MonthText(uint16_t n)
{
    static const char Letters[] = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
    if (n / 12u == 0)
        return QStringLiteral("???????");
    return IntToStrZero(n / 12u, 4) + QLatin1StringView(Letters + (n % 12u) * 3u, 3);
}

QString MonthYearText(uint16_t n)
{
    static const std::array<QString, 12> Names = {
        QStringLiteral("Január"),  QStringLiteral("Február"),   QStringLiteral("Marec"),   QStringLiteral("Apríl"),
        QStringLiteral("Máj"),     QStringLiteral("Jún"),       QStringLiteral("Júl"),     QStringLiteral("August"),
        QStringLiteral("September"), QStringLiteral("Október"), QStringLiteral("November"), QStringLiteral("December"),
    };
    if (n / 12u == 0)
        return QString();
    return Names[n % 12u] + QString::number(n / 12u).rightJustified(5, QLatin1Char(' '));
}

QString CountText(uint32_t n, const QString& one, const QString& few, const QString& many)
{
    return QString::number(n) + QLatin1Char(' ') + (n == 1 ? one : n >= 2 && n <= 4 ? few : many);
}

QString RecordsText(uint32_t n)
{
    return CountText(n, QStringLiteral("záznam"), QStringLiteral("záznamy"), QStringLiteral("záznamov"));
}

QString RemainingRecordsText(uint32_t records)
{
    // The verb agrees with the count: "zostávajú 3 záznamy".
    const QString verb = records >= 2 && records <= 4 ? QStringLiteral("zostávajú") : QStringLiteral("zostáva");
    return verb + QLatin1Char(' ') + RecordsText(records);
}

QString RemainingText(uint16_t month, uint32_t records)
{
    return MonthText(month) + QStringLiteral(": ") + RemainingRecordsText(records);
}

QString MonthFileName(uint16_t month, const QString& ext)
{
    if (month / 12u == 0)
        return QString();
    return (MonthText(month) + QLatin1Char('.') + ext).toLower();
}

QString NormalizeFileName(const QString& name)
{
    if (name.isEmpty())
        return QString();
    return QDir::cleanPath(QFileInfo(name).absoluteFilePath());
}
