// qdrtool store against a PostgreSQL server of the test's own: the fleet's
// views over two months of two sites, storing again, a month that fails
// half-way, and what the tool refuses.
#include "store/PgStore.h"
#include "store/StoreSchema.h"
#include "support/PgServer.h"
#include "support/SimProcess.h"
#include "support/TimedMonth.h"
#include "support/ToolRun.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr uint16_t October2026 = 2026 * 12 + 9;
constexpr uint16_t November2026 = 2026 * 12 + 10;

class StoreTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Server = new PgServer; }
    static void TearDownTestSuite()
    {
        delete Server;
        Server = nullptr;
    }
    void SetUp() override
    {
        REQUIRE_TOOL();
        ASSERT_TRUE(Server->Ready()) << Server->Problem.toStdString();
    }
    ToolRun Store(const SiteDir& site, const QString& name, const QStringList& files,
                  const QString& zone = QStringLiteral("Europe/Bratislava"))
    {
        QStringList args{"store", "--db", Server->ConnInfo(), "--site", name, "--tz", zone};
        return RunTool(site.Path(), args << files, 120000);
    }
    static PgServer* Server;
};
PgServer* StoreTool::Server = nullptr;

// October with the autumn hour filed twice (2977 records), and November;
// three channels, the last reactive, 65535 in channel 1 every tenth record.
void WriteMonths(const SiteDir& site, int offset)
{
    auto value = [offset](int k, int c) {
        return uint16_t(c == 1 && k % 10 == 0 ? 0xFFFF : c == 0 ? 200 + offset + k % 97 : c == 1 ? 50 : k % 13);
    };
    std::vector<uint16_t> october = WholeMonthTimes(31);
    const auto repeat = std::find(october.begin(), october.end(), At(25, 3, 0));
    october.insert(repeat, {At(25, 2, 0), At(25, 2, 15), At(25, 2, 30), At(25, 2, 45)});
    WriteTimedMonth(site.Path(), October2026, 3, 2, october, value);
    WriteTimedMonth(site.Path(), November2026, 3, 2, WholeMonthTimes(30), value);
}

TEST_F(StoreTool, FleetViewsOverTwoSitesAndStoringAgainChangesNothing)
{
    SiteDir north(QStringLiteral("[ELEKTROMERY]\nEM01=Kompresory\n"));
    SiteDir south;
    WriteMonths(north, 0);
    WriteMonths(south, 1000);
    const ToolRun first = Store(north, "Sever", {"2026oct.qdr", "2026nov.qdr"});
    ASSERT_EQ(first.Exit, 0) << first.Text().toStdString();
    EXPECT_TRUE(first.Out.contains(
        QLatin1String("2026oct.qdr: Sever 2026OCT, 2980 records, 8940 values, 2980 records new")))
        << first.Out.toStdString();
    ASSERT_EQ(Store(south, "Juh", {"2026oct.qdr", "2026nov.qdr"}).Exit, 0);

    EXPECT_EQ(Server->Sql("SELECT channel, label, unit, count(*), count(value) FROM qdr.interval_values "
                          "WHERE site = 'Sever' GROUP BY 1, 2, 3 ORDER BY 1"),
              QStringLiteral("0|00: Hlavné meranie|kW|5860|5860\n1|01: Kompresory|kW|5860|5274\n2|02: Elektromer 2|kVAr|5860|5860"));
    // The autumn day has 25 hours in the zone: 100 intervals.
    EXPECT_EQ(Server->Sql("SELECT day, kwh FROM qdr.daily_energy WHERE site = 'Sever' AND channel = 1 "
                          "AND day IN ('2026-10-25', '2026-10-26') ORDER BY day"),
              QStringLiteral("2026-10-25|1125\n2026-10-26|1087.5"));
    // The month's peak of every site, first occurrence.
    EXPECT_EQ(Server->Sql("SELECT site, month, peak, at AT TIME ZONE 'Europe/Bratislava' FROM qdr.monthly_peak "
                          "WHERE channel = 0 ORDER BY site, month"),
              QStringLiteral("Juh|2026-10-01|1296|2026-10-02 00:00:00\nJuh|2026-11-01|1296|2026-11-02 00:00:00\n"
                             "Sever|2026-10-01|296|2026-10-02 00:00:00\nSever|2026-11-01|296|2026-11-02 00:00:00"));

    EXPECT_EQ(Server->Sql("SELECT table_name, string_agg(column_name || ' ' || data_type, ', ' ORDER BY "
                          "ordinal_position) FROM information_schema.columns WHERE table_schema = 'qdr' "
                          "AND table_name IN ('interval_values', 'daily_energy', 'monthly_peak') "
                          "GROUP BY 1 ORDER BY 1"),
              QStringLiteral("daily_energy|site text, channel integer, day date, kwh numeric\n"
                             "interval_values|site text, channel integer, label text, unit text, "
                             "time timestamp with time zone, value integer\n"
                             "monthly_peak|site text, channel integer, month date, peak integer, "
                             "at timestamp with time zone"));

    const QString rows = QStringLiteral("SELECT count(*), max(xmin::text::bigint) FROM qdr.reading");
    const QString before = Server->Sql(rows);
    const ToolRun again = Store(north, "Sever", {"2026oct.qdr", "2026nov.qdr"});
    ASSERT_EQ(again.Exit, 0) << again.Text().toStdString();
    EXPECT_EQ(again.Out.count(QLatin1String(" 0 records new or changed")), 2) << again.Out.toStdString();
    EXPECT_EQ(Server->Sql(rows), before);
    EXPECT_EQ(Server->Sql("SELECT version FROM qdr.version"), QString::number(TPgStore::SchemaVersion()));
}

TEST_F(StoreTool, AFailedMonthLeavesNothingAndTheToolRefusesWhatItCannotKeep)
{
    SiteDir site;
    WriteMonths(site, 0);
    ASSERT_EQ(Server->Sql("CREATE DATABASE halfway"), QString());
    // The database fails the November month half-way through its values.
    ASSERT_EQ(Store(site, "Stred", {"2026oct.qdr"}, "Europe/Vienna").Exit, 0);
    ASSERT_EQ(Server->Sql("CREATE FUNCTION qdr.refuse() RETURNS trigger LANGUAGE plpgsql AS "
                          "$$BEGIN RAISE EXCEPTION 'disk full'; END$$; "
                          "CREATE TRIGGER refuse BEFORE INSERT ON qdr.reading FOR EACH ROW "
                          "WHEN (NEW.time > '2026-11-15') EXECUTE FUNCTION qdr.refuse()"),
              QString());
    const ToolRun failed = Store(site, "Stred", {"2026nov.qdr"}, "Europe/Vienna");
    EXPECT_EQ(failed.Exit, 5) << failed.Text().toStdString();
    EXPECT_TRUE(failed.Err.contains(QLatin1String("disk full"))) << failed.Err.toStdString();
    EXPECT_EQ(Server->Sql("SELECT count(*) FROM qdr.month JOIN qdr.site USING (site_id) WHERE name = 'Stred'"),
              QStringLiteral("1"));
    EXPECT_EQ(Server->Sql("SELECT count(*) FROM qdr.reading JOIN qdr.site USING (site_id) "
                          "WHERE name = 'Stred' AND month = '2026-11-01'"), QStringLiteral("0"));
    Server->Sql("DROP TRIGGER refuse ON qdr.reading");

    // A record that repeats an instant (a regulator whose numbering
    // restarted) is not stored a second time, and said.
    WriteTimedMonth(site.Path(), November2026 + 1, 3, 2, {At(1, 0, 0), At(1, 0, 15), At(1, 0, 15), At(1, 0, 30)},
                    [](int k, int) { return uint16_t(k); });
    const ToolRun repeated = Store(site, "Stred", {"2026dec.qdr"}, "Europe/Vienna");
    EXPECT_EQ(repeated.Exit, 0) << repeated.Text().toStdString();
    EXPECT_TRUE(repeated.Err.contains(QLatin1String("not stored: 1"))) << repeated.Err.toStdString();
    EXPECT_EQ(Server->Sql("SELECT value FROM qdr.interval_values WHERE site = 'Stred' AND channel = 2 "
                          "AND time >= '2026-12-01 00:00+01' ORDER BY time"),
              QStringLiteral("0\n1\n3"));

    // A site keeps its zone; a schema newer than the tool is left alone.
    const ToolRun zone = Store(site, "Stred", {"2026nov.qdr"}, "Europe/London");
    EXPECT_EQ(zone.Exit, 5) << zone.Text().toStdString();
    EXPECT_TRUE(zone.Err.contains(QLatin1String("Europe/Vienna"))) << zone.Err.toStdString();
    Server->Sql("UPDATE qdr.version SET version = 7");
    const ToolRun newer = Store(site, "Stred", {"2026nov.qdr"}, "Europe/Vienna");
    EXPECT_EQ(newer.Exit, 5) << newer.Text().toStdString();
    EXPECT_TRUE(newer.Err.contains(QLatin1String("version 7"))) << newer.Err.toStdString();
    Server->Sql("UPDATE qdr.version SET version = 3");

    // A password only through libpq's means; none given is said as such.
    ASSERT_EQ(Server->Sql("CREATE ROLE meter LOGIN PASSWORD 'tajne'"), QString());
    ASSERT_EQ(Server->Sql("GRANT CREATE ON DATABASE halfway TO meter"), QString());
    const QString db = Server->ConnInfo(QStringLiteral("halfway"))
                           .replace(QLatin1String("user=postgres"), QLatin1String("user=meter"));
    const QStringList args{"store", "--db", db, "--site", "Stred", "--tz", "Europe/Vienna", "2026oct.qdr"};
    const ToolRun none = RunTool(site.Path(), args);
    EXPECT_EQ(none.Exit, 5) << none.Text().toStdString();
    EXPECT_TRUE(none.Err.contains(QLatin1String("PGPASSWORD"))) << none.Err.toStdString();
    const ToolRun inlined = RunTool(site.Path(), QStringList(args).replaceInStrings(db, db + " password=tajne"));
    EXPECT_EQ(inlined.Exit, 0) << inlined.Text().toStdString();
    EXPECT_TRUE(inlined.Err.contains(QLatin1String("warning: the password"))) << inlined.Err.toStdString();
    qputenv("PGPASSWORD", "tajne");
    const ToolRun given = RunTool(site.Path(), args);
    qunsetenv("PGPASSWORD");
    EXPECT_EQ(given.Exit, 0) << given.Text().toStdString();
}

TEST_F(StoreTool, SiteNamesStayApartAndOnlyAStoredMonthCreatesItsSite)
{
    SiteDir site;
    WriteMonths(site, 0);
    // Bytes that are not UTF-8 (a Latin-2 "á" from a script) would become
    // U+FFFD and merge with every other such name.
    QProcess p;
    p.setWorkingDirectory(site.Path());
    p.start(QStringLiteral("/bin/sh"),
            {"-c", "exec \"$0\" store --db \"$1\" --site \"$(printf 'Z\\341vod')\" --tz Europe/Bratislava 2026nov.qdr",
             QStringLiteral(QDRTOOL_PATH), Server->ConnInfo()});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 2) << p.readAllStandardError().toStdString();
    EXPECT_TRUE(p.readAllStandardError().contains("not valid UTF-8"));

    // Every file refused: no site appears.
    QFile notMonth(site.Path(QStringLiteral("zly.qdr")));
    ASSERT_TRUE(notMonth.open(QIODevice::WriteOnly));
    notMonth.write("not a month");
    notMonth.close();
    const ToolRun refused = Store(site, "Prazdne", {"zly.qdr"});
    EXPECT_EQ(refused.Exit, 2) << refused.Text().toStdString();
    // A month without one possible time, and a zone the database cannot name.
    WriteTimedMonth(site.Path(), 2026 * 12 + 10 + 1, 1, 0, {At(32, 0, 0)}, [](int, int) { return 7; });
    const ToolRun empty = Store(site, "Prazdne", {"2026dec.qdr"});
    EXPECT_EQ(empty.Exit, 2) << empty.Text().toStdString();
    EXPECT_TRUE(empty.Err.contains(QLatin1String("nothing to write"))) << empty.Err.toStdString();
    EXPECT_EQ(Store(site, "Prazdne", {"2026nov.qdr"}, "UTC+01:00").Exit, 2);
    EXPECT_EQ(Server->Sql("SELECT count(*) FROM qdr.site WHERE name = 'Prazdne' OR name LIKE 'Z%vod'"),
              QStringLiteral("0"));

    // The statement offered for a site in another zone works as pasted.
    ASSERT_EQ(Store(site, "O'Brien", {"2026nov.qdr"}, "Europe/Vienna").Exit, 0);
    const ToolRun zone = Store(site, "O'Brien", {"2026nov.qdr"}, "Europe/London");
    EXPECT_EQ(zone.Exit, 5) << zone.Text().toStdString();
    EXPECT_TRUE(zone.Err.contains(QLatin1String("DELETE FROM qdr.site WHERE name = 'O''Brien' removes")))
        << zone.Err.toStdString();
}

TEST_F(StoreTool, AMonthStoredAgainInAnotherSizeKeepsEachRowsLayoutAndAnOldSchemaIsMigrated)
{
    SiteDir site;
    // Three channels, channel 2 reactive; then the month fetched again after
    // a meter was added: four channels, channel 3 reactive and channel 2 now
    // an active meter, only the first two days held yet.
    WriteTimedMonth(site.Path(), November2026, 3, 2, WholeMonthTimes(30), [](int, int c) { return uint16_t(10 + c); });
    ASSERT_EQ(Store(site, "Rast", {"2026nov.qdr"}).Exit, 0);
    WriteTimedMonth(site.Path(), November2026, 4, 4, WholeMonthTimes(2), [](int, int c) { return uint16_t(20 + c); });
    const ToolRun again = Store(site, "Rast", {"2026nov.qdr"});
    ASSERT_EQ(again.Exit, 0) << again.Text().toStdString();
    EXPECT_EQ(Server->Sql("SELECT channel, unit, value, count(*) FROM qdr.interval_values WHERE site = 'Rast' "
                          "AND channel >= 2 GROUP BY 1, 2, 3 ORDER BY 1, 3"),
              QStringLiteral("2|kVAr|12|2688\n2|kW|22|192\n3|kVAr|23|192"));

    // A database a version 1 release made: its rows take their month's
    // layout, except one whose array no longer fits it.
    ASSERT_EQ(Server->Sql("CREATE DATABASE old"), QString());
    ASSERT_EQ(Server->Sql(QStringLiteral("CREATE SCHEMA qdr;") + QString::fromUtf8(SchemaSteps()[0].Sql) +
                              "CREATE TABLE qdr.version (version int NOT NULL); INSERT INTO qdr.version VALUES (1);"
                              "INSERT INTO qdr.site VALUES (1, 'Stara', 'Europe/Bratislava');"
                              "INSERT INTO qdr.month VALUES (1, '2026-10-01', 15, 1, 3, '2026oct.qdr');"
                              "INSERT INTO qdr.reading VALUES (1, '2026-10-01', '2026-10-01 00:00+02', '{1,2,3}'),"
                              "(1, '2026-10-01', '2026-10-01 00:15+02', '{4,5}');",
                          QStringLiteral("old")),
              QString());
    const QStringList args{"store", "--db", Server->ConnInfo(QStringLiteral("old")), "--site", "Stara", "--tz",
                           "Europe/Bratislava", "2026nov.qdr"};
    const ToolRun migrated = RunTool(site.Path(), args, 120000);
    ASSERT_EQ(migrated.Exit, 0) << migrated.Text().toStdString();
    EXPECT_EQ(Server->Sql("SELECT version FROM qdr.version", QStringLiteral("old")),
              QString::number(TPgStore::SchemaVersion()));
    EXPECT_EQ(Server->Sql("SELECT value, coalesce(unit, '?') FROM qdr.interval_values WHERE channel = 1 "
                          "AND time < '2026-10-15' ORDER BY time",
                          QStringLiteral("old")),
              QStringLiteral("2|kVAr\n5|?"));
    EXPECT_EQ(Server->Sql("SELECT kwh FROM qdr.daily_energy WHERE channel = 0 AND day = '2026-10-01'",
                          QStringLiteral("old")),
              QStringLiteral("1.25"));
}

TEST_F(StoreTool, AStalledDatabaseEndsTheRunAtTheTimeOut)
{
    SiteDir site;
    WriteMonths(site, 0);
    ASSERT_EQ(Store(site, "Zamok", {"2026oct.qdr"}).Exit, 0);

    // Another session holds the readings locked and never lets go.
    const QString lock = QStringLiteral("BEGIN; LOCK TABLE qdr.reading IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(600);");
    QProcess psql;
    psql.start(Server->Program(QStringLiteral("psql")), {"-X", "-q", "-d", Server->ConnInfo(), "-c", lock});
    ASSERT_TRUE(psql.waitForStarted(10000));
    QString held;
    for (int i = 0; i < 200 && held != QLatin1String("1"); ++i) {
        QThread::msleep(50);
        held = Server->Sql("SELECT count(*) FROM pg_locks WHERE relation = 'qdr.reading'::regclass "
                           "AND mode = 'AccessExclusiveLock' AND granted");
    }
    ASSERT_EQ(held, QStringLiteral("1"));

    QElapsedTimer clock;
    clock.start();
    const QStringList args{"store", "--db", Server->ConnInfo(), "--site", "Zamok", "--tz", "Europe/Bratislava",
                           "--timeout", "3", "2026nov.qdr"};
    const ToolRun locked = RunTool(site.Path(), args, 120000);
    const qint64 ms = clock.elapsed();
    EXPECT_EQ(locked.Exit, 5) << locked.Text().toStdString();
    EXPECT_TRUE(locked.Err.contains(QLatin1String("--timeout"))) << locked.Err.toStdString();
    EXPECT_GE(ms, 2500);
    EXPECT_LT(ms, 30000);
    // Nothing of the run goes on waiting in the server.
    QString left;
    for (int i = 0; i < 100 && left != QLatin1String("0"); ++i) {
        left = Server->Sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'qdrtool'");
        QThread::msleep(50);
    }
    EXPECT_EQ(left, QStringLiteral("0"));
    Server->Sql("SELECT pg_cancel_backend(pid) FROM pg_stat_activity WHERE query LIKE 'BEGIN; LOCK%'");
    psql.waitForFinished(10000);
    EXPECT_EQ(Server->Sql("SELECT count(*) FROM qdr.month JOIN qdr.site USING (site_id) WHERE name = 'Zamok'"),
              QStringLiteral("1"));

    // A server that takes the connection and never says a word.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    clock.restart();
    const QStringList silent{"store", "--db", QStringLiteral("host=127.0.0.1 port=%1 dbname=x").arg(ntohs(a.sin_port)),
                             "--site", "Ticho", "--tz", "Europe/Bratislava", "--timeout", "2", "2026nov.qdr"};
    const ToolRun mute = RunTool(site.Path(), silent, 120000);
    ::close(fd);
    EXPECT_EQ(mute.Exit, 5) << mute.Text().toStdString();
    EXPECT_LT(clock.elapsed(), 15000);
}

} // namespace
