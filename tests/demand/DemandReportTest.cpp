// Page 1 of the monthly report tells the reserved capacity: the month's
// billing demand and charge, the months of the year so far, and the
// capacity that would have cost clearly less.
#include "support/DemandMonths.h"
#include "support/ToolRun.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString PageText(const QString& pdf)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {"-layout", "-f", "1", "-l", "1", pdf, "-"});
    return p.waitForFinished(60000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : "<failed>";
}

TEST(DemandReport, PageOneTellsTheCapacityTheYearAndABetterCapacity)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    WriteMarch(dir.path());
    WritePeakMonth(dir.path(), 2026 * 12, 31, 400);    // January
    WritePeakMonth(dir.path(), 2026 * 12 + 1, 20, 380); // February, twenty days
    WriteIni(dir.path(), HandContract());
    const ToolRun run = RunTool(dir.path(), {"report", "2026mar.qdr"}, 120000);
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    const QString page = PageText(dir.filePath(QStringLiteral("2026MAR.pdf"))).simplified();
    // simplified() makes the no-break spaces between thousands plain ones.
    const QString nbsp(QLatin1Char(' '));
    for (const QString& said :
         {QStringLiteral("Rezervovaná kapacita"),
          QStringLiteral("Fakturačné maximum 310,00 kW, 29.03.2026 03:00 (najvyššia 15-minútová perióda)."),
          QStringLiteral("Kapacita 250,50 kW × 4,567 EUR/kW = 1") + nbsp + QStringLiteral("144,03 EUR"),
          QStringLiteral("Prekročenie 59,50 kW × 25,333 EUR/kW = 1") + nbsp + QStringLiteral("507,31 EUR"),
          QStringLiteral("Spolu za mesiac 2") + nbsp + QStringLiteral("651,34 EUR"),
          QStringLiteral("január 400,00 15.01. 12:00 250,50 149,50"),
          QStringLiteral("február * 380,00"),
          // January and March are complete: 400 kW costs 2 * 1826.80, the
          // contract 2 * 1144.03 + 3787.28 + 1507.31.
          QStringLiteral("Podľa 2 úplných mesiacov do 2026-03 by bola najvýhodnejšia rezervovaná kapacita 400 kW: 3") +
              nbsp + QStringLiteral("653,60 EUR namiesto 7") + nbsp + QStringLiteral("582,65 EUR pri 250,50 kW.")})
        EXPECT_TRUE(page.contains(said)) << said.toStdString() << "\n" << page.toStdString();

    // A typed capacity under MRK, with a power factor the month has no
    // reactive data for: 250.50 kW at 4.50, 59.50 kW at 3 x 4.50, and the
    // 10 kW over MRK at 40 besides.
    WriteIni(dir.path(), QStringLiteral("[INE]\nTimeZone=Europe/Bratislava\n[ZMLUVA]\nKapacita=250.5:rocna\n"
                                        "CenaKapacity=mesacna:5.20,rocna:4.50\nCenaPrekrocenia=3x\nMRK=300\n"
                                        "CenaPrekroceniaMRK=40\nUcinnik=0.95\nJalove=01\nUcinnikPrirazka=0.90:5\n"));
    const ToolRun sk = RunTool(dir.path(), {"report", "2026mar.qdr"}, 120000);
    ASSERT_EQ(sk.Exit, 0) << sk.Text().toStdString();
    const QString skPage = PageText(dir.filePath(QStringLiteral("2026MAR.pdf"))).simplified();
    for (const QString& said :
         {QStringLiteral("Kapacita 250,50 kW ročná × 4,50 EUR/kW = 1") + nbsp + QStringLiteral("127,25 EUR"),
          QStringLiteral("Prekročenie 59,50 kW × 13,50 EUR/kW = 803,25 EUR"),
          QStringLiteral("Nad MRK 300 kW: 10,00 kW × 40,00 EUR/kW = 400,00 EUR"),
          QStringLiteral("Účinník: mesiac je bez údajov o jalovej energii"),
          QStringLiteral("Spolu za mesiac 2") + nbsp + QStringLiteral("330,50 EUR"),
          QStringLiteral("marec 310,00 29.03. 03:00 250,50 ročná 59,50 1") + nbsp +
              QStringLiteral("127,25 803,25 400,00 - - 2") + nbsp + QStringLiteral("330,50")})
        EXPECT_TRUE(skPage.contains(said)) << said.toStdString() << "\n" << skPage.toStdString();

    // A contract that cannot be used is said on the page and on stderr.
    WriteIni(dir.path(), HandContract() + QStringLiteral("Mena=\n"));
    const ToolRun broken = RunTool(dir.path(), {"report", "2026mar.qdr"}, 120000);
    ASSERT_EQ(broken.Exit, 0) << broken.Text().toStdString();
    EXPECT_TRUE(broken.Err.contains(QLatin1String("ZMLUVA Mena="))) << broken.Err.toStdString();
    EXPECT_TRUE(PageText(dir.filePath(QStringLiteral("2026MAR.pdf"))).simplified().contains(
        QStringLiteral("Nesprávne nastavenie ZMLUVA Mena=")));
}

} // namespace
