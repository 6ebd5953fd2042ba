// qdrtool store against a PostgreSQL server of the test's own: the fleet's
// views over two months of two sites, storing again, a month that fails
// half-way, and what the tool refuses.
#include "support/PgServer.h"
#include "support/SimProcess.h"
#include "support/TimedMonth.h"
#include "support/ToolRun.h"

#include <gtest/gtest.h>

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
              QStringLiteral("0|00: Hlavné meranie|kW|5860|5860\n1|01: Kompresory|kW|5860|5274\n2|02|kVAr|5860|5860"));
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
    EXPECT_EQ(Server->Sql("SELECT version FROM qdr.version"), QStringLiteral("3"));
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

} // namespace
