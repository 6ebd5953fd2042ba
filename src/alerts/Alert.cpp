#include "alerts/Alert.h"

#include "core/LogLine.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

QString TAlert::Field(const QString& key) const
{
    for (const auto& [k, v] : Fields)
        if (k == key)
            return v;
    return {};
}

QString TAlert::Line() const
{
    TLogLine line(QStringLiteral("alert ") + Kind);
    for (const auto& [key, value] : Fields)
        line.Add(key, value);
    line.Add(QStringLiteral("site"), Site);
    line.Add(QStringLiteral("text"), Text);
    return line.Line();
}

QString TAlert::Title() const
{
    static const std::pair<const char*, const char*> titles[] = {
        {"projected-exceedance", "hrozí prekročenie limitu"},
        {"projected-cleared", "hrozba prekročenia pominula"},
        {"exceedance", "prekročený limit"},
        {"interval-corrected", "interval opravený podľa archívu"},
        {"link-lost", "regulátor neodpovedá"},
        {"link-restored", "spojenie obnovené"},
        {"clock-drift", "nesprávny čas regulátora"},
        {"records-lost", "stratené záznamy"},
        {"archive-stalled", "sťahovanie archívu stojí"},
        {"archive-gap", "prázdne záznamy v archíve"},
    };
    for (const auto& [kind, title] : titles)
        if (Kind == QLatin1String(kind))
            return QString::fromUtf8(title);
    return Kind;
}

QByteArray TAlert::Json() const
{
    QJsonObject o;
    o.insert(QStringLiteral("kind"), Kind);
    o.insert(QStringLiteral("time"), At.toUTC().toString(Qt::ISODate));
    for (const auto& [key, value] : Fields) {
        // Figures go as numbers, so a dashboard need not parse them.
        bool number = false;
        const double v = value.toDouble(&number);
        if (number)
            o.insert(key, v);
        else
            o.insert(key, value);
    }
    o.insert(QStringLiteral("site"), Site);
    o.insert(QStringLiteral("text"), Text);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString AlertTime(const QDateTime& instant, const QTimeZone& zone)
{
    const QDateTime local = instant.toTimeZone(zone.isValid() ? zone : QTimeZone::systemTimeZone());
    const int offset = local.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    const QLatin1Char zero('0');
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char(offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, zero).arg(minutes % 60, 2, 10, zero);
}

QString AlertDuration(int64_t seconds)
{
    if (seconds < 0)
        seconds = -seconds;
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return seconds % 60 ? QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60)
                            : QStringLiteral("%1 min").arg(seconds / 60);
    const int64_t minutes = seconds / 60;
    return minutes % 60 ? QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60)
                        : QStringLiteral("%1 h").arg(minutes / 60);
}
