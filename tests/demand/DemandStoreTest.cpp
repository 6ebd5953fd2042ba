// The store's qdr.billing_demand against the monthly file, and qdrtool
// demand --db against the same months read from the files.
#include "support/DemandMonths.h"
#include "support/PgServer.h"
#include "support/ToolRun.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(DemandStore, TheViewAndTheStoredMonthsBillAsTheFileDoes)
{
    REQUIRE_TOOL();
    PgServer server;
    ASSERT_TRUE(server.Ready()) << server.Problem.toStdString();
    // March with its skipped hour in 15-minute intervals, and half of
    // November (what a file holds) in 5-minute ones whose highest quarter
    // hour averages 200, 260, 240.
    QTemporaryDir march;
    WriteMarch(march.path());
    WriteIni(march.path(), HandContract());
    QTemporaryDir november;
    const std::vector<uint16_t> times = WholeMonthTimes(15, 5);
    WriteTimedMonth(november.path(), November2026, 1, 0, times, [&](int k, int) {
        const uint16_t t = times[size_t(k)];
        return uint16_t(t == At(10, 10, 0) ? 200 : t == At(10, 10, 5) ? 260 : t == At(10, 10, 10) ? 240
                        : t == At(12, 9, 5)                            ? 0xFFFF
                        : t == At(12, 9, 0) || t == At(12, 9, 10)      ? 400
                                                                       : 100);
    });
    WriteIni(november.path(), HandContract(QStringLiteral("max"), 12));

    struct TSite {
        const QTemporaryDir& Dir;
        QString Name, File;
    };
    for (const TSite& site : {TSite{march, "Brezno", "2026mar.qdr"}, TSite{november, "Zvolen", "2026nov.qdr"}}) {
        const ToolRun stored = RunTool(site.Dir.path(), {"store", "--db", server.ConnInfo(), "--site", site.Name,
                                                         site.File}, 120000);
        ASSERT_EQ(stored.Exit, 0) << stored.Text().toStdString();
        const ToolRun file = RunTool(site.Dir.path(), {"demand", site.File, "--format", "csv"});
        ASSERT_EQ(file.Exit, 0) << file.Text().toStdString();
        const QStringList row = file.Out.split(QStringLiteral("\r\n")).value(1).split(QLatin1Char(','));
        ASSERT_EQ(row.size(), 20) << file.Out.toStdString();
        // demand_kw and the instant of at, as the view has them.
        const QString view = server.Sql(QStringLiteral("SELECT to_char(month, 'YYYY-MM'), demand_kw, "
                                                       "extract(epoch FROM at)::bigint FROM qdr.billing_demand "
                                                       "WHERE site = '%1'")
                                            .arg(site.Name));
        EXPECT_EQ(view, QStringLiteral("%1|%2|%3")
                            .arg(row[0], row[2])
                            .arg(QDateTime::fromString(row[3], Qt::ISODate).toSecsSinceEpoch()));
        // The stored month bills as the file.
        const ToolRun db = RunTool(site.Dir.path(), {"demand", "--db", server.ConnInfo(), "--site", site.Name,
                                                     "--format", "csv"});
        ASSERT_EQ(db.Exit, 0) << db.Text().toStdString();
        EXPECT_EQ(db.Out, file.Out);
    }
    EXPECT_EQ(server.Sql("SELECT demand_kw FROM qdr.billing_demand ORDER BY site"), QStringLiteral("310.00\n233.33"));
    EXPECT_EQ(server.Sql("SELECT version FROM qdr.version"), QStringLiteral("3"));
    const ToolRun unknown = RunTool(march.path(), {"demand", "--db", server.ConnInfo(), "--site", "Nikde"});
    EXPECT_EQ(unknown.Exit, 2) << unknown.Text().toStdString();
    EXPECT_TRUE(unknown.Err.contains(QLatin1String("no site 'Nikde'"))) << unknown.Err.toStdString();
}

} // namespace
