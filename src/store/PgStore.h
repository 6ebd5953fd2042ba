#pragma once
// Monthly files of many sites in one PostgreSQL database (schema qdr, see
// StoreSchema.h), through libpq: the connection string or URL as libpq takes
// it, passwords through libpq's own means (~/.pgpass, PGPASSWORD).
#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <cstdint>
#include <vector>

class TDispArch;
struct TMonthIntervals;
struct pg_conn;
struct pg_result;

// What storing one month did.
struct TStoreSummary {
    int Records = 0;  // records with a time that were offered
    int Values = 0;   // values offered (records times channels)
    int Changed = 0;  // records added or changed in the database
    int Repeated = 0; // records whose instant an earlier record of the file had
    int Invalid = 0;  // records with a time outside the month (not stored)
};

class TPgStore {
public:
    TPgStore();
    ~TPgStore();
    TPgStore(const TPgStore&) = delete;
    TPgStore& operator=(const TPgStore&) = delete;

    // Bounds everything that follows, from Connect on, to seconds from now
    // (0: no bound): connecting, every statement and every lock waited for.
    // The statement still running then is cancelled on the server, the
    // connection dropped, and TimedOut is set.
    void SetTimeout(int seconds);
    bool TimedOut() const { return FTimedOut; }

    bool Connect(const QString& conninfo);
    // The connection string or URL carries a password (which every user of
    // the machine can read off the command line).
    static bool HasPassword(const QString& conninfo);
    // Creates or migrates schema qdr; refused when the site is stored in
    // another zone, or the database's schema is newer than this release
    // knows. The site itself is created with its first month.
    bool Prepare(const QString& site, const QTimeZone& zone);
    // The shown month of view in one transaction: all of it or nothing (the
    // site's row included when this is its first month). Values equal to
    // those stored leave their rows untouched.
    bool StoreMonth(const TDispArch& view, const QStringList& labels, const QString& source, TStoreSummary& summary);

    // The latest count months stored for site, oldest first, with the
    // intervals of measurement 00, and the zone the site is stored in; read
    // in one snapshot, changing nothing (PgDemand.cpp). unknownSite: the
    // database answered that it holds no such site.
    bool ReadMonths(const QString& site, int count, std::vector<TMonthIntervals>& months, QTimeZone& zone,
                    bool& unknownSite);

    // The schema version this release creates.
    static int SchemaVersion();
    // The reading table is a TimescaleDB hypertable.
    bool Hypertable() const { return FHypertable; }
    QString Error;

private:
    // firstRow: the values of the first row; tuples: the rows affected or
    // returned; rows: every row returned (a null value as an empty text).
    bool Exec(const QString& sql, const QStringList& params = {}, QStringList* firstRow = nullptr,
              int* tuples = nullptr, std::vector<QStringList>* rows = nullptr);
    bool Migrate();
    bool CopyIn(const QByteArray& data);
    bool Rollback();
    // The site's row, created in the transaction that is open; its id in
    // SiteId. False when it is stored in another zone.
    bool RegisterSite();
    // The refusal of a site stored in zone stored instead of Zone.
    void ZoneRefusal(const QString& stored);

    // Milliseconds to the deadline, -1 without one.
    int64_t RemainingMs() const;
    // Waits until the socket is ready for events (POLLIN, POLLOUT); the
    // events that are, 0 at the deadline.
    short WaitSocket(short events);
    // Sends what libpq holds back; false on an error or at the deadline.
    bool Flush();
    // The outcome of what was sent: the first failed result, else the last
    // one (a COPY IN at once); nullptr with Error set when there is none.
    pg_result* Result();
    // The deadline has come: the running statement is cancelled, the
    // connection dropped; always false.
    bool Expire();

    pg_conn* Conn = nullptr;
    int SiteId = 0;
    QString SiteName;
    QTimeZone Zone;
    bool FHypertable = false;
    int TimeoutSeconds = 0;
    int64_t DeadlineMs = 0; // on the monotonic clock
    bool FTimedOut = false;
};
