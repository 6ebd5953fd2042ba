// Reading a site's months back for the billing demand.
#include "store/PgStore.h"

#include "demand/Demand.h"

#include <QDateTime>


bool TPgStore::ReadMonths(const QString& site, int count, std::vector<TMonthIntervals>& months, QTimeZone& zone,
                          bool& unknownSite)
{
    unknownSite = false;
    months.clear();
    QStringList row;
    if (!Exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")))
        return false;
    const auto fail = [this] { return Rollback(); };
    if (!Exec(QStringLiteral("SELECT to_regclass('qdr.version') IS NOT NULL"), {}, &row))
        return fail();
    if (row.value(0) != QLatin1String("t")) {
        Error = QStringLiteral("this database has no schema qdr ('qdrtool store' makes it)");
        return fail();
    }
    if (!Exec(QStringLiteral("SELECT max(version) FROM qdr.version"), {}, &row))
        return fail();
    if (row.value(0).toInt() > SchemaVersion()) {
        Error = QStringLiteral("schema qdr of this database is version %1; this qdrtool knows up to version %2")
                    .arg(row.value(0))
                    .arg(SchemaVersion());
        return fail();
    }
    if (!Exec(QStringLiteral("SELECT site_id, time_zone FROM qdr.site WHERE name = $1"), {site}, &row))
        return fail();
    if (row.isEmpty()) {
        Error = QStringLiteral("the database holds no site '%1'").arg(site);
        unknownSite = true;
        return fail();
    }
    const QString siteId = row.value(0);
    zone = QTimeZone(row.value(1).toUtf8());
    if (!zone.isValid()) {
        Error = QStringLiteral("site '%1' is stored in time zone %2, which this machine does not know").arg(site, row.value(1));
        return fail();
    }

    // Read through Exec, so the run's time-out bounds these too.
    std::vector<QStringList> stored;
    if (!Exec(QStringLiteral("SELECT extract(year FROM month)::int, extract(month FROM month)::int, "
                             "interval_minutes FROM qdr.month WHERE site_id = $1 ORDER BY month DESC LIMIT $2"),
              {siteId, QString::number(count)}, nullptr, nullptr, &stored))
        return fail();
    for (auto row = stored.rbegin(); row != stored.rend(); ++row) {
        TMonthIntervals m;
        m.Month = static_cast<uint16_t>(row->value(0).toInt() * 12 + row->value(1).toInt() - 1);
        m.IntervalMinutes = row->value(2).toInt();
        m.Expected = MonthIntervalCount(m.Month, m.IntervalMinutes, zone);
        months.push_back(std::move(m));
    }
    if (months.empty())
        return Exec(QStringLiteral("COMMIT"));

    // Measurement 00 from the first month's local midnight to the end of
    // the last, each value filed under the month of its local time.
    const auto monthStart = [](uint16_t month) {
        return QStringLiteral("%1-%2-01").arg(month / 12).arg(month % 12 + 1, 2, 10, QLatin1Char('0'));
    };
    std::vector<QStringList> values;
    if (!Exec(QStringLiteral("SELECT extract(epoch FROM time)::bigint, value FROM qdr.interval_values "
                             "WHERE site = $1 AND channel = 0 AND time >= ($2::timestamp AT TIME ZONE $4) "
                             "AND time < ($3::timestamp AT TIME ZONE $4) ORDER BY time"),
              {site, monthStart(months.front().Month), monthStart(static_cast<uint16_t>(months.back().Month + 1)),
               QString::fromUtf8(zone.id())},
              nullptr, nullptr, &values))
        return fail();
    size_t at = 0;
    for (const QStringList& row : values) {
        TDemandInterval interval;
        interval.Utc = row.value(0).toLongLong();
        // A value without a number is the null of a missing value.
        if (!row.value(1).isEmpty())
            interval.Kw = static_cast<uint16_t>(row.value(1).toInt());
        const QDateTime local = QDateTime::fromSecsSinceEpoch(interval.Utc, zone);
        interval.Offset = local.offsetFromUtc();
        const uint16_t month = static_cast<uint16_t>(local.date().year() * 12 + local.date().month() - 1);
        while (at < months.size() && months[at].Month < month)
            ++at;
        // A month not stored between two that are has no entry to go to.
        if (at < months.size() && months[at].Month == month)
            months[at].Intervals.push_back(interval);
    }
    return Exec(QStringLiteral("COMMIT"));
}
