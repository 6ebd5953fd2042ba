#include "output/RecordClock.h"

#include "core/LittleEndian.h"
#include "regulator/DispArch.h"

#include <QDateTime>
#include <QRegularExpression>

#include <limits>

namespace {
constexpr int64_t Day = 86400;
} // namespace

TRecordClock::TRecordClock(const QTimeZone& zone, uint16_t month)
{
    const QDate first(month / 12, month % 12 + 1, 1);
    DaysInMonth = first.isValid() ? first.daysInMonth() : 0;
    MonthStart = first.startOfDay(Qt::UTC).toSecsSinceEpoch();
    // Every offset that can be in force in the month, with a day's margin
    // on either side for the zone's distance from UTC.
    const int64_t from = MonthStart - 2 * Day;
    const int64_t to = MonthStart + (DaysInMonth + 2) * Day;
    const QDateTime fromUtc = QDateTime::fromSecsSinceEpoch(from, Qt::UTC);
    Spans.push_back({std::numeric_limits<int64_t>::min(), zone.offsetFromUtc(fromUtc)});
    if (zone.hasTransitions())
        for (const QTimeZone::OffsetData& t : zone.transitions(fromUtc, QDateTime::fromSecsSinceEpoch(to, Qt::UTC)))
            if (t.offsetFromUtc != Spans.back().Offset)
                Spans.push_back({t.atUtc.toSecsSinceEpoch(), t.offsetFromUtc});
    WentBack.assign(Spans.size(), false);
}

bool TRecordClock::Next(uint16_t intervalTime, int64_t& utc, int32_t& offset)
{
    const int day = intervalTime / 1440;
    if (day < 1 || day > DaysInMonth)
        return false;
    const int64_t local = MonthStart + (day - 1) * Day + int64_t(intervalTime % 1440) * 60;

    // The spans whose offset reads this local time: one as a rule, two in
    // the repeated hour, none in the skipped one.
    size_t found[2] = {0, 0};
    size_t count = 0;
    for (size_t i = 0; i < Spans.size() && count < 2; ++i) {
        const int64_t u = local - Spans[i].Offset;
        const bool after = u >= Spans[i].From;
        const bool before = i + 1 == Spans.size() || u < Spans[i + 1].From;
        if (after && before)
            found[count++] = i;
    }
    size_t span = found[0];
    if (count == 2) {
        const size_t later = found[1];
        const int64_t repeatStart = Spans[later].From + Spans[later].Offset;
        if (HavePrevious && local <= Previous && Previous >= repeatStart)
            WentBack[later] = true;
        if (WentBack[later])
            span = later;
    } else if (count == 0) {
        // Skipped by the change: the offset before it.
        span = 0;
        for (size_t j = 1; j < Spans.size(); ++j)
            if (local >= Spans[j].From + Spans[j - 1].Offset && local < Spans[j].From + Spans[j].Offset)
                span = j - 1;
    }
    offset = Spans[span].Offset;
    utc = local - offset;
    HavePrevious = true;
    Previous = local;
    return true;
}

QTimeZone ZoneByName(const QString& name)
{
    if (name.isEmpty())
        return QTimeZone::systemTimeZone();
    // Only a name of the zone database's form (parts of letters, digits,
    // '_', '-' and '+' joined by '/': Etc/GMT-1 too, which the database's
    // list of regions leaves out) or an offset such as UTC+01:00 is looked
    // up: a path ("../x") never reaches the lookup of the zone's file.
    static const QRegularExpression form(
        QStringLiteral("^(UTC[+-][0-9]{2}:[0-9]{2}|[A-Za-z0-9_+-]+(/[A-Za-z0-9_+-]+)*)$"));
    if (!form.match(name).hasMatch())
        return QTimeZone();
    const QTimeZone zone(name.toLatin1());
    return zone.isValid() ? zone : QTimeZone();
}

QString NothingToWrite(const TDispArch& view, const QString& name)
{
    const QDate first(view.Month() / 12, view.Month() % 12 + 1, 1);
    const int days = first.isValid() ? first.daysInMonth() : 0;
    int records = 0;
    for (uint32_t i = 0; i < view.RecordCount; ++i) {
        const uint8_t* record = view.Record(static_cast<uint16_t>(i));
        if (!record)
            continue;
        const int day = GetWord(record) / 1440;
        if (day >= 1 && day <= days)
            return QString();
        ++records;
    }
    if (records == 0)
        return QStringLiteral("%1 holds no record (a monthly file is read under its month's name, e.g. "
                              "2026nov.qdr): nothing to write")
            .arg(name);
    return QStringLiteral("none of the %1 records of %2 has a time within its month (days 1 to %3): nothing to write")
        .arg(records)
        .arg(name)
        .arg(days);
}

std::vector<TTimedRecord> TimedRecords(const TDispArch& view, const QTimeZone& zone, int* invalid)
{
    std::vector<TTimedRecord> records;
    records.reserve(view.RecordCount);
    TRecordClock clock(zone, view.Month());
    int bad = 0;
    for (uint32_t i = 0; i < view.RecordCount; ++i) {
        const uint8_t* record = view.Record(static_cast<uint16_t>(i));
        if (!record)
            continue;
        TTimedRecord r;
        r.Index = static_cast<uint16_t>(i);
        if (clock.Next(GetWord(record), r.Utc, r.Offset))
            records.push_back(r);
        else
            ++bad;
    }
    if (invalid)
        *invalid = bad;
    return records;
}

QString IsoTime(const TTimedRecord& record)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(record.Utc + record.Offset, Qt::UTC);
    const int32_t minutes = (record.Offset < 0 ? -record.Offset : record.Offset) / 60;
    const QLatin1Char zero('0');
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char(record.Offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, zero).arg(minutes % 60, 2, 10, zero);
}
