// The tables as text: a month the engine fetched from the simulated regulator,
// written by qdrtool as a site's cron job would, against the file reviewed by
// hand once; then the record choices and the print's packing of rows into
// lines on the same month.
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include "app/Engine.h"
#include "app/Settings.h"
#include "output/ArchText.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>

namespace {

// Two days of November at 15 minutes with a single gap, a run of them and one
// at the first day's end; meter 2 measures reactive power and has no name.
class TextOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!ToolBuilt())
            return;
        Site = new SiteDir;
        SimProcess sim({"--udp", "127.0.0.1:0", "--speed", "0", "--now", "2026-11-02T03:00", "--meters", "2",
                        "--kinds", "2", "--gaps", "5,40-44,96", "--lost", "2966", "--seed", "7"});
        Site->WriteIni(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[ELEKTROMERY]\nEM01=Kompresory\n").arg(sim.Udp));
        Fetched = RunTool(Site->Path(), {"fetch"}, 60000);
    }
    static void TearDownTestSuite()
    {
        delete Site;
        Site = nullptr;
    }

    void SetUp() override
    {
        REQUIRE_TOOL();
        ASSERT_EQ(Fetched.Exit, 0) << Fetched.Text().toStdString();
        Archive = std::make_unique<TArchiveQDR>(Site->Path());
        View = std::make_unique<TDispArch>(Archive.get(), 15);
        ASSERT_TRUE(View->Open(Site->Path("2026nov.qdr")));
        Choice.Caption = QStringLiteral("November 2026");
        Choice.Labels = MeasurementLabels(TSettings{});
        Choice.Labels[1] = QStringLiteral("01: Kompresory");
    }

    QStringList Build(uint16_t width = 0, const std::function<bool()>& confirm = {})
    {
        QStringList lines;
        BuildText(lines, *View, Choice, width, confirm);
        return lines;
    }
    // Lines of the table that starts with header (up to the next empty line).
    static QStringList Table(const QStringList& lines, const QString& header)
    {
        QStringList rows;
        qsizetype i = lines.indexOf(header);
        if (i < 0)
            return rows;
        while (++i < lines.size() && !lines.at(i).isEmpty())
            rows << lines.at(i);
        return rows;
    }

    static SiteDir* Site;
    static ToolRun Fetched;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;
    TTableChoice Choice;
};
SiteDir* TextOutput::Site = nullptr;
ToolRun TextOutput::Fetched;

} // namespace

TEST_F(TextOutput, ToolWritesTheReviewedFile)
{
    const QString reviewed = QStringLiteral(QDR_SOURCE_DIR "/tests/data/2026nov-text.txt");
    const ToolRun run = RunTool(Site->Path(), {"text", "2026nov.qdr", "-o", "out.txt"});
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    EXPECT_EQ(FileContents(Site->Path("out.txt")), FileContents(reviewed));
    // The default name is the window's: the month in capitals and .TXT.
    ASSERT_EQ(RunTool(Site->Path(), {"text", "2026nov.qdr"}).Exit, 0);
    EXPECT_EQ(FileContents(Site->Path("2026NOV.TXT")), FileContents(reviewed));
    EXPECT_EQ(RunTool(Site->Path(), {"text", "nosuch.qdr"}).Exit, 2);
    EXPECT_EQ(RunTool(Site->Path(), {"text", "2026nov.qdr", "-o", Site->Path("no/such/dir/x.txt")}).Exit, 4);
}

TEST_F(TextOutput, ToolsWriteNothingFromABadMonthAndNeverOverAMonth)
{
    const QByteArray month = FileContents(Site->Path("2026nov.qdr"));
    const QString target = Site->Path("target");
    WriteBytes(target, {1, 2, 3});
    ASSERT_EQ(::symlink("target", QFile::encodeName(Site->Path("link.txt")).constData()), 0);
    ASSERT_EQ(::symlink("2026nov.qdr", QFile::encodeName(Site->Path("2026dec.qdr")).constData()), 0);
    // One header word changed: the month is not read whole.
    QByteArray broken = month;
    broken[0] = char(broken[0] + 1);
    QFile bad(Site->Path("2026oct.qdr"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write(broken);
    bad.close();
    // A valid header of month 0 once gave "???????.TXT".
    WriteBytes(Site->Path("zero.bin"), {12, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x60, 0x05, 1, 0, 1, 0});
    const QStringList before = QDir(Site->Path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const char* command : {"text", "xlsx"}) {
        const std::vector<std::pair<QStringList, QString>> cases = {
            {{command, "2026oct.qdr"}, "2026oct.qdr"},
            {{command, "2026dec.qdr"}, "symbolic link"},
            {{command, "zero.bin"}, "names no month"},
            {{command, "2026nov.qdr", "-o", "2026nov.qdr"}, "will not write over"},
            {{command, "2026nov.qdr", "-o", Site->Path("2026nov.qdr")}, "will not write over"},
            {{command, "2026nov.qdr", "-o", "2025jan.QDR"}, ".qdr"},
            {{command, "2026nov.qdr", "-o", "link.txt"}, "symbolic link"},
        };
        for (const auto& [args, reason] : cases) {
            const ToolRun run = RunTool(Site->Path(), args);
            EXPECT_EQ(run.Exit, 2) << args.join(' ').toStdString() << "\n" << run.Text().toStdString();
            EXPECT_TRUE(run.Err.contains(reason)) << run.Err.toStdString();
        }
    }
    EXPECT_EQ(QDir(Site->Path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), before) << "nothing written";
    EXPECT_EQ(FileContents(Site->Path("2026nov.qdr")), month);
    EXPECT_EQ(ReadBytes(target), Bytes({1, 2, 3}));
    QFile::remove(Site->Path("link.txt"));
    QFile::remove(Site->Path("2026dec.qdr"));
    QFile::remove(Site->Path("2026oct.qdr"));
    QFile::remove(target);
    QFile::remove(Site->Path("zero.bin"));
}

TEST_F(TextOutput, RecordChoicesAndTables)
{
    const QString powers = View->IntervalLine(0);
    const QString days = View->DayLine(1);
    const QString monthTotal = View->DayLine(0);
    // A block chosen from its end: the rows run upwards from its first record.
    ASSERT_TRUE(View->SetBlockStart(30));
    ASSERT_TRUE(View->SetBlockEnd(10));
    Choice.AllRecords = false;
    QStringList lines = Build();
    QStringList rows = Table(lines, powers);
    ASSERT_EQ(rows.size(), 21);
    EXPECT_EQ(rows.front(), View->IntervalLine(11));
    EXPECT_EQ(rows.back(), View->IntervalLine(31));
    // No day block: only the total, and it is the interval block's.
    rows = Table(lines, days);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_TRUE(rows.front().startsWith(QStringLiteral("Spolu:")));
    EXPECT_NE(rows.front(), monthTotal);

    // All records with a block: from the block's first record to the month's end.
    Choice.AllRecords = true;
    lines = Build();
    rows = Table(lines, powers);
    ASSERT_EQ(rows.size(), View->RecordCount - 10);
    EXPECT_EQ(rows.back(), View->IntervalLine(View->RecordCount));
    EXPECT_EQ(Table(lines, days).size(), View->DayCount + 1);

    // Both tables off: the title, an empty line and the labels of the shown
    // measurements, a meter without a name called as MERANIE calls it; a
    // hidden measurement leaves its label out.
    Choice.Powers = Choice.Days = false;
    View->SetChannelColor(1, 0);
    EXPECT_EQ(Build(), (QStringList{QStringLiteral("ARCHÍV          [November 2026]"), QString(),
                                    QStringLiteral("00: Hlavné meranie"), QStringLiteral("02: Elektromer 2")}));
}

TEST_F(TextOutput, PrintLinesPackRowsSideBySide)
{
    // Three measurements: rows of 43 characters, one a line.
    QStringList lines = Build(80);
    QStringList rows = Table(lines, View->IntervalLine(0));
    ASSERT_EQ(rows.size(), View->RecordCount);
    EXPECT_EQ(rows.at(2), View->IntervalLine(3));

    // One measurement: rows of 23 characters, three a line three blanks apart,
    // under the header three times; the total row on a line of its own.
    View->SetChannelColor(1, 0);
    View->SetChannelColor(2, 0);
    lines = Build(80);
    const QString sep(3, QLatin1Char(' '));
    const QString h = View->IntervalLine(0);
    rows = Table(lines, h + sep + h + sep + h);
    ASSERT_EQ(rows.size(), (View->RecordCount + 2) / 3);
    EXPECT_EQ(rows.front(), View->IntervalLine(1) + sep + View->IntervalLine(2) + sep + View->IntervalLine(3));
    const QString d = View->DayLine(1);
    const QString dsep(((80 % 22) / 3) + 1, QLatin1Char(' '));
    rows = Table(lines, d + dsep + d + dsep + d);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows.front(), View->DayLine(2) + dsep + View->DayLine(3));
    EXPECT_EQ(rows.back(), View->DayLine(0));
}

TEST_F(TextOutput, RowsWiderThanTheLineAskFirst)
{
    int asked = 0;
    // Yes: every row of both tables is cut to the line, one a line.
    QStringList lines = Build(30, [&] { return ++asked > 0; });
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(lines.count(View->IntervalLine(2).left(30)), 1);
    EXPECT_EQ(lines.last(), View->DayLine(0).left(30));
    // No to the day table discards the interval table built before it.
    asked = 0;
    QStringList refused;
    EXPECT_FALSE(BuildText(refused, *View, Choice, 30, [&] { return ++asked == 1; }));
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(refused.isEmpty());
}
