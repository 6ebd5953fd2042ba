// The spreadsheet output over the program's own spreadsheet server: the
// command stream the driver sends for a month of the simulated regulator
// with every measurement, the workbook that comes of it read back from the
// .xlsx file, and the ways an output ends early.
#include "core/PrintQt.h"
#include "e2e/ExpectedArchive.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include "app/Engine.h"
#include "app/Settings.h"
#include "output/AdvExcel.h"
#include "output/ArchText.h"
#include "output/ExcelError.h"
#include "output/LocateExcel.h"
#include "output/SheetServer.h"
#include "output/SpreadsheetOutput.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

#include <map>

namespace {

using TCells = std::map<std::pair<int, int>, TSheetCell>;

// The first sheet of an .xlsx file as (row, column) -> cell, by unzip.
TCells ReadXlsx(const QString& path)
{
    auto part = [&](const char* name) {
        QProcess p;
        p.start(QStringLiteral("unzip"), {QStringLiteral("-p"), path, QLatin1String(name)});
        p.waitForFinished(10000);
        return p.readAllStandardOutput();
    };
    QStringList strings;
    QXmlStreamReader s(part("xl/sharedStrings.xml"));
    while (s.readNextStartElement() || !s.atEnd())
        if (s.isStartElement() && s.name() == QLatin1String("t"))
            strings << s.readElementText();
    TCells cells;
    QXmlStreamReader x(part("xl/worksheets/sheet1.xml"));
    while (!x.atEnd()) {
        if (x.readNext() != QXmlStreamReader::StartElement || x.name() != QLatin1String("c"))
            continue;
        const QString ref = x.attributes().value(QLatin1String("r")).toString();
        const bool shared = x.attributes().value(QLatin1String("t")) == QLatin1String("s");
        int column = 0;
        int i = 0;
        for (; i < ref.size() && ref[i].isLetter(); ++i)
            column = column * 26 + (ref[i].unicode() - 'A' + 1);
        QString v;
        while (x.readNextStartElement())
            if (x.name() == QLatin1String("v"))
                v = x.readElementText();
        TSheetCell c;
        c.IsNumber = !shared;
        c.Number = shared ? 0 : v.toDouble();
        c.Text = shared ? strings.value(v.toInt()) : QString();
        cells[{ref.mid(i).toInt(), column}] = c;
    }
    return cells;
}

TSheetCell Typed(const QString& text)
{
    TSheetCell c;
    bool number = false;
    const qlonglong v = text.toLongLong(&number);
    c.IsNumber = number;
    c.Number = number ? double(v) : 0;
    c.Text = number ? QString() : text;
    return c;
}

// November 2026 complete, every interval of 15 minutes, with 12 meters (13
// measurements), two of them reactive, and a few intervals without supply.
class ExcelOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        TSimMirror sim({"--generation", "3", "--meters", "12", "--kinds", "6", "--now", "2026-12-01T06:00",
                        "--speed", "0", "--seed", "4", "--gaps", "5,100-103"});
        ASSERT_TRUE(sim.Valid) << sim.Error;
        const TExpectedMonth november = ExpectedArchive(sim.Regulator()).front();
        ASSERT_EQ(november.FileName(), QStringLiteral("2026nov.qdr"));
        QFile f(Dir.filePath(november.FileName()));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(november.Bytes());
        f.close();
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        View = std::make_unique<TDispArch>(Archive.get(), 15);
        ASSERT_TRUE(View->Open(Dir.filePath(november.FileName())));
        ASSERT_EQ(View->SelectedCount, 13);
        TSettings settings;
        for (int n = 1; n <= 12; ++n)
            settings.MeterNames << QStringLiteral("Meter %1").arg(n);
        settings.MeterNames[0] = QStringLiteral("Kompresor \"A\" 50%2");
        settings.MeterNames[3].clear();
        Choice.Caption = QStringLiteral("November 2026");
        Choice.Labels = MeasurementLabels(settings);
        auto server = std::make_unique<TSheetServer>();
        Server = server.get();
        Server->FileName = Dir.filePath(QStringLiteral("2026NOV.xlsx"));
        Server->OnLog = [this](const QString& entry) { Log << entry; };
        Excel = std::make_unique<TAdvExcel>(std::move(server));
        Excel->BurstCount = 32;
    }

    bool Send(const std::function<void(int)>& progress = {}, const std::function<bool()>& busy = {})
    {
        return SendTables(*Excel, *View, Choice, progress, busy);
    }

    // The whole layout: caption, names, interval table, an empty row, day table.
    TCells Layout(int records) const
    {
        TCells want;
        want[{1, 1}] = Typed(Choice.Caption);
        for (int i = 0; i < View->SelectedCount; ++i)
            if (const QString name = Choice.Label(View->SelectedChannel(uint8_t(i))).mid(4); !name.isEmpty())
                want[{1, i + 2}] = Typed(name);
        int row = 3;
        auto put = [&](auto cell) {
            for (int c = 0; c <= View->SelectedCount; ++c)
                if (const QString text = cell(c); !text.isEmpty())
                    want[{row, c + 1}] = Typed(text);
            ++row;
        };
        for (int r = 0; r <= records; ++r)
            put([&](int c) { return View->IntervalCell(r, c); });
        // Stopped inside the interval rows: the day table is its header and
        // the total only.
        const int days = records < View->RecordCount ? 0 : View->DayCount;
        ++row;
        for (int d = 1; d < days + 2; ++d)
            put([&](int c) { return View->DayCell(d, c); });
        put([&](int c) { return View->DayCell(0, c); });
        return want;
    }

    static void ExpectCells(const TCells& got, const TCells& want)
    {
        EXPECT_EQ(got.size(), want.size());
        for (const auto& [at, w] : want) {
            const auto g = got.find(at);
            ASSERT_NE(g, got.end()) << "R" << at.first << "C" << at.second;
            EXPECT_EQ(g->second.IsNumber, w.IsNumber) << "R" << at.first << "C" << at.second;
            EXPECT_EQ(g->second.Number, w.Number) << "R" << at.first << "C" << at.second;
            EXPECT_EQ(g->second.Text, w.Text) << "R" << at.first << "C" << at.second;
        }
    }

    QStringList Executed() const { return Log.filter(QRegularExpression(QStringLiteral("^(execute|refuse) "))); }

    QTemporaryDir Dir;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;
    TTableChoice Choice;
    TSheetServer* Server = nullptr;
    std::unique_ptr<TAdvExcel> Excel;
    QStringList Log;
};

TEST_F(ExcelOutput, CommandStreamOfTwoOutputs)
{
    ASSERT_TRUE(Send());
    const qsizetype first = Executed().size();
    ASSERT_NE(first % 32, 0) << "the second output must start inside a burst";
    ASSERT_TRUE(Send());

    EXPECT_EQ(Log.first(), QStringLiteral("open"));
    EXPECT_EQ(Log.mid(1, 3), (QStringList{QStringLiteral("execute [ERROR(0)]"), QStringLiteral("request Selection: "),
                                          QStringLiteral("execute [ERROR(1)]")}));
    EXPECT_TRUE(Log.contains(QStringLiteral("execute [COLUMN.WIDTH(12,\"C1:C14\")]")));
    EXPECT_TRUE(Log.contains(QStringLiteral("execute [FORMULA(\"Kompresor \"A\" 50%2\", \"R1C3\")]")));
    EXPECT_TRUE(Log.contains(QStringLiteral("execute [FORMULA(\"Elektromer 4\", \"R1C6\")]")));
    EXPECT_EQ(Log.filter(QStringLiteral("refuse ")).size(), 0);

    // Every 32nd command counted over both outputs comes right after a
    // "Ready", and only those wait; some waits found the server still busy.
    int n = 0;
    int waits = 0;
    for (qsizetype i = 0; i < Log.size(); ++i) {
        if (!Log[i].startsWith(QLatin1String("execute ")))
            continue;
        ++n;
        const bool waited = Log[i - 1] == QLatin1String("request Status: Ready");
        EXPECT_EQ(waited, n % 32 == 0) << "command " << n << ": " << Log[i].toStdString();
        waits += waited;
    }
    EXPECT_EQ(waits, n / 32);
    EXPECT_GT(Log.filter(QStringLiteral("request Status: Busy")).size(), 0);
    EXPECT_EQ(Log.last(), QStringLiteral("close"));
    EXPECT_EQ(Log.filter(QStringLiteral("execute [DISABLE.INPUT(FALSE)]")).size(), 2);
}

TEST_F(ExcelOutput, WorkbookHoldsTheLayoutNumbersAsNumbers)
{
    ASSERT_TRUE(Send());
    ASSERT_EQ(Server->SaveError(), QString());
    ASSERT_EQ(Server->SavedPath(), Server->FileName);
    const TCells got = ReadXlsx(Server->SavedPath());
    ExpectCells(got, Layout(View->RecordCount));
    // The caption stays text; a value and a header as the archive shows them.
    EXPECT_EQ(got.at({1, 1}).Text, QStringLiteral("November 2026"));
    EXPECT_EQ(got.at({1, 3}).Text, QStringLiteral("Kompresor \"A\" 50%2"));
    EXPECT_EQ(got.at({1, 6}).Text, QStringLiteral("Elektromer 4"));
    EXPECT_EQ(got.at({3, 4}).Text, QStringLiteral(" 2[kVAr]"));
    EXPECT_TRUE(got.at({4, 2}).IsNumber);

    // A busy server refuses at once; each refused command is sent again
    // after a wait, and nothing is lost.
    Server->MaxPending = 3;
    Excel->BurstCount = -1;
    Log.clear();
    ASSERT_TRUE(Send());
    EXPECT_GT(Log.filter(QStringLiteral("refuse ")).size(), 0);
    ExpectCells(ReadXlsx(Server->SavedPath()), Layout(View->RecordCount));
}

TEST_F(ExcelOutput, EndingEarly)
{
    // A command the spreadsheet will not take: an error after input is
    // re-enabled and the conversation closed.
    Server->Refuse = [](const QString& c) { return c.contains(QLatin1String("\"R10C3\"")); };
    EXPECT_FALSE(Send());
    const QStringList tail = Log.mid(Log.indexOf(QRegularExpression(QStringLiteral("refuse .*"))));
    const QStringList refused = tail.filter(QStringLiteral("refuse "));
    ASSERT_EQ(refused.size(), 2); // once at once, once after a wait
    EXPECT_EQ(refused[0], refused[1]);
    EXPECT_TRUE(tail.contains(QStringLiteral("execute [DISABLE.INPUT(FALSE)]")));
    EXPECT_EQ(tail.last(), QStringLiteral("close"));
    EXPECT_FALSE(Server->InputDisabled());
    EXPECT_FALSE(Excel->Connected());

    // STOP after 40 rows: those rows stay; the day table is cut to its
    // header and total.
    Server->Refuse = nullptr;
    int rows = 0;
    EXPECT_TRUE(Send([&](int) { ++rows; }, [&] { return rows < 40; }));
    EXPECT_EQ(rows, 40);
    ExpectCells(ReadXlsx(Server->SavedPath()), Layout(40));

    // The spreadsheet going away in the middle: the output ends with an
    // error instead of waiting for ever, and keeps what arrived.
    rows = 0;
    EXPECT_FALSE(Send([&](int) {
        if (++rows == 100)
            Server->Close();
    }));
    EXPECT_EQ(rows, 100);
    EXPECT_EQ(ReadXlsx(Server->SavedPath()).count({102, 1}), 1u);

    // No server at all.
    Server->Available = false;
    Excel->Environment = QProcessEnvironment();
    EXPECT_FALSE(Send());
    try {
        Excel->Connect();
        ADD_FAILURE() << "connected to no server";
    } catch (const ExcelError& e) {
        EXPECT_EQ(e.Message, QStringLiteral("Excel could not be launched"));
    }
}

TEST_F(ExcelOutput, ToolWritesTheWindowsWorkbook)
{
    REQUIRE_TOOL();
    SiteDir site(QStringLiteral("[INE]\nIntervaly=4\n[ELEKTROMERY]\nEM01=Kotol\nEM03=Lis\n"));
    ASSERT_TRUE(QFile::copy(Dir.filePath(QStringLiteral("2026nov.qdr")), site.Path(QStringLiteral("2026nov.qdr"))));
    const ToolRun run = RunTool(site.Path(), {QStringLiteral("xlsx"), QStringLiteral("2026nov.qdr")});
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    EXPECT_TRUE(run.Out.startsWith(site.Path(QStringLiteral("2026NOV.xlsx")))) << run.Out.toStdString();
    TSettings settings;
    settings.MeterNames = QStringList{QStringLiteral("Kotol"), QString(), QStringLiteral("Lis")};
    Choice.Labels = MeasurementLabels(settings);
    ASSERT_TRUE(Send());
    ExpectCells(ReadXlsx(site.Path(QStringLiteral("2026NOV.xlsx"))), Layout(View->RecordCount));
}

TEST(SheetServer, TakesCellTextsAsTyped)
{
    TSheetServer server;
    QStringList refused;
    server.OnLog = [&](const QString& e) {
        if (e.startsWith(QLatin1String("refuse ")))
            refused << e.mid(7);
    };
    ASSERT_TRUE(server.Open(QStringLiteral("excel"), QStringLiteral("System")));
    EXPECT_FALSE(server.Execute(QStringLiteral("[FORMULA(\"1\")]"), false)); // no sheet yet
    const QStringList taken = {
        "[WORKBOOK.INSERT(1)]", "[FORMULA(\"'123\", \"R1C1\")]", "[FORMULA(\" -1.5e2 \", \"R1C2\")]",
        "[FORMULA(\"=A1+1\", \"R1C3\")]", "[FORMULA(\"1e999\", \"R1C4\")]", "[FORMULA(\"x\", \"R1C5\")]",
        "[FORMULA(\"\", \"R1C5\")]", "[SELECT(\"R[1]C\")]", "[SELECT(\"RC[1]\")]", "[FORMULA(7)]",
        "[COLUMN.WIDTH(9,\"C2:C3\")]"};
    for (const QString& c : taken)
        EXPECT_TRUE(server.Execute(c, false)) << c.toStdString();
    for (const char* c : {"[SELECT(\"R[-5]C\")]", "[FORMULA(A1)]", "[WORKBOOK.INSERT(3)]", "[RUN(\"x\")]",
                          "[COLUMN.WIDTH(300,\"C1\")]", "[FORMULA(\"1\", \"R0C1\")]"})
        EXPECT_FALSE(server.Execute(QLatin1String(c), false)) << c;
    EXPECT_EQ(refused.size(), 7);
    const TSheet& sheet = server.Sheets().at(0);
    EXPECT_EQ(sheet.Cells.at({1, 1}).Text, QStringLiteral("123"));
    EXPECT_EQ(sheet.Cells.at({1, 2}).Number, -150.0);
    EXPECT_EQ(sheet.Cells.at({1, 3}).Text, QStringLiteral("=A1+1"));
    EXPECT_EQ(sheet.Cells.at({1, 4}).Text, QStringLiteral("1e999"));
    EXPECT_EQ(sheet.Cells.count({1, 5}), 0u);
    EXPECT_TRUE(sheet.Cells.at({2, 2}).IsNumber);
    EXPECT_EQ(sheet.Widths, (std::map<uint32_t, double>{{2, 9.0}, {3, 9.0}}));
    EXPECT_EQ(server.Request(QStringLiteral("Status")), QStringLiteral("Busy"));
    QCoreApplication::processEvents();
    EXPECT_EQ(server.Request(QStringLiteral("Status")), QStringLiteral("Ready"));
    EXPECT_EQ(XlsxFileName(QStringLiteral("2026NOV.TXT")), QStringLiteral("2026NOV.xlsx"));
    EXPECT_EQ(XlsxFileName(QStringLiteral("out/mesiac")), QStringLiteral("out/mesiac.xlsx"));
}

TEST(SpreadsheetProgram, FoundOnThePathAndStartedOnTheWorkbook)
{
    QTemporaryDir bin;
    auto script = [&](const QString& name, const QString& body) {
        QFile f(bin.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(("#!/bin/sh\n" + body + "\n").toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), bin.path());
    EXPECT_FALSE(LocateSpreadsheetProgram(env).Found());
    // Written beside and renamed: the file appears whole, never half-written.
    script(QStringLiteral("gnumeric"), QStringLiteral("echo \"$@\" > \"$0.part\" && mv \"$0.part\" \"$0.args\""));
    script(QStringLiteral("xdg-open"), QString());
    script(QStringLiteral("xdg-mime"), QString()); // no default application
    const TSpreadsheetProgram gnumeric = LocateSpreadsheetProgram(env);
    EXPECT_EQ(gnumeric.Program, bin.filePath(QStringLiteral("gnumeric")));
    script(QStringLiteral("xdg-mime"), QStringLiteral("[ \"$3\" = application/vnd.openxmlformats-officedocument.spreadsheetml.sheet ] && echo calc.desktop"));
    EXPECT_EQ(LocateSpreadsheetProgram(env).Program, bin.filePath(QStringLiteral("xdg-open")));

    ASSERT_TRUE(OpenWorkbook(gnumeric, QStringLiteral("/tmp/a b.xlsx")));
    QFile args(bin.filePath(QStringLiteral("gnumeric.args")));
    for (int i = 0; i < 100 && !args.exists(); ++i)
        QThread::msleep(20);
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    EXPECT_EQ(args.readAll(), QByteArray("/tmp/a b.xlsx\n"));
}

} // namespace
