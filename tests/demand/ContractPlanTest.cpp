// The contract as distributors bill it: each key read or refused by name,
// the excess over MRK on top of the excess over the capacity, the Czech
// top-up, cos phi from energies made by hand, and the yearly plan against a
// brute force that tries every contract on small cases.
#include "demand/Contract.h"
#include "demand/Demand.h"
#include "demand/DemandText.h"
#include "demand/Plan.h"

#include <QMap>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>

namespace {

TContract Parse(const QString& text)
{
    QMap<QString, QString> keys;
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        keys[line.section(QLatin1Char('='), 0, 0)] = line.section(QLatin1Char('='), 1);
    return ParseContract(
        true,
        [&](const QString& key, QString& value) {
            if (!keys.contains(key))
                return false;
            value = keys[key];
            return true;
        },
        15);
}

const QString Sk = QStringLiteral("Kapacita=2026-01:400:rocna,2026-07:450:mesacna\n"
                                  "CenaKapacity=mesacna:5.20,trojmesacna:4.90,rocna:4.50\n"
                                  "CenaPrekrocenia=3x\nMRK=600\nMinKapacita=20%\nCenaPrekroceniaMRK=40\n");

TEST(Contract, EachKeyIsReadAndEveryOneThatCannotBeUsedIsNamed)
{
    const TContract sk = Parse(Sk + "Ucinnik=0.95\nJalove=02,03\nUcinnikPrirazka=0.94:2,0.90:5,0.85:10\n"
                                    "JaloveKapacitne=04\nCenaKapacitnej=0.02\n");
    ASSERT_TRUE(sk.Problem.isEmpty()) << sk.Problem.toStdString();
    ASSERT_EQ(sk.Capacities.size(), 2u);
    EXPECT_EQ(sk.Capacities[1].Type, TCapacityType::Monthly);
    EXPECT_EQ(sk.PriceOf(TCapacityType::Quarterly), 4900000);
    // 3x of the price in force: 13.50 on a yearly capacity, 15.60 on a monthly.
    EXPECT_EQ(sk.ExcessPriceOf(TCapacityType::Yearly), 13500000);
    EXPECT_EQ(sk.ExcessPriceOf(TCapacityType::Monthly), 15600000);
    EXPECT_EQ(sk.MinCapacityCentiKw, 12000);
    EXPECT_EQ(sk.Inductive, (std::vector<uint8_t>{2, 3}));
    // Below 0.95 the first band at or below cos phi, below the last the last.
    EXPECT_EQ(sk.SurchargeAt(950), 0);
    EXPECT_EQ(sk.SurchargeAt(945), 200);
    EXPECT_EQ(sk.SurchargeAt(930), 500);
    EXPECT_EQ(sk.SurchargeAt(800), 1000);

    const TContract cz = Parse("Pravidla=cz\nKapacita=400\nKapacitaMesacna=2026-02:50,2026-03:0\nMRK=500\n"
                               "CenaKapacity=mesacna:6,rocna:5\nCenaPrekrocenia=20\n");
    ASSERT_TRUE(cz.Problem.isEmpty()) << cz.Problem.toStdString();
    int64_t february = 0;
    ASSERT_TRUE(cz.CapacityIn(2026 * 12 + 1, february));
    EXPECT_EQ(february, 45000);
    // A plain price stays valid, for every type.
    EXPECT_EQ(Parse("Kapacita=400\nCenaKapacity=4.5\nCenaPrekrocenia=20\n").PriceOf(TCapacityType::Yearly), 4500000);

    const QString prices = QStringLiteral("CenaKapacity=4\nCenaPrekrocenia=20\n");
    const std::pair<QString, QString> refused[] = {
        {"Kapacita=400:tyzdenna\n" + prices, "Kapacita=400:tyzdenna"},
        {"Kapacita=400\nCenaKapacity=mesacna:5,denna:4\nCenaPrekrocenia=20\n", "CenaKapacity=mesacna:5,denna:4"},
        {"Kapacita=400\nCenaKapacity=mesacna:5\nCenaPrekrocenia=20\n", "Kapacita potrebuje"},
        {"Kapacita=400:rocna\nCenaKapacity=mesacna:5\nCenaPrekrocenia=20\n", "Kapacita potrebuje"},
        {"Kapacita=400\nCenaKapacity=4\nCenaPrekrocenia=x\n", "CenaPrekrocenia=x"},
        {"Kapacita=700\nMRK=600\n" + prices, "MRK=600"},
        {"Kapacita=100\nMRK=600\nMinKapacita=20%\n" + prices, "MinKapacita=120"},
        {"Kapacita=400\nMinKapacita=20%\n" + prices, "MinKapacita=20%"},
        {"Kapacita=400\nCenaPrekroceniaMRK=40\n" + prices, "CenaPrekroceniaMRK=40"},
        {"Kapacita=400\nPravidla=at\n" + prices, "Pravidla=at"},
        {"Kapacita=400\nKapacitaMesacna=2026-01:50\n" + prices, "KapacitaMesacna=2026-01:50"},
        {"Pravidla=cz\nKapacita=400:mesacna\n" + prices, "Kapacita=400:mesacna"},
        {"Pravidla=cz\nKapacita=400\nKapacitaMesacna=2026-01:150\nMRK=500\n" + prices, "Kapacita a KapacitaMesacna"},
        {"Kapacita=400\nUcinnik=1.2\n" + prices, "Ucinnik=1.2"},
        {"Kapacita=400\nUcinnik=0.95\nUcinnikPrirazka=0.9:5\n" + prices, "chýba Jalove"},
        {"Kapacita=400\nUcinnik=0.95\nJalove=00\nUcinnikPrirazka=0.9:5\n" + prices, "Jalove=00"},
        {"Kapacita=400\nUcinnik=0.95\nJalove=02\n" + prices, "chýba UcinnikPrirazka"},
        {"Kapacita=400\nUcinnik=0.95\nJalove=02\nUcinnikPrirazka=0.85:10,0.90:5\n" + prices, "UcinnikPrirazka="},
        {"Kapacita=400\nJalove=02\nUcinnikPrirazka=0.90:5\n" + prices, "UcinnikPrirazka=0.90:5"},
        {"Kapacita=400\nCenaKapacitnej=0.02\n" + prices, "CenaKapacitnej=0.02"},
        {"Kapacita=400\nJaloveKapacitne=04\n" + prices, "chýba CenaKapacitnej"},
    };
    for (const auto& [ini, said] : refused)
        EXPECT_TRUE(Parse(ini).Problem.contains(said)) << ini.toStdString() << " -> " << Parse(ini).Problem.toStdString();
}

// A month's figures of one period at demand kW, with its energies.
TMonthFigures Figures(uint16_t month, int64_t demandCentiKw)
{
    TMonthFigures f;
    f.Month = month;
    f.Complete = true;
    f.Max = f.Model = TDemandPeak{demandCentiKw, 0, 0};
    return f;
}

TEST(Contract, ExcessOverMrkIsChargedOnceOnTopAndTheCzechTopUpAddsToTheYearlyPart)
{
    // Demand 650 kW against 400 kW (rocna) and MRK 600: the excess over the
    // capacity 250 kW at 3 x 4.50, and once more the 50 kW over MRK at 40.
    const TContract sk = Parse(Sk);
    TMonthDemand bill;
    QString problem;
    ASSERT_TRUE(BillMonth(Figures(2026 * 12 + 2, 65000), {}, sk, bill, problem)) << problem.toStdString();
    EXPECT_EQ(bill.CapacityType, TCapacityType::Yearly);
    EXPECT_EQ(bill.CapacityCharge, 180000);
    EXPECT_EQ(bill.ExcessCentiKw, 25000);
    EXPECT_EQ(bill.ExcessCharge, 337500);
    EXPECT_EQ(bill.MrkExcessCentiKw, 5000);
    EXPECT_EQ(bill.MrkExcessCharge, 200000);
    EXPECT_EQ(bill.Total, 517500);
    EXPECT_EQ(bill.MonthTotal, 717500);
    // Under MRK nothing over it is charged.
    ASSERT_TRUE(BillMonth(Figures(2026 * 12 + 2, 59000), {}, sk, bill, problem));
    EXPECT_EQ(bill.MrkExcessCharge, 0);
    EXPECT_EQ(bill.MonthTotal, bill.Total);

    // February: 400 yearly at 5 and 50 top-up at 6, 480 kW drawn: 30 kW over.
    const TContract cz = Parse("Pravidla=cz\nKapacita=400\nKapacitaMesacna=2026-02:50,2026-03:0\nMRK=500\n"
                               "CenaKapacity=mesacna:6,rocna:5\nCenaPrekrocenia=20\n");
    ASSERT_TRUE(BillMonth(Figures(2026 * 12 + 1, 48000), {}, cz, bill, problem)) << problem.toStdString();
    EXPECT_EQ(bill.CapacityCentiKw, 45000);
    EXPECT_EQ(bill.TopUpCentiKw, 5000);
    EXPECT_EQ(bill.CapacityCharge, 200000 + 30000);
    EXPECT_EQ(bill.ExcessCharge, 60000);
    ASSERT_TRUE(BillMonth(Figures(2026 * 12 + 2, 48000), {}, cz, bill, problem));
    EXPECT_EQ(bill.CapacityCentiKw, 40000);
    EXPECT_EQ(bill.ExcessCharge, 160000);
}

TEST(Contract, CosPhiComesFromTheMonthsEnergiesAndAMonthWithoutReactiveDataSaysSo)
{
    const TContract c = Parse(Sk + "Ucinnik=0.95\nJalove=02\nUcinnikPrirazka=0.94:2,0.90:5,0.85:10\n"
                                   "JaloveKapacitne=04\nCenaKapacitnej=0.02\n");
    ASSERT_TRUE(c.Problem.isEmpty()) << c.Problem.toStdString();
    const auto month = [&](int32_t inductive, int32_t capacitive) {
        TMonthIntervals m;
        m.Month = 2026 * 12 + 2;
        m.Expected = 8;
        // 8 quarter hours: P 100 kW in each (the fourth without a value),
        // Q as given; the capacitive channel 12 kvar in the first four.
        for (int i = 0; i < 8; ++i)
            m.Intervals.push_back({1772323200 + i * 900, 3600, uint16_t(i == 3 ? 0xFFFF : 100),
                                   i == 5 ? -1 : inductive, i < 4 ? capacitive : -1});
        TMonthFigures f;
        QString problem;
        EXPECT_TRUE(MonthFigures(m, c, f, problem)) << problem.toStdString();
        TMonthDemand bill;
        EXPECT_TRUE(BillMonth(f, {}, c, bill, problem)) << problem.toStdString();
        return bill;
    };
    // Q 40 beside P 100 in the 6 intervals having both: 600 / sqrt(600² + 240²)
    // = 0.92848, 0.928: 5 % on 400 kW at 4.50 (1800.00), 90.00.
    TMonthDemand b = month(40, 12);
    ASSERT_TRUE(b.CosPhiMilli.has_value());
    EXPECT_EQ(*b.CosPhiMilli, 928);
    EXPECT_EQ(b.SurchargePercentCenti, 500);
    EXPECT_EQ(b.Surcharge, 9000);
    // 4 x 12 kvar for a quarter hour: 12 kvarh at 0.02.
    ASSERT_TRUE(b.CapacitiveCentiKvarh.has_value());
    EXPECT_EQ(*b.CapacitiveCentiKvarh, 1200);
    EXPECT_EQ(b.CapacitiveCharge, 24);
    EXPECT_EQ(b.MonthTotal, 180000 + 9000 + 24);
    // Q 75 makes 0.8 exactly: below the last band, its 10 %.
    b = month(75, 12);
    EXPECT_EQ(*b.CosPhiMilli, 800);
    EXPECT_EQ(b.Surcharge, 18000);
    // No reactive value at all: no cos phi and no surcharge, said in the CSV
    // by empty columns, and no capacitive energy rather than none of it.
    b = month(-1, -1);
    EXPECT_FALSE(b.CosPhiMilli.has_value());
    EXPECT_EQ(b.Surcharge, 0);
    EXPECT_FALSE(b.CapacitiveCentiKvarh.has_value());
    const QStringList row = QString::fromUtf8(DemandCsv({b})).split(QStringLiteral("\r\n")).value(1).split(QLatin1Char(','));
    ASSERT_EQ(row.size(), 20);
    EXPECT_EQ(row.mid(10), QStringList({"rocna", "0.00", "0.00", "0.00", "", "", "", "", "", "1800.00"}));
}

// Every contract the rules allow over months, tried one by one; charges in
// cents by plain arithmetic of kW and prices in whole cents.
struct TBrute {
    std::vector<int64_t> Demand; // whole kW
    int64_t Monthly = 0, Quarterly = 0, Yearly = 0, Excess = 0; // cents per kW
    int64_t Low = 0, High = 0;
    int64_t Times = 0; // the excess at this many times the capacity's price instead
    // sk over a whole year: the least from a month on is remembered, as
    // trying every contract of twelve months one by one would take ages.
    mutable std::map<size_t, int64_t> Known;
    bool Remember = false;
    int64_t Charge(int64_t price, int64_t kw, int64_t topUp, size_t month) const
    {
        return kw * price + topUp * Monthly +
               std::max<int64_t>(0, Demand[month] - kw - topUp) * (Times > 0 ? Times * price : Excess);
    }
    int64_t Sk(size_t from) const
    {
        if (from >= Demand.size())
            return 0;
        if (const auto it = Known.find(from); Remember && it != Known.end())
            return it->second;
        int64_t best = INT64_MAX;
        const std::pair<int64_t, size_t> types[] = {{Monthly, 1}, {Quarterly, 3}, {Yearly, 12}};
        for (const auto& [price, months] : types)
            for (int64_t kw = Low; kw <= High; ++kw) {
                int64_t cost = 0;
                size_t m = from;
                for (; m < Demand.size() && m < from + months; ++m)
                    cost += Charge(price, kw, 0, m);
                best = std::min(best, cost + Sk(m));
            }
        return Known[from] = best;
    }
    // The yearly part only rises within the year; any top-up up to High.
    int64_t Cz(size_t month, int64_t yearly) const
    {
        if (month >= Demand.size())
            return 0;
        int64_t best = INT64_MAX;
        for (int64_t y = yearly; y <= High; ++y)
            for (int64_t t = 0; y + t <= High; ++t)
                best = std::min(best, Charge(Yearly, y, t, month) + Cz(month + 1, y));
        return best;
    }
};

TContract Priced(const TBrute& b, bool cz)
{
    const QString text = QStringLiteral("%1Kapacita=1:rocna\nCenaKapacity=mesacna:%2,trojmesacna:%3,rocna:%4\n"
                                        "CenaPrekrocenia=%5\nMRK=%6\nMinKapacita=%7\n")
                             .arg(cz ? QStringLiteral("Pravidla=cz\n") : QString())
                             .arg(b.Monthly / 100.0)
                             .arg(b.Quarterly / 100.0)
                             .arg(b.Yearly / 100.0)
                             .arg(b.Excess / 100.0)
                             .arg(b.High)
                             .arg(b.Low);
    TContract c = Parse(text);
    EXPECT_TRUE(c.Problem.isEmpty()) << c.Problem.toStdString() << text.toStdString();
    return c;
}

std::vector<TPlanMonth> Months(const std::vector<int64_t>& demand)
{
    std::vector<TPlanMonth> months;
    for (size_t i = 0; i < demand.size(); ++i)
        months.push_back({uint16_t(2027 * 12 + i), demand[i] * 100, 0});
    return months;
}

TEST(Plan, ASpikeMonthIsPaidAsExcessUnderAYearlyCapacityWhenThatIsCheaper)
{
    // 300 kW all year but July's 360: a yearly 300 and July's 60 kW excess at
    // 3 x 4.50 (810.00) costs less than any capacity raised for July.
    std::vector<int64_t> demand(12, 300);
    demand[6] = 360;
    const TContract c = Parse(QStringLiteral("Kapacita=2026-01:400:rocna\n"
                                             "CenaKapacity=mesacna:5.20,trojmesacna:4.90,rocna:4.50\n"
                                             "CenaPrekrocenia=3x\nMRK=600\nMinKapacita=20%\n"));
    ASSERT_TRUE(c.Problem.isEmpty()) << c.Problem.toStdString();
    TPlan plan;
    QString problem;
    ASSERT_TRUE(PlanContract(Months(demand), c, plan, problem)) << problem.toStdString();
    ASSERT_EQ(plan.Months.size(), 12u);
    for (const TPlanStep& s : plan.Months) {
        EXPECT_EQ(s.Type, TCapacityType::Yearly);
        EXPECT_EQ(s.CapacityKw, 300);
    }
    EXPECT_EQ(plan.Total, 12 * 135000 + 81000);
    // The contract as it stands: 400 kW rocna all year.
    EXPECT_EQ(plan.CurrentTotal, 12 * 180000);
    const QStringList lines = PlanLines(plan);
    EXPECT_EQ(lines.value(7), QStringLiteral("2027-07,rocna,300,0,2160.00"));
    EXPECT_EQ(lines.value(13), QStringLiteral("total=17010.00"));

    // Every contract of the year (whole kW from the minimum to MRK) costs
    // no less.
    TBrute b;
    b.Demand = demand;
    b.Monthly = 520;
    b.Quarterly = 490;
    b.Yearly = 450;
    b.Low = 120;
    b.High = 600;
    b.Times = 3;
    b.Remember = true;
    EXPECT_EQ(b.Sk(0), plan.Total);
}

TEST(Plan, DynamicProgrammingMatchesABruteForceOnSmallCases)
{
    std::mt19937 random(35);
    for (int round = 0; round < 12; ++round) {
        TBrute b;
        const size_t n = round < 6 ? 5 : 4;
        for (size_t i = 0; i < n; ++i)
            b.Demand.push_back(int64_t(random() % 6));
        b.Yearly = 100 + int64_t(random() % 20);
        b.Quarterly = b.Yearly + int64_t(random() % 20);
        b.Monthly = b.Quarterly + int64_t(random() % 30);
        b.Excess = b.Monthly + int64_t(random() % 400);
        b.Low = int64_t(random() % 2);
        b.High = 5;
        const bool cz = round >= 6;
        const TContract c = Priced(b, cz);
        TPlan plan;
        QString problem;
        ASSERT_TRUE(PlanContract(Months(b.Demand), c, plan, problem)) << problem.toStdString();
        const int64_t brute = cz ? b.Cz(0, b.Low) : b.Sk(0);
        EXPECT_EQ(plan.Total, brute) << "round " << round;
        // The plan's months are what it says it costs, and keep the rules.
        int64_t sum = 0;
        for (size_t i = 0; i < plan.Months.size(); ++i) {
            const TPlanStep& s = plan.Months[i];
            sum += s.Charge;
            EXPECT_GE(s.CapacityKw, b.Low);
            EXPECT_LE(s.CapacityKw + s.TopUpKw, b.High);
            if (cz && i > 0) {
                EXPECT_GE(s.CapacityKw, plan.Months[i - 1].CapacityKw);
            }
        }
        EXPECT_EQ(sum, plan.Total);
    }
}

} // namespace
