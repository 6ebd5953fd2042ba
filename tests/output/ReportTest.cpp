// qdrtool report over a month whose peak, energies and exceedances are
// known, read back from the PDF with the poppler tools.
#include "support/HandMonth.h"
#include "support/SmtpSink.h"
#include "support/ToolRun.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
QString Poppler(const QString& tool, const QStringList& args)
{
    QProcess p;
    p.start(tool, args);
    return p.waitForFinished(60000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : "<failed>";
}

QString Info(const QString& pdf, const QString& key)
{
    return Poppler("pdfinfo", {pdf}).section(key + ":", 1).section('\n', 0, 0).trimmed();
}

QString Text(const QString& pdf, int first, int last)
{
    return Poppler("pdftotext", {"-layout", "-f", QString::number(first), "-l", QString::number(last), pdf, "-"});
}

// November 2026, 30 days: channel 0 draws 100 kW, except 250 on 11.11. at
// 10:00 and again on 21.11. at 20:00 (followed by one interval of 0), 210
// on 16.11. at 15:00 and no value on 01.11. at 01:15; channel 1 draws 50 kW
// with three values missing;
// channel 2 is reactive at 20 kVAr.
uint16_t Known(int k, int c)
{
    if (c == 1)
        return k % 1000 == 5 ? 0xFFFF : 50;
    if (c == 2)
        return 20;
    switch (k) {
    case 5: return 0xFFFF;
    case 960 + 40: return 250;  // day 11, interval 40
    case 1440 + 60: return 210; // day 16, interval 60
    case 1920 + 80: return 250; // day 21, interval 80
    case 1920 + 81: return 0;
    default: return 100;
    }
}

struct Site {
    QTemporaryDir Dir;
    QString Month;
    explicit Site(uint16_t month = 2026 * 12 + 10, int days = 30)
    {
        Month = WriteHandMonth(Dir.path(), 3, days, 2, Known, month);
        Ini("");
    }
    void Ini(const QString& more)
    {
        QFile f(Dir.filePath("qdrwin.ini"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(("[INE]\nMiesto=Závod Sever\n[ELEKTROMERY]\nEM01=Kompresory\n" + more).toUtf8());
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
};
} // namespace

TEST(ReportTool, TheSummaryTellsTheKnownMonthAndTheTablesAndGraphsFollow)
{
    REQUIRE_TOOL();
    Site site;
    const ToolRun run = RunTool(site.Dir.path(), {"report", "2026nov.qdr", "--limit", "200"}, 120000);
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    const QString pdf = site.Path("2026NOV.pdf");
    ASSERT_TRUE(run.Out.contains(pdf)) << run.Out.toStdString();
    EXPECT_EQ(QDir(site.Dir.path()).entryList(QDir::Files).filter(".pdf"), QStringList{"2026NOV.pdf"})
        << "no temporary file is left";
    EXPECT_EQ(Info(pdf, "Title"), QStringLiteral("November 2026 – Mesačný prehľad"));
    EXPECT_TRUE(Info(pdf, "Page size").contains("(A4)"));
    const QString fonts = Poppler("pdffonts", {pdf});
    EXPECT_FALSE(fonts.contains(QRegularExpression(" no +(yes|no) +(yes|no) +\\d+ +\\d+\\n"))) << fonts.toStdString();

    const QString page1 = Text(pdf, 1, 1).simplified();
    for (const char* said : {
             "November 2026", "Odberné miesto: Závod Sever", "Záznamy: 2880 intervalov z 2880 v mesiaci, bez medzier",
             // 288 000 + 150 + 110 + 150 - 100 - 100 = 288 210 kW over 15
             // minutes; the mean over the 2879 intervals with a value.
             "00: Hlavné meranie 72052 kWh 250 kW 11.11.2026 10:00 100,1 kW 1",
             "01: Kompresory 35962 kWh 50 kW 01.11.2026 00:00 50,0 kW 3", "02: Elektromer 2 14400 kVArh 20 kVAr",
             "1. 11.11.2026 10:00 250 kW 6.", "2. 21.11.2026 20:00 250 kW", "3. 16.11.2026 15:00 210 kW",
             "Limit 200 kW bol prekročený v 3 intervaloch, najviac o 50 kW (11.11.2026 10:00).",
             "Prvé prekročenie 11.11.2026 10:00, posledné 21.11.2026 20:00.",
             "11.11.: 2437 kWh (najviac)", "Intervaly bez hodnoty merania 00 v dňoch: 01.11. (1)"})
        EXPECT_TRUE(page1.contains(QString::fromUtf8(said))) << said << "\n" << page1.toStdString();

    // Three channels fit a line: one interval table, one day table, then
    // the three graphs in strips four to a page.
    const int pages = Info(pdf, "Pages").toInt();
    const QString rest = Text(pdf, 2, pages);
    EXPECT_TRUE(rest.contains(QRegularExpression("11\\.11\\. +10:00 +250 +50 +20\\n")));
    EXPECT_TRUE(rest.contains(QRegularExpression("01\\.11\\. +01:15 +\\? +\\? +20\\n")));
    EXPECT_TRUE(rest.contains(QRegularExpression("Spolu: +72052 +35962 +14400\\n")));
    EXPECT_EQ(rest.count("ARCHÍV"), 2);
    const QString graphs = Text(pdf, pages - 2, pages);
    EXPECT_EQ(graphs.count("November 2026"), 12) << "four strips for each of three graphs";
    EXPECT_TRUE(graphs.contains("01: Kompresory"));

    // On paper: the highest day's bar is black, the other days grey; the
    // graph pages carry curves, not blank strips.
    Poppler("pdftoppm", {"-r", "40", "-gray", "-png", pdf, site.Path("page")});
    const QImage first(site.Path(QStringLiteral("page-%1.png").arg(1, QString::number(pages).size(), 10, QChar('0'))));
    ASSERT_FALSE(first.isNull());
    // A bar is a column of many like pixels; text is not.
    int black = 0, grey = 0;
    for (int x = 0; x < first.width(); ++x) {
        int dark = 0, mid = 0;
        for (int y = first.height() / 2; y < first.height(); ++y) {
            const int g = qGray(first.pixel(x, y));
            dark += g < 60;
            mid += g > 120 && g < 200;
        }
        black += dark > 15;
        grey += mid > 15;
    }
    EXPECT_GT(black, 0);
    EXPECT_GT(grey, 15 * black) << "29 grey bars to one black";
}

TEST(ReportTool, LastMonthMailedAndTheWaysItFails)
{
    REQUIRE_TOOL();
    const QDate last = QDate::currentDate().addMonths(-1);
    Site site(uint16_t(last.year() * 12 + last.month() - 1), last.daysInMonth());
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    site.Ini(QStringLiteral("[MAIL]\nHost=127.0.0.1\nPort=%1\nUser=tester\nFromAdr=qdr@site.sk\nToAdr=jan@firma.sk\n")
                 .arg(sink.Port));
    const ToolRun mailed = RunTool(site.Dir.path(), {"report", "last", "--mail", "--to", "Vedenie <ved@firma.sk>"}, 120000);
    ASSERT_EQ(mailed.Exit, 0) << mailed.Text().toStdString();
    const QString month = MonthText(uint16_t(last.year() * 12 + last.month() - 1));
    const QByteArray message = sink.Message();
    EXPECT_TRUE(message.contains(("\r\nSubject: Mesacny archiv " + month + "\r\n").toUtf8())) << message.left(400).data();
    QFile pdf(site.Path(month + ".pdf"));
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(message.contains(("filename=\"" + month + ".pdf\"").toUtf8()));
    EXPECT_TRUE(message.contains(pdf.readAll().left(45).toBase64()));

    // The server gone: written, not sent, exit 1.
    site.Ini("[MAIL]\nHost=127.0.0.1\nPort=1\nFromAdr=qdr@site.sk\nToAdr=jan@firma.sk\n");
    const ToolRun unsent = RunTool(site.Dir.path(), {"report", "last", "-o", "x.pdf", "--mail"}, 120000);
    EXPECT_EQ(unsent.Exit, 1) << unsent.Text().toStdString();
    EXPECT_TRUE(QFile::exists(site.Path("x.pdf")));

    // Usage and files: exit 2 before anything is written; a folder that
    // cannot take the PDF, exit 4 and nothing left behind.
    EXPECT_EQ(RunTool(site.Dir.path(), {"report", "nic.qdr"}).Exit, 2);
    EXPECT_EQ(RunTool(site.Dir.path(), {"report", "last", "--limit", "-5"}).Exit, 2);
    EXPECT_EQ(RunTool(site.Dir.path(), {"report", "last", "--to", "a@b.sk"}).Exit, 2);
    site.Ini("");
    EXPECT_EQ(RunTool(site.Dir.path(), {"report", "last", "--mail"}).Exit, 2) << "no MAIL Host";
    const ToolRun denied = RunTool(site.Dir.path(), {"report", "last", "-o", "chyba/x.pdf"}, 120000);
    EXPECT_EQ(denied.Exit, 4) << denied.Text().toStdString();
    EXPECT_FALSE(QDir(site.Path("chyba")).exists());
}

TEST(ReportTool, TheSummarySaysWhichLimitItUsesAndNamesDaysWithoutRecordsButNoImpossibleOne)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    // November 2024: nothing at all from the 3rd to the 5th, and one record
    // stamped 31.11. far above the limit.
    std::vector<uint16_t> times;
    for (int d = 1; d <= 30; ++d)
        for (int m = 0; m < 1440 && (d < 3 || d > 5); m += 15)
            times.push_back(At(d, 0, m));
    times.push_back(At(31, 10, 0));
    const int last = int(times.size()) - 1;
    WriteTimedMonth(dir.path(), 2024 * 12 + 10, 1, 0, times, [last](int k, int) { return uint16_t(k == last ? 900 : 100); });
    const ToolRun run = RunTool(dir.path(), {"report", "2024nov.qdr", "--limit", "200"}, 120000);
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    const QString page1 = Text(dir.filePath("2024NOV.pdf"), 1, 1).simplified();
    for (const char* said : {"Záznamy: 2592 intervalov z 2880 v mesiaci",
                             "1 záznam s dňom, ktorý mesiac nemá, nie je započítaný.",
                             "Limit 200 kW nebol prekročený.",
                             "Limit 200 kW je porovnaný so všetkými intervalmi vrátane nočných (NT)",
                             "Dni bez záznamov: 03.11.–05.11."})
        EXPECT_TRUE(page1.contains(QString::fromUtf8(said))) << said << "\n" << page1.toStdString();
    EXPECT_FALSE(page1.contains("31.11")) << page1.toStdString();
}
