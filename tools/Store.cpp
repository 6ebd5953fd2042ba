// qdrtool store: monthly files into a PostgreSQL database, so that a service
// firm queries the months of all its sites in one place (from cron or a
// timer on each site's machine).
#include "MonthFile.h"
#include "Tool.h"
#include "ToolZone.h"

#include "app/Settings.h"
#include "core/TextFunctions.h"
#include "output/RecordClock.h"
#include "regulator/DispArch.h"
#include "store/PgStore.h"

#include <QFileInfo>

namespace {

const QString StoreUsage = QStringLiteral(
    "usage: qdrtool store --db CONNINFO --site NAME [--tz ZONE] [--timeout SECONDS] [--config FILE]\n"
    "                     MONTHFILE...\n"
    "\n"
    "Stores monthly archive files (2026nov.qdr, ...) of one site in a PostgreSQL database.\n"
    "Schema qdr is created on first use. Each file is stored in one transaction, so an\n"
    "interrupted run leaves each month whole or absent; storing a month again changes\n"
    "nothing, a month that grew gains its new records. The fleet reads the views\n"
    "qdr.interval_values, qdr.daily_energy and qdr.monthly_peak. Times follow the rule of\n"
    "'qdrtool help csv'.\n"
    "\n"
    "  --db CONNINFO  the database as libpq takes it: \"host=db.example dbname=energy\" or\n"
    "                 postgresql://user@host/db; a password belongs in ~/.pgpass or\n"
    "                 PGPASSWORD (one given here is warned about: others can read it)\n"
    "  --site NAME    the site the months belong to (UTF-8 text); the site is created with\n"
    "                 its first month stored\n"
    "  --tz ZONE      the regulator clock's IANA zone (Europe/Bratislava); default TimeZone of\n"
    "                 [INE], else the system's zone; a site keeps the zone it was first\n"
    "                 stored with\n"
    "  --config FILE  configuration file (default qdrwin.ini, current directory first, then\n"
    "                 beside the program); Intervaly and the meter names come from it\n"
    "  --timeout SECONDS\n"
    "                 the longest the whole run may take (default 300): connecting, every\n"
    "                 statement and every lock waited for; the statement still running then\n"
    "                 is cancelled\n"
    "\n"
    "Exit status: 0 all stored; 2 bad command line, configuration or zone, a site name that\n"
    "is not UTF-8, or a file that is not a monthly archive (the others are stored); 5 the\n"
    "database could not be reached, refused, or did not finish within the time-out (the\n"
    "files before stay stored).");

int RunStore(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("db"), QStringLiteral("site"),
                              QStringLiteral("tz"), QStringLiteral("timeout")},
                       {}, 1000) ||
        options.Positional.isEmpty() || options.Value(QStringLiteral("db")).isEmpty() ||
        options.Value(QStringLiteral("site")).trimmed().isEmpty()) {
        Fail((options.Error.isEmpty() ? QStringLiteral("give --db, --site and at least one monthly file")
                                      : options.Error) +
             QStringLiteral(" (try 'qdrtool help store')"));
        return ExitUsage;
    }
    int timeout = 300;
    if (!options.Integer(QStringLiteral("timeout"), 1, 86400, timeout)) {
        Fail(options.IntegerError);
        return ExitUsage;
    }
    const QString site = options.Value(QStringLiteral("site")).trimmed();
    // Bytes that are not UTF-8 reach here as U+FFFD: two such names would be
    // one site, and one would replace the other's months.
    if (site.contains(QChar::ReplacementCharacter)) {
        Fail(QStringLiteral("the site name is not valid UTF-8 text"));
        return ExitUsage;
    }
    TSettings settings;
    QTimeZone zone;
    // The database keeps zones by their names in the zone database, so a
    // fixed offset such as UTC+01:00 is no zone it can store.
    if (!ReadToolZone(options, settings, zone, true))
        return ExitUsage;
    TPgStore store;
    store.SetTimeout(timeout);
    if (TPgStore::HasPassword(options.Value(QStringLiteral("db"))))
        Fail(QStringLiteral("warning: the password in --db can be read by every user of this machine; "
                            "keep it in ~/.pgpass or PGPASSWORD"));
    if (!store.Connect(options.Value(QStringLiteral("db"))) || !store.Prepare(site, zone)) {
        Fail(QStringLiteral("database: ") + store.Error);
        return ExitDatabase;
    }
    if (store.Hypertable())
        Out(QStringLiteral("qdr.reading is a TimescaleDB hypertable"));
    int exit = ExitOk;
    for (const QString& file : options.Positional) {
        TToolMonth month;
        if (!month.Open(file, settings)) {
            Fail(month.Error);
            exit = ExitUsage;
            continue;
        }
        // A month without one record dated within it would be stored as an
        // empty month and reported as stored.
        if (const QString nothing = NothingToWrite(*month.View, QFileInfo(file).fileName()); !nothing.isEmpty()) {
            Fail(nothing);
            exit = ExitUsage;
            continue;
        }
        TStoreSummary summary;
        if (!store.StoreMonth(*month.View, month.Choice.Labels, QFileInfo(file).fileName(), summary)) {
            Fail(QStringLiteral("database: %1 not stored: %2").arg(file, store.Error));
            return ExitDatabase;
        }
        if (summary.Invalid > 0)
            Fail(QStringLiteral("%1: records whose time is not in the month, not stored: %2")
                     .arg(file)
                     .arg(summary.Invalid));
        if (summary.Repeated > 0)
            Fail(QStringLiteral("%1: records repeating the instant of an earlier one, not stored: %2")
                     .arg(file)
                     .arg(summary.Repeated));
        Out(QStringLiteral("%1: %2 %3, %4 records, %5 values, %6 records new or changed")
                .arg(file, site, MonthText(month.View->Month()))
                .arg(summary.Records)
                .arg(summary.Values)
                .arg(summary.Changed));
    }
    return exit;
}

const TToolRegistration Registration({QStringLiteral("store"),
                                      QStringLiteral("store monthly files in a PostgreSQL database"), StoreUsage,
                                      RunStore});

} // namespace
