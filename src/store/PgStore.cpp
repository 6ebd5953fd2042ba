#include "store/PgStore.h"

#include "output/CsvOutput.h"
#include "output/RecordClock.h"
#include "regulator/DispArch.h"
#include "store/StoreSchema.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_set>
#include <vector>

namespace {
// Serialises the creation and migration of the schema between stores that
// start at the same time (cron on several machines).
const QString SchemaLock = QStringLiteral("SELECT pg_advisory_xact_lock(5158225201)");

QString Trimmed(const char* message) { return QString::fromUtf8(message).trimmed(); }

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A whole number of seconds libpq takes from the user (the string's own
// connect_timeout, else PGCONNECT_TIMEOUT); 0 when none.
int UserConnectTimeout(const QByteArray& conninfo)
{
    int seconds = 0;
    if (PQconninfoOption* options = PQconninfoParse(conninfo.constData(), nullptr)) {
        for (PQconninfoOption* o = options; o->keyword; ++o)
            if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val)
                seconds = std::atoi(o->val);
        PQconninfoFree(options);
    }
    if (seconds <= 0)
        if (const char* env = std::getenv("PGCONNECT_TIMEOUT"))
            seconds = std::atoi(env);
    return std::max(seconds, 0);
}
} // namespace

TPgStore::TPgStore() = default;

TPgStore::~TPgStore()
{
    if (Conn)
        PQfinish(Conn);
}

int TPgStore::SchemaVersion() { return static_cast<int>(SchemaSteps().size()); }

void TPgStore::SetTimeout(int seconds)
{
    TimeoutSeconds = std::max(seconds, 0);
    DeadlineMs = NowMs() + int64_t(TimeoutSeconds) * 1000;
}

int64_t TPgStore::RemainingMs() const
{
    return TimeoutSeconds == 0 ? -1 : std::max<int64_t>(0, DeadlineMs - NowMs());
}

bool TPgStore::Connect(const QString& conninfo)
{
    const QByteArray info = conninfo.toUtf8();
    // A server that never answers must not hold a cron job for ever: libpq
    // gives up connecting at the earlier of the user's own limit and the
    // run's. Keepalives and the TCP user time-out notice a peer that is gone
    // while a statement runs (and bound the connection of a cancel request);
    // a string that sets them keeps its own.
    int connectSeconds = UserConnectTimeout(info);
    if (TimeoutSeconds > 0) {
        // libpq counts whole seconds and takes nothing under 2.
        const int left = int(std::max<int64_t>(2, (RemainingMs() + 999) / 1000));
        connectSeconds = connectSeconds > 0 ? std::min(connectSeconds, left) : left;
    }
    if (connectSeconds <= 0)
        connectSeconds = 20;
    const QByteArray connect = QByteArray::number(connectSeconds);
    std::vector<const char*> keys{"keepalives",      "keepalives_idle",  "keepalives_interval",
                                  "keepalives_count", "tcp_user_timeout", "fallback_application_name",
                                  "dbname",          "connect_timeout"};
    std::vector<const char*> values{"1", "30", "10", "3", "30000", "qdrtool", info.constData(), connect.constData()};
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
        else if (Error.contains(QLatin1String("timeout expired")) && TimeoutSeconds > 0 && RemainingMs() <= 1000)
            FTimedOut = true;
        return false;
    }
    if (PQsetClientEncoding(Conn, "UTF8") != 0) {
        Error = Trimmed(PQerrorMessage(Conn));
        return false;
    }
    // From here on every wait is the store's own, bounded by the deadline.
    if (PQsetnonblocking(Conn, 1) != 0) {
        Error = Trimmed(PQerrorMessage(Conn));
        return false;
    }
    if (TimeoutSeconds == 0)
        return true;
    // The server ends a statement or a lock wait by the deadline on its own
    // as well, and a session left in a transaction by a client that is
    // gone: nothing is held for longer than the run may last.
    const QString ms = QString::number(std::max<int64_t>(1, RemainingMs()));
    return Exec(QStringLiteral("SELECT set_config('statement_timeout', $1, false), set_config('lock_timeout', $1, false), "
                               "set_config('idle_in_transaction_session_timeout', $1, false)"),
                {ms});
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

short TPgStore::WaitSocket(short events)
{
    pollfd p{PQsocket(Conn), events, 0};
    for (;;) {
        const int64_t left = RemainingMs();
        if (left == 0)
            return 0;
        const int r = ::poll(&p, 1, left < 0 ? -1 : int(std::min<int64_t>(left, 60000)));
        if (r > 0)
            // An error or a hang-up is for libpq to read and report.
            return p.revents & (POLLERR | POLLHUP | POLLNVAL) ? events : p.revents;
        if (r < 0 && errno != EINTR)
            return events;
    }
}

bool TPgStore::Flush()
{
    for (;;) {
        const int flushed = PQflush(Conn);
        if (flushed == 0)
            return true;
        if (flushed < 0) {
            Error = Trimmed(PQerrorMessage(Conn));
            return false;
        }
        const short ready = WaitSocket(POLLIN | POLLOUT);
        if (ready == 0)
            return Expire();
        if ((ready & POLLIN) && !PQconsumeInput(Conn)) {
            Error = Trimmed(PQerrorMessage(Conn));
            return false;
        }
    }
}

PGresult* TPgStore::Result()
{
    PGresult* kept = nullptr;
    for (;;) {
        while (PQisBusy(Conn)) {
            if (WaitSocket(POLLIN) == 0) {
                PQclear(kept);
                Expire();
                return nullptr;
            }
            if (!PQconsumeInput(Conn)) {
                PQclear(kept);
                Error = Trimmed(PQerrorMessage(Conn));
                return nullptr;
            }
        }
        PGresult* result = PQgetResult(Conn);
        if (!result) {
            if (!kept)
                Error = Trimmed(PQerrorMessage(Conn));
            return kept;
        }
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COPY_IN) {
            PQclear(kept);
            return result;
        }
        // Of several statements in one string the first failure is the one
        // that tells why.
        const bool keptFailed = kept && PQresultStatus(kept) != PGRES_COMMAND_OK && PQresultStatus(kept) != PGRES_TUPLES_OK;
        if (keptFailed) {
            PQclear(result);
        } else {
            PQclear(kept);
            kept = result;
        }
    }
}

bool TPgStore::Expire()
{
    FTimedOut = true;
    if (Conn) {
        // The server would go on with the statement (and keep its locks)
        // until it next writes to the closed connection.
        if (PGcancel* cancel = PQgetCancel(Conn)) {
            char reason[256];
            PQcancel(cancel, reason, sizeof reason);
            PQfreeCancel(cancel);
        }
        PQfinish(Conn);
        Conn = nullptr;
    }
    Error = QStringLiteral("no answer within %1 s (--timeout); the statement was cancelled and the connection closed")
                .arg(TimeoutSeconds);
    return false;
}

bool TPgStore::Exec(const QString& sql, const QStringList& params, QStringList* firstRow, int* tuples,
                    std::vector<QStringList>* rows)
{
    // After a time-out the connection is gone and Error tells why.
    if (!Conn)
        return false;
    if (RemainingMs() == 0)
        return Expire();
    const QByteArray text = sql.toUtf8();
    int sent = 0;
    if (params.isEmpty()) {
        sent = PQsendQuery(Conn, text.constData());
    } else {
        std::vector<QByteArray> bytes;
        std::vector<const char*> values;
        for (const QString& p : params)
            bytes.push_back(p.toUtf8());
        for (const QByteArray& b : bytes)
            values.push_back(b.constData());
        sent = PQsendQueryParams(Conn, text.constData(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
    }
    if (!sent) {
        Error = Trimmed(PQerrorMessage(Conn));
        return false;
    }
    if (!Flush())
        return false;
    PGresult* result = Result();
    if (!result)
        return false;
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok) {
        Error = Trimmed(PQresultErrorMessage(result));
        // The server's own statement or lock time-out, set from the run's.
        const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        if (TimeoutSeconds > 0 && RemainingMs() < 2000 && state &&
            (std::strcmp(state, "57014") == 0 || std::strcmp(state, "55P03") == 0)) {
            FTimedOut = true;
            Error += QStringLiteral(" (the run's time-out of %1 s, --timeout)").arg(TimeoutSeconds);
        }
    } else {
        if (firstRow) {
            firstRow->clear();
            if (PQntuples(result) > 0)
                for (int c = 0; c < PQnfields(result); ++c)
                    *firstRow << QString::fromUtf8(PQgetvalue(result, 0, c));
        }
        if (rows) {
            rows->clear();
            for (int r = 0; r < PQntuples(result); ++r) {
                QStringList row;
                for (int c = 0; c < PQnfields(result); ++c)
                    row << (PQgetisnull(result, r, c) ? QString() : QString::fromUtf8(PQgetvalue(result, r, c)));
                rows->push_back(std::move(row));
            }
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

void TPgStore::ZoneRefusal(const QString& stored)
{
    // The name as SQL reads it, so the suggested statement can be pasted
    // whatever the name holds.
    QString literal;
    const QByteArray name = SiteName.toUtf8();
    if (char* quoted = Conn ? PQescapeLiteral(Conn, name.constData(), size_t(name.size())) : nullptr) {
        literal = QString::fromUtf8(quoted);
        PQfreemem(quoted);
    } else {
        literal = QLatin1Char('\'') + QString(SiteName).replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
    }
    Error = QStringLiteral("site '%1' is stored in time zone %2, not %3 (DELETE FROM qdr.site WHERE name = %4 "
                           "removes it with its months)")
                .arg(SiteName, stored, QString::fromUtf8(Zone.id()), literal);
}

bool TPgStore::Prepare(const QString& site, const QTimeZone& zone)
{
    Zone = zone;
    SiteName = site;
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
    // Told before any file is read; the site's row waits for its first month.
    if (!Exec(QStringLiteral("SELECT time_zone FROM qdr.site WHERE name = $1"), {site}, &row))
        return Rollback();
    if (!row.isEmpty() && row.value(0) != zoneName) {
        ZoneRefusal(row.value(0));
        return Rollback();
    }
    return Exec(QStringLiteral("COMMIT"));
}

bool TPgStore::RegisterSite()
{
    const QString zoneName = QString::fromUtf8(Zone.id());
    QStringList row;
    if (!Exec(QStringLiteral("INSERT INTO qdr.site (name, time_zone) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING"),
              {SiteName, zoneName}) ||
        !Exec(QStringLiteral("SELECT site_id, time_zone FROM qdr.site WHERE name = $1"), {SiteName}, &row))
        return false;
    // Another store may have registered it meanwhile, in another zone.
    if (row.value(1) != zoneName) {
        ZoneRefusal(row.value(1));
        return false;
    }
    SiteId = row.value(0).toInt();
    return true;
}

bool TPgStore::CopyIn(const QByteArray& data)
{
    if (!Conn)
        return false;
    if (!PQsendQuery(Conn, "COPY qdr_load (time, value) FROM STDIN")) {
        Error = Trimmed(PQerrorMessage(Conn));
        return false;
    }
    if (!Flush())
        return false;
    PGresult* result = Result();
    if (!result)
        return false;
    const bool started = PQresultStatus(result) == PGRES_COPY_IN;
    if (!started)
        Error = Trimmed(PQresultErrorMessage(result));
    PQclear(result);
    if (!started)
        return false;
    constexpr qsizetype Chunk = 1 << 18;
    // Without blocking, a chunk the connection cannot take yet waits until
    // the server reads, within the deadline.
    const auto put = [this](const std::function<int()>& step) {
        for (;;) {
            const int r = step();
            if (r == 1)
                return Flush();
            if (r < 0) {
                Error = Trimmed(PQerrorMessage(Conn));
                return false;
            }
            const short ready = WaitSocket(POLLIN | POLLOUT);
            if (ready == 0)
                return Expire();
            if ((ready & POLLIN) && !PQconsumeInput(Conn)) {
                Error = Trimmed(PQerrorMessage(Conn));
                return false;
            }
        }
    };
    for (qsizetype at = 0; at < data.size(); at += Chunk) {
        const int size = int(std::min(Chunk, data.size() - at));
        if (!put([&] { return PQputCopyData(Conn, data.constData() + at, size); }))
            return false;
    }
    if (!put([this] { return PQputCopyEnd(Conn, nullptr); }))
        return false;
    result = Result();
    if (!result)
        return false;
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok)
        Error = Trimmed(PQresultErrorMessage(result));
    PQclear(result);
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
    const QLatin1Char zero('0');
    const QString first = QStringLiteral("%1-%2-01").arg(month / 12, 4, 10, zero).arg(month % 12 + 1, 2, 10, zero);

    if (!Exec(QStringLiteral("BEGIN")))
        return false;
    if (!RegisterSite())
        return Rollback();
    const QString site = QString::number(SiteId);
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
    // Each reading keeps the layout of the file it came from: a month
    // stored again in another record size leaves the readings it no
    // longer holds as they were, labelled as they were.
    ok = ok && Exec(QStringLiteral("INSERT INTO qdr.reading AS r (site_id, month, time, value, kind_mask, interval_minutes) "
                                   "SELECT $1, $2, time, value, $3, $4 FROM qdr_load "
                                   "ON CONFLICT (site_id, time) DO UPDATE SET "
                                   "value = EXCLUDED.value, month = EXCLUDED.month, kind_mask = EXCLUDED.kind_mask, "
                                   "interval_minutes = EXCLUDED.interval_minutes "
                                   "WHERE (r.value, r.month, r.kind_mask, r.interval_minutes) IS DISTINCT FROM "
                                   "(EXCLUDED.value, EXCLUDED.month, EXCLUDED.kind_mask, EXCLUDED.interval_minutes)"),
                    {site, first, QString::number(kinds), QString::number(view.IntervalMinutes)}, nullptr,
                    &summary.Changed);
    if (!ok)
        return Rollback();
    return Exec(QStringLiteral("COMMIT"));
}
