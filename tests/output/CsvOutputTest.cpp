// The month as CSV through qdrtool: the two days a year the clock changes,
// the columns and empty fields of an ordinary month, and the files it must
// not write over.
#include "support/SimProcess.h"
#include "support/TimedMonth.h"
#include "support/ToolRun.h"
#include "support/FileBytes.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <gtest/gtest.h>

namespace {

constexpr uint16_t March2026 = 2026 * 12 + 2;
constexpr uint16_t October2026 = 2026 * 12 + 9;
constexpr uint16_t November2026 = 2026 * 12 + 10;

QStringList CsvLines(const ToolRun& run) { return run.Out.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts); }

QStringList Times(const QStringList& lines)
{
    QStringList times;
    for (qsizetype i = 1; i < lines.size(); ++i)
        times << lines.at(i).section(QLatin1Char(','), 0, 0);
    return times;
}

// Each row a quarter of an hour after the one before.
void ExpectQuarterSteps(const QStringList& times)
{
    for (qsizetype i = 1; i < times.size(); ++i) {
        const QDateTime a = QDateTime::fromString(times.at(i - 1), Qt::ISODate);
        const QDateTime b = QDateTime::fromString(times.at(i), Qt::ISODate);
        ASSERT_TRUE(a.isValid() && b.isValid()) << times.at(i).toStdString();
        EXPECT_EQ(a.secsTo(b), 900) << times.at(i - 1).toStdString() << " -> " << times.at(i).toStdString();
    }
}

TEST(CsvOutput, ClockChangesGiveOneRowPerRecordAndDistinctInstants)
{
    REQUIRE_TOOL();
    SiteDir site;
    auto value = [](int k, int) { return uint16_t(100 + k); };
    // Spring: the clock moves late, after 02:15 standard time (03:30 summer
    // follows), so the file holds three readings of the skipped hour.
    WriteTimedMonth(site.Path(), March2026, 1, 0,
                    {At(29, 1, 45), At(29, 2, 0), At(29, 2, 15), At(29, 3, 30), At(29, 3, 45)}, value);
    // Autumn: the hour 02:00 to 02:45 filed twice, the clock going back after
    // the first pass; an empty record at the turn.
    WriteTimedMonth(site.Path(), October2026, 1, 0,
                    {At(25, 1, 45), At(25, 2, 0), At(25, 2, 15), At(25, 2, 30), At(25, 2, 45), 0, At(25, 2, 15),
                     At(25, 2, 30), At(25, 2, 45), At(25, 3, 0)},
                    value);

    const ToolRun march = RunTool(site.Path(), {"csv", "2026mar.qdr", "-o", "-", "--tz", "Europe/Bratislava"});
    ASSERT_EQ(march.Exit, 0) << march.Text().toStdString();
    const QStringList spring = Times(CsvLines(march));
    EXPECT_EQ(spring, (QStringList{"2026-03-29T01:45:00+01:00", "2026-03-29T02:00:00+01:00",
                                   "2026-03-29T02:15:00+01:00", "2026-03-29T03:30:00+02:00",
                                   "2026-03-29T03:45:00+02:00"}));
    ExpectQuarterSteps(spring);

    const ToolRun october = RunTool(site.Path(), {"csv", "2026oct.qdr", "-o", "-", "--tz", "Europe/Bratislava"});
    ASSERT_EQ(october.Exit, 0) << october.Text().toStdString();
    const QStringList lines = CsvLines(october);
    const QStringList autumn = Times(lines);
    EXPECT_EQ(autumn, (QStringList{"2026-10-25T01:45:00+02:00", "2026-10-25T02:00:00+02:00",
                                   "2026-10-25T02:15:00+02:00", "2026-10-25T02:30:00+02:00",
                                   "2026-10-25T02:45:00+02:00", "2026-10-25T02:15:00+01:00",
                                   "2026-10-25T02:30:00+01:00", "2026-10-25T02:45:00+01:00",
                                   "2026-10-25T03:00:00+01:00"}));
    EXPECT_EQ(lines.at(6), QStringLiteral("2026-10-25T02:15:00+01:00,106"));
    EXPECT_EQ(QSet<QString>(autumn.begin(), autumn.end()).size(), autumn.size());

    // A regulator kept on standard time all year is read with a fixed zone.
    const ToolRun fixed = RunTool(site.Path(), {"csv", "2026oct.qdr", "-o", "-", "--tz", "UTC+01:00"});
    ASSERT_EQ(fixed.Exit, 0) << fixed.Text().toStdString();
    EXPECT_EQ(Times(CsvLines(fixed)).at(1), QStringLiteral("2026-10-25T02:00:00+01:00"));
}

TEST(CsvOutput, ColumnsEmptyFieldsAndTheFilesItWillNotWrite)
{
    REQUIRE_TOOL();
    SiteDir site(QStringLiteral("[INE]\nTimeZone=Europe/Bratislava\n[ELEKTROMERY]\nEM01=Kompresory, hala\n"));
    // Two days, a gap at the fifth record, channel 2 reactive and missing
    // every seventh record; a last record dated the 31st, which November
    // does not have.
    std::vector<uint16_t> times = WholeMonthTimes(2);
    times[4] = 0;
    times.push_back(At(31, 0, 0));
    const QString month = WriteTimedMonth(site.Path(), November2026, 3, 2, times, [](int k, int c) {
        return uint16_t(c == 0 ? 100 + k : c == 1 ? 40 : k % 7 == 0 ? 0xFFFF : k);
    });

    const ToolRun run = RunTool(site.Path(), {"csv", "2026nov.qdr"});
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    EXPECT_TRUE(run.Out.contains(QLatin1String("2026NOV.csv: 191 rows"))) << run.Out.toStdString();
    EXPECT_TRUE(run.Err.contains(QLatin1String("records whose time is not in the month, left out: 1")))
        << run.Err.toStdString();
    const QString csv = QString::fromUtf8(FileContents(site.Path("2026NOV.csv")));
    const QStringList lines = csv.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 193); // header, 191 rows, nothing after the last CR LF
    EXPECT_EQ(lines.at(0), QStringLiteral("time,00: Hlavné meranie [kW],\"01: Kompresory, hala [kW]\",02: Elektromer 2 [kVAr]"));
    EXPECT_EQ(lines.at(1), QStringLiteral("2026-11-01T00:00:00+01:00,100,40,"));
    EXPECT_EQ(lines.at(4), QStringLiteral("2026-11-01T00:45:00+01:00,103,40,3"));
    EXPECT_EQ(lines.at(5), QStringLiteral("2026-11-01T01:15:00+01:00,105,40,5"));
    EXPECT_TRUE(lines.last().isEmpty());

    // Never over the monthly file, by its name or through a link.
    const Bytes before = ReadBytes(month);
    const ToolRun self = RunTool(site.Path(), {"csv", "2026nov.qdr", "-o", "./2026nov.qdr"});
    EXPECT_EQ(self.Exit, 2) << self.Text().toStdString();
    ASSERT_TRUE(QFile::link(month, site.Path("link.csv")));
    const ToolRun link = RunTool(site.Path(), {"csv", "2026nov.qdr", "-o", "link.csv"});
    EXPECT_EQ(link.Exit, 2) << link.Text().toStdString();
    EXPECT_TRUE(link.Err.contains(QLatin1String("monthly file"))) << link.Err.toStdString();
    EXPECT_EQ(ReadBytes(month), before);

    const ToolRun zone = RunTool(site.Path(), {"csv", "2026nov.qdr", "--tz", "Mars/Olympus"});
    EXPECT_EQ(zone.Exit, 2) << zone.Text().toStdString();
    EXPECT_TRUE(zone.Err.contains(QLatin1String("Mars/Olympus")));
}

} // namespace
