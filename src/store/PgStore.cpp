#include "store/PgStore.h"

#include "output/CsvOutput.h"
#include "output/RecordClock.h"
#include "regulator/DispArch.h"
#include "store/StoreSchema.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace {
// Serialises the creation and migration of the schema between stores that
// start at the same time (cron on several machines).
const QString SchemaLock = QStringLiteral("SELECT pg_advisory_xact_lock(5158225201)");

QString Trimmed(const char* message) { return QString::fromUtf8(message).trimmed(); }
} // namespace

TPgStore::TPgStore() = default;

TPgStore::~TPgStore()
{
    if (Conn)
        PQfinish(Conn);
}

int TPgStore::SchemaVersion() { return static_cast<int>(SchemaSteps().size()); }

bool TPgStore::Connect(const QString& conninfo)
{
    // A server that never answers must not hold a cron job for ever; a limit
    // of the user's own (in the string or PGCONNECT_TIMEOUT) wins.
    std::vector<const char*> keys;
    std::vector<const char*> values;
    if (!std::getenv("PGCONNECT_TIMEOUT")) {
        keys.push_back("connect_timeout");
        values.push_back("20");
    }
    keys.push_back("fallback_application_name");
    values.push_back("qdrtool");
    const QByteArray info = conninfo.toUtf8();
    keys.push_back("dbname");
    values.push_back(info.constData());
    keys.push_back(nullptr);
    values.push_back(nullptr);
    Conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!Conn) {
        Error = QStringLiteral("out of memory");
        return false;
    }
    if (PQstatus(Conn) != CONNECTION_OK) {
        Error = Trimmed(PQerrorMessage(Conn));
        if (Error.contains(QLatin1String("no password supplied")))
            Error += QStringLiteral(" (give it through ~/.pgpass or PGPASSWORD)");
        return false;
    }
    if (PQsetClientEncoding(Conn, "UTF8") != 0) {
        Error = Trimmed(PQerrorMessage(Conn));
        return false;
    }
    return true;
}

bool TPgStore::HasPassword(const QString& conninfo)
{
    PQconninfoOption* options = PQconninfoParse(conninfo.toUtf8().constData(), nullptr);
    bool found = false;
    for (PQconninfoOption* o = options; o && o->keyword; ++o)
        if (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val)
            found = true;
    PQconninfoFree(options);
    return found;
}

bool TPgStore::Exec(const QString& sql, const QStringList& params, QStringList* firstRow, int* tuples)
{
    const QByteArray text = sql.toUtf8();
    PGresult* result = nullptr;
    if (params.isEmpty()) {
        result = PQexec(Conn, text.constData());
    } else {
        std::vector<QByteArray> bytes;
        std::vector<const char*> values;
        for (const QString& p : params)
            bytes.push_back(p.toUtf8());
        for (const QByteArray& b : bytes)
            values.push_back(b.constData());
        result = PQexecParams(Conn, text.constData(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
    }
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok) {
        Error = result ? Trimmed(PQresultErrorMessage(result)) : Trimmed(PQerrorMessage(Conn));
    } else {
        if (firstRow) {
            firstRow->clear();
            if (PQntuples(result) > 0)
                for (int c = 0; c < PQnfields(result); ++c)
                    *firstRow << QString::fromUtf8(PQgetvalue(result, 0, c));
        }
        if (tuples) {
            const char* affected = PQcmdTuples(result);
            *tuples = affected && *affected ? std::atoi(affected) : PQntuples(result);
        }
    }
    PQclear(result);
    return ok;
}

bool TPgStore::Rollback()
{
    const QString error = Error;
    Exec(QStringLiteral("ROLLBACK"));
    Error = error;
    return false;
}

bool TPgStore::Migrate()
{
    QStringList row;
    if (!Exec(QStringLiteral("SELECT 1 FROM pg_namespace WHERE nspname = 'qdr'"), {}, &row))
        return false;
    if (row.isEmpty() && !Exec(QStringLiteral("CREATE SCHEMA qdr")))
        return false;
    if (!Exec(QStringLiteral("SELECT to_regclass('qdr.version') IS NOT NULL"), {}, &row))
        return false;
    int version = 0;
    if (row.value(0) != QLatin1String("t")) {
        if (!Exec(QStringLiteral("CREATE TABLE qdr.version (version int NOT NULL)")))
            return false;
    } else {
        if (!Exec(QStringLiteral("SELECT max(version) FROM qdr.version"), {}, &row))
            return false;
        version = row.value(0).toInt();
    }
    if (version > SchemaVersion()) {
        Error = QStringLiteral("schema qdr of this database is version %1; this qdrtool knows up to version %2")
                    .arg(version)
                    .arg(SchemaVersion());
        return false;
    }
    const bool created = version == 0;
    for (int step = version; step < SchemaVersion(); ++step)
        if (!Exec(QString::fromUtf8(SchemaSteps()[size_t(step)].Sql)))
            return false;
    if (version != SchemaVersion() &&
        !(Exec(QStringLiteral("DELETE FROM qdr.version")) &&
          Exec(QStringLiteral("INSERT INTO qdr.version VALUES ($1)"), {QString::number(SchemaVersion())})))
        return false;

    // TimescaleDB, where the server has it: the readings become a
    // hypertable while the table is still empty. Where it cannot be set up
    // (not preloaded, no right to create it) the plain table serves.
    if (!Exec(QStringLiteral("SELECT 1 FROM pg_available_extensions WHERE name = 'timescaledb'"), {}, &row))
        return false;
    if (created && !row.isEmpty()) {
        const QString error = Error;
        if (Exec(QStringLiteral("SAVEPOINT hypertable")) &&
            !(Exec(QStringLiteral("CREATE EXTENSION IF NOT EXISTS timescaledb")) &&
              Exec(QStringLiteral("SELECT create_hypertable('qdr.reading', 'time')")) &&
              Exec(QStringLiteral("RELEASE SAVEPOINT hypertable")))) {
            if (!Exec(QStringLiteral("ROLLBACK TO SAVEPOINT hypertable")))
                return false;
        }
        Error = error;
    }
    if (!Exec(QStringLiteral("SELECT to_regclass('timescaledb_information.hypertables') IS NOT NULL"), {}, &row))
        return false;
    FHypertable = false;
    if (row.value(0) == QLatin1String("t")) {
        if (!Exec(QStringLiteral("SELECT 1 FROM timescaledb_information.hypertables "
                                 "WHERE hypertable_schema = 'qdr' AND hypertable_name = 'reading'"),
                  {}, &row))
            return false;
        FHypertable = !row.isEmpty();
    }
    return true;
}

bool TPgStore::Prepare(const QString& site, const QTimeZone& zone)
{
    Zone = zone;
    const QString zoneName = QString::fromUtf8(zone.id());
    if (!Exec(QStringLiteral("BEGIN")))
        return false;
    QStringList row;
    if (!Exec(SchemaLock) || !Migrate())
        return Rollback();
    // The days of the fleet's views are counted in the zone's own name, so
    // the server must know it by that name.
    if (!Exec(QStringLiteral("SELECT 1 FROM pg_timezone_names WHERE name = $1"), {zoneName}, &row))
        return Rollback();
    if (row.isEmpty()) {
        Error = QStringLiteral("the database does not know the time zone '%1'; name the zone as the zone database "
                               "does (Etc/GMT-1 for a fixed UTC+01:00)")
                    .arg(zoneName);
        return Rollback();
    }
    if (!Exec(QStringLiteral("INSERT INTO qdr.site (name, time_zone) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING"),
              {site, zoneName}) ||
        !Exec(QStringLiteral("SELECT site_id, time_zone FROM qdr.site WHERE name = $1"), {site}, &row))
        return Rollback();
    if (row.value(1) != zoneName) {
        Error = QStringLiteral("site '%1' is stored in time zone %2, not %3 (DELETE FROM qdr.site WHERE name = "
                               "'%1' removes it with its months)")
                    .arg(site, row.value(1), zoneName);
        return Rollback();
    }
    SiteId = row.value(0).toInt();
    return Exec(QStringLiteral("COMMIT"));
}

bool TPgStore::CopyIn(const QByteArray& data)
{
    PGresult* result = PQexec(Conn, "COPY qdr_load (time, value) FROM STDIN");
    const bool started = PQresultStatus(result) == PGRES_COPY_IN;
    if (!started)
        Error = Trimmed(PQresultErrorMessage(result));
    PQclear(result);
    if (!started)
        return false;
    constexpr qsizetype Chunk = 1 << 18;
    bool sent = true;
    for (qsizetype at = 0; sent && at < data.size(); at += Chunk)
        sent = PQputCopyData(Conn, data.constData() + at, int(std::min(Chunk, data.size() - at))) == 1;
    if (PQputCopyEnd(Conn, sent ? nullptr : "the data could not be sent") != 1) {
        Error = Trimmed(PQerrorMessage(Conn));
        return false;
    }
    bool ok = true;
    while ((result = PQgetResult(Conn)) != nullptr) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            Error = Trimmed(PQresultErrorMessage(result));
            ok = false;
        }
        PQclear(result);
    }
    return ok;
}

bool TPgStore::StoreMonth(const TDispArch& view, const QStringList& labels, const QString& source,
                          TStoreSummary& summary)
{
    summary = TStoreSummary{};
    const uint16_t month = view.Month();
    const std::vector<TTimedRecord> records = TimedRecords(view, Zone, &summary.Invalid);
    // The key is the instant: a record whose instant an earlier one of the
    // file had (a regulator whose numbering restarted) keeps the first.
    QByteArray data;
    data.reserve(int(records.size()) * (30 + view.Channels * 5));
    std::unordered_set<int64_t> seen;
    for (const TTimedRecord& r : records) {
        if (!seen.insert(r.Utc).second) {
            ++summary.Repeated;
            continue;
        }
        ++summary.Records;
        data += IsoTime(r).toLatin1() + "\t{";
        for (uint8_t c = 0; c < view.Channels; ++c) {
            const uint16_t v = view.ChannelValue(r.Index, c);
            if (c > 0)
                data += ',';
            data += v == TDispArch::NoValue ? QByteArray("NULL") : QByteArray::number(v);
            ++summary.Values;
        }
        data += "}\n";
    }
    uint16_t kinds = 0;
    for (uint8_t c = 1; c < view.Channels && c <= 16; ++c)
        if (view.IsReactive(c))
            kinds = static_cast<uint16_t>(kinds | 1u << (c - 1));
    const QString site = QString::number(SiteId);
    const QLatin1Char zero('0');
    const QString first = QStringLiteral("%1-%2-01").arg(month / 12, 4, 10, zero).arg(month % 12 + 1, 2, 10, zero);

    if (!Exec(QStringLiteral("BEGIN")))
        return false;
    bool ok = Exec(QStringLiteral("CREATE TEMP TABLE qdr_load (time timestamptz, value int[]) "
                                  "ON COMMIT DROP")) &&
              CopyIn(data) &&
              Exec(QStringLiteral(
                       "INSERT INTO qdr.month AS m (site_id, month, interval_minutes, kind_mask, channels, source) "
                       "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (site_id, month) DO UPDATE SET "
                       "interval_minutes = EXCLUDED.interval_minutes, kind_mask = EXCLUDED.kind_mask, "
                       "channels = EXCLUDED.channels, source = EXCLUDED.source "
                       "WHERE (m.interval_minutes, m.kind_mask, m.channels, m.source) IS DISTINCT "
                       "FROM (EXCLUDED.interval_minutes, EXCLUDED.kind_mask, EXCLUDED.channels, EXCLUDED.source)"),
                   {site, first, QString::number(view.IntervalMinutes), QString::number(kinds),
                    QString::number(view.Channels), source});
    for (uint8_t c = 0; ok && c < view.Channels; ++c)
        ok = Exec(QStringLiteral("INSERT INTO qdr.channel AS ch (site_id, channel, label) VALUES ($1, $2, $3) "
                                 "ON CONFLICT (site_id, channel) DO UPDATE SET label = EXCLUDED.label "
                                 "WHERE ch.label IS DISTINCT FROM EXCLUDED.label"),
                  {site, QString::number(c), ChannelName(c, labels)});
    ok = ok && Exec(QStringLiteral("INSERT INTO qdr.reading AS r (site_id, month, time, value) "
                                   "SELECT $1, $2, time, value FROM qdr_load "
                                   "ON CONFLICT (site_id, time) DO UPDATE SET "
                                   "value = EXCLUDED.value, month = EXCLUDED.month "
                                   "WHERE (r.value, r.month) IS DISTINCT FROM (EXCLUDED.value, EXCLUDED.month)"),
                    {site, first}, nullptr, &summary.Changed);
    if (!ok)
        return Rollback();
    return Exec(QStringLiteral("COMMIT"));
}
