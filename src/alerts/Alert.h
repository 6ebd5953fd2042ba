#pragma once
// One alert as every channel carries it: the service's log line, the mail,
// the MQTT message and the window's information panel all take it from here,
// so they never tell one event in different words.
#include "app/AlertSettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

struct TAlert {
    QString Kind;                 // the line's second word: "projected-exceedance", ...
    TAlertSettings::TKind Group = TAlertSettings::KindCount; // the kind Druhy and the mail's limit count
    QDateTime At;                 // when it was raised, host time (UTC)
    // The figures, in line order; site and text follow them.
    std::vector<std::pair<QString, QString>> Fields;
    QString Site;                 // [INE] Miesto
    QString Text;                 // what happened, in Slovak, for a person

    TAlert& Add(const QString& key, const QString& value)
    {
        Fields.emplace_back(key, value);
        return *this;
    }
    TAlert& Add(const QString& key, qlonglong value) { return Add(key, QString::number(value)); }
    QString Field(const QString& key) const;

    // "alert exceedance interval=... power=... site=... text=\"...\"".
    QString Line() const;
    // The short Slovak name of the event for a mail's subject.
    QString Title() const;
    // {"kind":..., "time":..., the fields (numbers as numbers), "site":..., "text":...}.
    QByteArray Json() const;
};

// Instants in alerts: ISO 8601 with the offset of the zone, e.g.
// 2026-12-01T10:15:00+01:00.
QString AlertTime(const QDateTime& instant, const QTimeZone& zone);
// "5 min 12 s", "2 h 5 min", "40 s".
QString AlertDuration(int64_t seconds);
