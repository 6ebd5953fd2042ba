#include "demand/Demand.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace {
constexpr uint16_t NoValue = 0xFFFF;
constexpr int64_t Day = 86400;
// 1970-01-01 as a Julian day.
constexpr int64_t EpochJulianDay = 2440588;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Hundredths of sum / count, half up (sum is never negative).
int64_t Centi(int64_t sum, int64_t count) { return (sum * 200 + count) / (2 * count); }

struct TPeriod {
    int64_t Utc = 0;
    int32_t Offset = 0;
    int64_t Sum = 0;
    int Count = 0;
    int64_t Local() const { return Utc + Offset; }
    int64_t LocalDay() const { return FloorDiv(Local(), Day); }
};

// Hundredths of a percent of cents, half up.
int64_t PercentOf(int64_t cents, int64_t percentCenti) { return (cents * percentCenti + 5000) / 10000; }

// Highest sum first, the earlier among equals.
bool Higher(const TPeriod& a, const TPeriod& b) { return a.Sum != b.Sum ? a.Sum > b.Sum : a.Utc < b.Utc; }

TDemandPeak Peak(const TPeriod& p, int perPeriod) { return {Centi(p.Sum, perPeriod), p.Utc, p.Offset}; }

bool InWindow(const TPeriod& p, const TContract& contract)
{
    const QDate date = QDate::fromJulianDay(EpochJulianDay + p.LocalDay());
    if (std::binary_search(contract.Holidays.begin(), contract.Holidays.end(), date))
        return false;
    const int minute = static_cast<int>(FloorMod(p.Local(), Day) / 60);
    const unsigned bit = 1u << (date.dayOfWeek() - 1);
    return std::any_of(contract.Windows.begin(), contract.Windows.end(), [&](const TDemandWindow& w) {
        return (w.Days & bit) != 0 && minute >= w.From && minute < w.To;
    });
}
} // namespace

QString MonthKey(uint16_t month)
{
    return QStringLiteral("%1-%2").arg(month / 12, 4, 10, QLatin1Char('0')).arg(month % 12 + 1, 2, 10, QLatin1Char('0'));
}

int64_t MonthIntervalCount(uint16_t month, int intervalMinutes, const QTimeZone& zone)
{
    const QDate first(month / 12, month % 12 + 1, 1);
    if (!first.isValid() || intervalMinutes <= 0)
        return 0;
    const QTimeZone z = zone.isValid() ? zone : QTimeZone::utc();
    const int64_t from = QDateTime(first, QTime(0, 0), z).toSecsSinceEpoch();
    const int64_t to = QDateTime(first.addMonths(1), QTime(0, 0), z).toSecsSinceEpoch();
    return (to - from) / (int64_t(intervalMinutes) * 60);
}

int64_t Charge(int64_t centiKw, int64_t price)
{
    // Hundredths times millionths are 1e-8; a cent is 1e6 of them.
    return (centiKw * price + 500000) / 1000000;
}

int64_t MonthCapacityCharge(const TContract& contract, TCapacityType type, int64_t centiKw, int64_t topUpCentiKw)
{
    return Charge(centiKw, contract.PriceOf(type)) + Charge(topUpCentiKw, contract.PriceOf(TCapacityType::Monthly));
}

bool MonthFigures(const TMonthIntervals& month, const TContract& contract, TMonthFigures& figures, QString& problem)
{
    figures = TMonthFigures{};
    figures.Month = month.Month;
    figures.Expected = month.Expected;
    figures.IntervalMinutes = month.IntervalMinutes;
    const int m = month.IntervalMinutes;
    const int length = contract.PeriodMinutes;
    if (m <= 0 || length % m != 0) {
        problem = QStringLiteral("Nesprávne nastavenie ZMLUVA Perioda=%1: mesiac %2 má %3-minútové intervaly !")
                      .arg(length)
                      .arg(MonthKey(month.Month))
                      .arg(m);
        return false;
    }
    const int perPeriod = length / m;

    // An instant given twice (a regulator whose numbering restarted) counts
    // once: the first.
    std::vector<TDemandInterval> intervals = month.Intervals;
    std::stable_sort(intervals.begin(), intervals.end(),
                     [](const TDemandInterval& a, const TDemandInterval& b) { return a.Utc < b.Utc; });
    intervals.erase(std::unique(intervals.begin(), intervals.end(),
                                [](const TDemandInterval& a, const TDemandInterval& b) { return a.Utc == b.Utc; }),
                    intervals.end());

    // Periods by the UTC second they start at: the two passes of the
    // autumn hour read alike on the clock but are different periods.
    std::vector<TPeriod> periods;
    for (const TDemandInterval& i : intervals) {
        if (i.Capacitive >= 0) {
            figures.CapacitiveSum += i.Capacitive;
            ++figures.CapacitiveValued;
        }
        if (i.Kw == NoValue)
            continue;
        if (i.Inductive >= 0) {
            figures.PairedActive += i.Kw;
            figures.PairedInductive += i.Inductive;
            ++figures.Paired;
        }
        ++figures.Valued;
        const int64_t start = i.Utc - FloorMod(i.Utc + i.Offset, int64_t(length) * 60);
        if (periods.empty() || periods.back().Utc != start)
            periods.push_back({start, i.Offset, 0, 0});
        periods.back().Sum += i.Kw;
        ++periods.back().Count;
    }
    figures.Complete = figures.Expected > 0 && figures.Valued * 10 >= figures.Expected * 9;
    std::erase_if(periods, [perPeriod](const TPeriod& p) { return p.Count != perPeriod; });
    if (periods.empty())
        return true;

    const TPeriod& highest = *std::min_element(periods.begin(), periods.end(), Higher);
    figures.Max = Peak(highest, perPeriod);
    switch (contract.Model) {
    case TDemandModel::Max:
    case TDemandModel::Rolling:
        figures.Model = figures.Max;
        break;
    case TDemandModel::Window: {
        const TPeriod* best = nullptr;
        for (const TPeriod& p : periods)
            if (InWindow(p, contract) && (!best || Higher(p, *best)))
                best = &p;
        if (best)
            figures.Model = Peak(*best, perPeriod);
        break;
    }
    case TDemandModel::TopN: {
        // Each day once, by its highest period.
        std::vector<TPeriod> days;
        for (const TPeriod& p : periods) {
            if (!days.empty() && days.back().LocalDay() == p.LocalDay()) {
                if (Higher(p, days.back()))
                    days.back() = p;
            } else {
                days.push_back(p);
            }
        }
        const size_t n = std::min<size_t>(size_t(contract.TopN), days.size());
        std::partial_sort(days.begin(), days.begin() + std::ptrdiff_t(n), days.end(), Higher);
        int64_t sum = 0;
        const TPeriod* first = &days.front();
        for (size_t d = 0; d < n; ++d) {
            sum += days[d].Sum;
            if (days[d].Utc < first->Utc)
                first = &days[d];
        }
        figures.Model = TDemandPeak{Centi(sum, int64_t(perPeriod) * int64_t(n)), first->Utc, first->Offset};
        break;
    }
    }
    return true;
}

bool BillMonth(const TMonthFigures& month, const std::map<uint16_t, TMonthFigures>& all, const TContract& contract,
               TMonthDemand& bill, QString& problem)
{
    bill = TMonthDemand{};
    bill.Month = month.Month;
    bill.Model = contract.Model;
    bill.Complete = month.Complete;
    bill.Valued = month.Valued;
    bill.Expected = month.Expected;
    const TCapacityStep* step = contract.StepIn(month.Month);
    if (!step || !contract.CapacityIn(month.Month, bill.CapacityCentiKw)) {
        problem = QStringLiteral("Nastavenie ZMLUVA Kapacita neurčuje kapacitu pre mesiac %1 !").arg(MonthKey(month.Month));
        return false;
    }
    bill.Demand = month.Model;
    if (contract.Model == TDemandModel::Rolling && month.Max) {
        // The month's own maximum and the 11 before it that are known, each
        // at least the minimum.
        int64_t sum = 0;
        for (int back = 0; back < 12 && month.Month >= back; ++back) {
            const auto it = all.find(static_cast<uint16_t>(month.Month - back));
            const TMonthFigures* f = back == 0 ? &month : it == all.end() ? nullptr : &it->second;
            if (!f || !f->Max)
                continue;
            sum += std::max(f->Max->CentiKw, contract.MinimumCentiKw);
            ++bill.RollingMonths;
        }
        bill.Demand->CentiKw = (sum * 2 + bill.RollingMonths) / (2 * bill.RollingMonths);
    }
    bill.CapacityType = step->Type;
    bill.TopUpCentiKw = contract.TopUpIn(month.Month);
    bill.CapacityCharge = MonthCapacityCharge(contract, step->Type, step->CentiKw, bill.TopUpCentiKw);
    if (bill.Demand) {
        bill.ExcessCentiKw = std::max<int64_t>(0, bill.Demand->CentiKw - bill.CapacityCentiKw);
        bill.ExcessCharge = Charge(bill.ExcessCentiKw, contract.ExcessPriceOf(step->Type));
        // Above the connection's maximum the month pays once more, on top
        // of the excess over the capacity.
        if (contract.MrkCentiKw > 0) {
            bill.MrkExcessCentiKw = std::max<int64_t>(0, bill.Demand->CentiKw - contract.MrkCentiKw);
            bill.MrkExcessCharge = Charge(bill.MrkExcessCentiKw, contract.MrkExcessPrice);
        }
    }
    bill.Total = bill.CapacityCharge + bill.ExcessCharge;
    bill.PowerFactorBilled = contract.PowerFactorMilli > 0;
    if (bill.PowerFactorBilled && month.Paired > 0) {
        bill.CosPhiMilli = CosPhiMilli(month.PairedActive, month.PairedInductive);
        if (bill.CosPhiMilli) {
            bill.SurchargePercentCenti = contract.SurchargeAt(*bill.CosPhiMilli);
            bill.Surcharge = PercentOf(bill.Total + bill.MrkExcessCharge, bill.SurchargePercentCenti);
        }
    }
    // A month whose capacitive channels have no value at all has no
    // figure, not a nought.
    if (!contract.Capacitive.empty() && month.CapacitiveValued > 0) {
        // kvar of each interval over its minutes, in hundredths of kvarh.
        const int64_t parts = int64_t(month.CapacitiveSum) * month.IntervalMinutes * 100;
        bill.CapacitiveCentiKvarh = (parts * 2 + 60) / 120;
        bill.CapacitiveCharge = Charge(*bill.CapacitiveCentiKvarh, contract.CapacitivePrice);
    }
    bill.MonthTotal = bill.Total + bill.MrkExcessCharge + bill.Surcharge + bill.CapacitiveCharge;
    return true;
}

std::optional<int> CosPhiMilli(int64_t active, int64_t reactive)
{
    if (active < 0 || reactive < 0 || (active == 0 && reactive == 0))
        return std::nullopt;
    // m rounds cos phi half up when (m - 0.5) / 1000 <= P / sqrt(P² + Q²),
    // that is 4e6 P² >= (2m - 1)² (P² + Q²); exact in 128 bits.
    using Wide = __int128;
    const Wide p2 = Wide(active) * active;
    const Wide s2 = p2 + Wide(reactive) * reactive;
    const auto atLeast = [&](int m) { return Wide(4000000) * p2 >= Wide(2 * m - 1) * (2 * m - 1) * s2; };
    int m = int(std::llround(1000.0L * active / std::sqrt(static_cast<long double>(s2))));
    while (m > 0 && !atLeast(m))
        --m;
    while (m < 1000 && atLeast(m + 1))
        ++m;
    return m;
}

bool Recommend(const std::vector<TMonthDemand>& rows, const TContract& contract, TRecommendation& r, QString& problem)
{
    r = TRecommendation{};
    if (contract.PureDemandTariff()) {
        problem = QStringLiteral("ZMLUVA Kapacita=0 is a pure demand tariff: there is no capacity to contract");
        return false;
    }
    std::vector<int64_t> demands;
    for (const TMonthDemand& row : rows) {
        if (row.Complete && row.Demand)
            demands.push_back(row.Demand->CentiKw);
        else
            r.LeftOut << MonthKey(row.Month);
    }
    r.Months = static_cast<int>(demands.size());
    if (demands.empty() || rows.empty()) {
        problem = QStringLiteral("no complete month to recommend a capacity from");
        return false;
    }
    r.CurrentCentiKw = rows.back().CapacityCentiKw;
    // One capacity for all, at the price of the type contracted last.
    const int64_t price = contract.PriceOf(rows.back().CapacityType);
    const int64_t excessPrice = contract.ExcessPriceOf(rows.back().CapacityType);
    const auto cost = [&](int64_t capacity) {
        int64_t total = 0;
        for (const int64_t d : demands)
            total += Charge(capacity, price) + Charge(std::max<int64_t>(0, d - capacity), excessPrice);
        return total;
    };
    // Every whole kW up to the highest demand: above it only the capacity
    // charge grows. Rounding to the cent makes the sum not quite linear
    // between the months' demands, so none is skipped.
    const int64_t top = (*std::max_element(demands.begin(), demands.end()) + 99) / 100;
    r.Cost = cost(0);
    for (int64_t kw = 1; kw <= top; ++kw)
        if (const int64_t c = cost(kw * 100); c < r.Cost) {
            r.Cost = c;
            r.CapacityKw = kw;
        }
    r.CurrentCost = cost(r.CurrentCentiKw);
    return true;
}
