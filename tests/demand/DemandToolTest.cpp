// qdrtool demand over months whose billing demand is worked out by hand:
// each model, the averaging of short intervals, the recommendation against
// a brute-force sum, the rolling average, and the contracts it refuses.
#include "support/DemandMonths.h"
#include "support/ToolRun.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>

namespace {

const QString Header = QStringLiteral(
    "month,model,demand_kw,at,capacity_kw,excess_kw,capacity_charge,excess_charge,total,complete\r\n");

ToolRun Demand(const QTemporaryDir& dir, const QStringList& args) { return RunTool(dir.path(), QStringList{"demand"} << args); }

// The first ten columns of every line: those that were there before the
// contract grew must keep their names, order and values.
QString OldColumns(const QString& csv)
{
    QStringList lines = csv.split(QStringLiteral("\r\n"));
    for (QString& line : lines)
        line = line.section(QLatin1Char(','), 0, 9);
    return lines.join(QStringLiteral("\r\n"));
}

TEST(DemandTool, EachModelOnTheHandMonth)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    WriteMarch(dir.path());
    // Excess 59.50 * 25.333 = 1507.3135: the cents are rounded before the
    // total (2651.34, not 2651.35).
    const std::pair<QString, QString> expected[] = {
        {"max", "2026-03,max,310.00,2026-03-29T03:00:00+02:00,250.50,59.50,1144.03,1507.31,2651.34,true\r\n"},
        {"topn", "2026-03,topn,306.67,2026-03-10T06:45:00+01:00,250.50,56.17,1144.03,1422.95,2566.98,true\r\n"},
        {"window", "2026-03,window,280.00,2026-03-11T07:00:00+01:00,250.50,29.50,1144.03,747.32,1891.35,true\r\n"},
    };
    for (const auto& [model, row] : expected) {
        WriteIni(dir.path(), HandContract(model));
        const ToolRun run = Demand(dir, {"2026mar.qdr", "--format", "csv"});
        ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
        EXPECT_EQ(OldColumns(run.Out), Header + row) << model.toStdString();
    }
    // The text form for people says the same in Slovak.
    const ToolRun text = Demand(dir, {"2026mar.qdr"});
    ASSERT_EQ(text.Exit, 0) << text.Text().toStdString();
    EXPECT_TRUE(text.Out.contains(QStringLiteral("2026-03  window      280,00  11.03.2026 07:00")))
        << text.Out.toStdString();
    EXPECT_TRUE(text.Out.contains(QStringLiteral("1") + QChar(0xA0) + QStringLiteral("891,35  áno")))
        << text.Out.toStdString();
}

TEST(DemandTool, ShortIntervalsMakePeriodsOnlyWhenAllHaveAValue)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    // Fifteen days of November in 5-minute intervals (half the month): the
    // quarter hour 10.11. 10:00 averages 200, 260, 240; 12.11. 09:00 has
    // 400, no value, 400, and 13.11. 08:00 lacks its last record.
    std::vector<uint16_t> times;
    for (uint16_t t : WholeMonthTimes(15, 5))
        if (t != At(13, 8, 10))
            times.push_back(t);
    const std::map<uint16_t, uint16_t> values{{At(10, 10, 0), 200}, {At(10, 10, 5), 260}, {At(10, 10, 10), 240},
                                              {At(12, 9, 0), 400},  {At(12, 9, 5), 0xFFFF}, {At(12, 9, 10), 400},
                                              {At(13, 8, 0), 300},  {At(13, 8, 5), 300}};
    WriteTimedMonth(dir.path(), November2026, 1, 0, times, [&](int k, int) {
        const auto it = values.find(times[size_t(k)]);
        return it == values.end() ? uint16_t(100) : it->second;
    });
    WriteIni(dir.path(), HandContract(QStringLiteral("max"), 12));
    const ToolRun run = Demand(dir, {"2026nov.qdr", "--format=csv"});
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    EXPECT_EQ(OldColumns(run.Out),
              Header + "2026-11,max,233.33,2026-11-10T10:00:00+01:00,250.50,0.00,1144.03,0.00,1144.03,false\r\n");
}

// Twelve months from December 2025, the peak of each on the 15th; April is
// cut short (incomplete) and so left out of the recommendation.
const uint16_t Peaks[12] = {320, 410, 380, 295, 450, 330, 360, 400, 390, 310, 420, 305};
constexpr uint16_t December2025 = 2025 * 12 + 11;

QStringList WriteYear(const QTemporaryDir& dir)
{
    QStringList files;
    for (int i = 0; i < 12; ++i) {
        const uint16_t month = uint16_t(December2025 + i);
        const QDate first(month / 12, month % 12 + 1, 1);
        const int days = month == 2026 * 12 + 3 ? 20 : first.daysInMonth();
        files << QFileInfo(WritePeakMonth(dir.path(), month, days, Peaks[i])).fileName();
    }
    return files;
}

TEST(DemandTool, RecommendationIsTheCheapestWholeCapacityOfABruteForceSum)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    const QStringList files = WriteYear(dir);
    WriteIni(dir.path(), QStringLiteral("[INE]\nTimeZone=Europe/Bratislava\n[ZMLUVA]\nKapacita=2025-12:350,"
                                        "2026-06:355.5\nCenaKapacity=4.5\nCenaPrekrocenia=13.7\nMena=EUR\n"));
    const ToolRun run = Demand(dir, QStringList(files) << "--recommend");
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();

    const auto cents = [](double amount) { return std::round(amount * 100) / 100; };
    const auto cost = [&](double capacity) {
        double total = 0;
        for (int i = 0; i < 12; ++i)
            if (i != 4)
                total += cents(capacity * 4.5) + cents(std::max(0.0, Peaks[i] - capacity) * 13.7);
        return total;
    };
    int best = 0;
    for (int kw = 1; kw <= 500; ++kw)
        if (cost(kw) < cost(best) - 0.001)
            best = kw;
    const QString expected = QStringLiteral("recommended_capacity_kw=%1\ncost=%2\ncurrent_capacity_kw=355.5\n"
                                            "current_cost=%3\nsaving=%4\n")
                                 .arg(best)
                                 .arg(cost(best), 0, 'f', 2)
                                 .arg(cost(355.5), 0, 'f', 2)
                                 .arg(cost(355.5) - cost(best), 0, 'f', 2);
    EXPECT_EQ(run.Out, expected);
    EXPECT_TRUE(run.Err.contains(QLatin1String("2026-04"))) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains(QLatin1String("11 complete months"))) << run.Err.toStdString();
}

TEST(DemandTool, PlanTakesEachMonthOfTheLastYearAsTheSameMonthOfTheNext)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    // 300 kW at the peak of every month but June's 360: a yearly 300 kW
    // paying June's excess at 3 x 4.50 beats the 400 kW contracted.
    QStringList files;
    for (int i = 0; i < 12; ++i) {
        const uint16_t month = uint16_t(December2025 + i);
        const QDate first(month / 12, month % 12 + 1, 1);
        files << QFileInfo(WritePeakMonth(dir.path(), month, first.daysInMonth(), i == 6 ? 360 : 300)).fileName();
    }
    const QString contract = QStringLiteral("[INE]\nTimeZone=Europe/Bratislava\n[ZMLUVA]\nKapacita=2025-12:400:rocna\n"
                                            "CenaKapacity=mesacna:5.20,trojmesacna:4.90,rocna:4.50\n"
                                            "CenaPrekrocenia=3x\nMRK=600\nMinKapacita=20%\n");
    WriteIni(dir.path(), contract);
    const ToolRun run = Demand(dir, QStringList(files) << "--plan");
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    QString expected = QStringLiteral("month,type,capacity_kw,topup_kw,charge\n");
    for (int i = 0; i < 12; ++i)
        expected += QStringLiteral("%1,rocna,300,0,%2\n")
                        .arg(QDate(2026, 12, 1).addMonths(i).toString(QStringLiteral("yyyy-MM")),
                             i == 6 ? "2160.00" : "1350.00");
    expected += QStringLiteral("total=17010.00\ncurrent_total=21600.00\nsaving=4590.00\n");
    EXPECT_EQ(run.Out, expected);

    // A year with an incomplete month has no plan; the month is named.
    QTemporaryDir short_;
    WriteIni(short_.path(), contract);
    const ToolRun refused = Demand(short_, QStringList(WriteYear(short_)) << "--plan");
    EXPECT_EQ(refused.Exit, 2) << refused.Text().toStdString();
    EXPECT_TRUE(refused.Err.contains(QLatin1String("2026-04"))) << refused.Err.toStdString();
}

TEST(DemandTool, RollingAveragesTwelveMonthlyMaximaWithAFloor)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    const QStringList files = WriteYear(dir);
    WriteIni(dir.path(), QStringLiteral("[INE]\nTimeZone=Europe/Bratislava\n[ZMLUVA]\nModel=rolling\nMinimum=330\n"
                                        "Kapacita=350\nCenaKapacity=4.5\nCenaPrekrocenia=13.7\n"));
    // Given out of order; the months are put in order.
    const ToolRun run = Demand(dir, QStringList{files.last()} << files.mid(0, 11) << "--format" << "csv");
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    const QStringList rows = OldColumns(run.Out).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 13) << run.Out.toStdString();
    // December alone: 320 raised to the floor. November: the twelve, each at
    // least 330, sum 4460, incomplete April included: 371.67.
    EXPECT_EQ(rows[1], QStringLiteral("2025-12,rolling,330.00,2025-12-15T12:00:00+01:00,350.00,0.00,1575.00,0.00,1575.00,true"));
    EXPECT_EQ(rows[12], QStringLiteral("2026-11,rolling,371.67,2026-11-15T12:00:00+01:00,350.00,21.67,1575.00,296.88,1871.88,true"));
    EXPECT_TRUE(run.Err.contains(QLatin1String("2025-12 (1)"))) << run.Err.toStdString();
}

TEST(DemandTool, AContractThatCannotBeUsedIsNamedNeverGuessed)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    WriteMarch(dir.path());
    const QString prices = QStringLiteral("CenaKapacity=4\nCenaPrekrocenia=20\n");
    const std::pair<QString, QString> cases[] = {
        {"[ZMLUVA]\nKapacita=abc\n" + prices, "Kapacita=abc"},
        {"[ZMLUVA]\nKapacita=400\nCenaKapacity=4\n", "chýba CenaPrekrocenia"},
        {"[ZMLUVA]\nModel=window\nKapacita=400\n" + prices, "chýba Okno"},
        {"[ZMLUVA]\nModel=window\nOkno=Po-Pi 7-20\nKapacita=400\n" + prices, "Okno=Po-Pi 7-20"},
        {"[ZMLUVA]\nPerioda=10\nKapacita=400\n" + prices, "Perioda=10"},
        {"[ZMLUVA]\nKapacita=2026-04:400\n" + prices, "kapacitu pre mesiac 2026-03"},
        {"[INE]\nMiesto=x\n", "no section ZMLUVA"},
    };
    for (const auto& [ini, said] : cases) {
        WriteIni(dir.path(), ini);
        const ToolRun run = Demand(dir, {"2026mar.qdr"});
        EXPECT_EQ(run.Exit, 2) << run.Text().toStdString();
        EXPECT_TRUE(run.Err.contains(said)) << said.toStdString() << "\n" << run.Err.toStdString();
        EXPECT_TRUE(run.Out.isEmpty()) << run.Out.toStdString();
    }
}

} // namespace
