#include "demand/Plan.h"

#include "demand/DemandText.h"

#include <algorithm>
#include <limits>

namespace {
constexpr int64_t Never = std::numeric_limits<int64_t>::max() / 4;

int64_t CeilKw(int64_t centiKw) { return (centiKw + 99) / 100; }
} // namespace

int64_t PlanMonthCharge(const TContract& contract, const TPlanMonth& month, TCapacityType type, int64_t centiKw,
                        int64_t topUpCentiKw)
{
    const int64_t capacity = centiKw + topUpCentiKw;
    int64_t base = MonthCapacityCharge(contract, type, centiKw, topUpCentiKw) +
                   Charge(std::max<int64_t>(0, month.DemandCentiKw - capacity), contract.ExcessPriceOf(type));
    if (contract.MrkCentiKw > 0)
        base += Charge(std::max<int64_t>(0, month.DemandCentiKw - contract.MrkCentiKw), contract.MrkExcessPrice);
    return base + (base * month.SurchargePercentCenti + 5000) / 10000;
}

std::vector<TCapacityType> PlanTypes(const TContract& contract)
{
    if (!contract.TypedPrices)
        return {TCapacityType::Any};
    std::vector<TCapacityType> types;
    for (const TCapacityType t : {TCapacityType::Monthly, TCapacityType::Quarterly, TCapacityType::Yearly})
        if (contract.PriceOf(t) > 0)
            types.push_back(t);
    return types;
}

void PlanRange(const TContract& contract, const std::vector<TPlanMonth>& months, int64_t& lowKw, int64_t& highKw)
{
    lowKw = CeilKw(contract.MinCapacityCentiKw);
    // Above the highest demand a capacity only costs more, the excess
    // being nought already.
    int64_t top = 0;
    for (const TPlanMonth& m : months)
        top = std::max(top, CeilKw(m.DemandCentiKw));
    highKw = contract.MrkCentiKw > 0 ? std::min(top, contract.MrkCentiKw / 100) : top;
    highKw = std::max(highKw, lowKw);
}

namespace {
// sk: best[i], the least the months from i cost when nothing binds at i;
// a choice at i binds its months (cut at the end of the horizon).
void PlanSk(const std::vector<TPlanMonth>& months, const TContract& contract, TPlan& plan)
{
    const size_t n = months.size();
    int64_t low = 0;
    int64_t high = 0;
    PlanRange(contract, months, low, high);
    const std::vector<TCapacityType> types = PlanTypes(contract);
    struct TChoice {
        TCapacityType Type = TCapacityType::Any;
        int64_t Kw = 0;
        size_t Next = 0;
    };
    std::vector<int64_t> best(n + 1, Never);
    std::vector<TChoice> choice(n);
    best[n] = 0;
    for (size_t i = n; i-- > 0;) {
        for (const TCapacityType t : types) {
            const size_t next = std::min(n, i + size_t(CapacityTypeMonths(t)));
            for (int64_t kw = low; kw <= high; ++kw) {
                int64_t cost = best[next];
                for (size_t j = i; j < next; ++j)
                    cost += PlanMonthCharge(contract, months[j], t, kw * 100, 0);
                if (cost < best[i]) {
                    best[i] = cost;
                    choice[i] = {t, kw, next};
                }
            }
        }
    }
    plan.Total = best[0];
    for (size_t i = 0; i < n;) {
        const TChoice& c = choice[i];
        for (size_t j = i; j < c.Next; ++j)
            plan.Months.push_back({months[j].Month, c.Type, c.Kw, 0,
                                   PlanMonthCharge(contract, months[j], c.Type, c.Kw * 100, 0)});
        i = c.Next;
    }
}

// cz: best[i][y], the least the months from i cost with the yearly part at
// y in month i; it may rise from month to month, never fall within the
// year. Each month takes its cheapest top-up.
void PlanCz(const std::vector<TPlanMonth>& months, const TContract& contract, TPlan& plan)
{
    const size_t n = months.size();
    int64_t low = 0;
    int64_t high = 0;
    PlanRange(contract, months, low, high);
    const size_t width = size_t(high - low + 1);
    const int64_t mrkKw = contract.MrkCentiKw > 0 ? contract.MrkCentiKw / 100 : Never;
    // The month's least charge with the yearly part y, and its top-up.
    std::vector<std::vector<int64_t>> monthCost(n, std::vector<int64_t>(width));
    std::vector<std::vector<int64_t>> topUp(n, std::vector<int64_t>(width));
    for (size_t i = 0; i < n; ++i)
        for (int64_t y = low; y <= high; ++y) {
            // A top-up above the demand only costs more.
            const int64_t most = contract.PriceOf(TCapacityType::Monthly) == 0
                                     ? 0 // a top-up the contract does not price is none to choose
                                     : std::max<int64_t>(0, std::min(mrkKw - y, CeilKw(months[i].DemandCentiKw) - y));
            int64_t least = Never;
            for (int64_t t = 0; t <= most; ++t)
                if (const int64_t c = PlanMonthCharge(contract, months[i], TCapacityType::Yearly, y * 100, t * 100);
                    c < least) {
                    least = c;
                    topUp[i][size_t(y - low)] = t;
                }
            monthCost[i][size_t(y - low)] = least;
        }
    // ahead[i][y]: the least of best[i][y'] for y' >= y.
    std::vector<std::vector<int64_t>> best(n + 1, std::vector<int64_t>(width, 0));
    std::vector<std::vector<int64_t>> ahead(n + 1, std::vector<int64_t>(width, 0));
    for (size_t i = n; i-- > 0;) {
        for (size_t y = width; y-- > 0;) {
            best[i][y] = monthCost[i][y] + ahead[i + 1][y];
            ahead[i][y] = y + 1 < width ? std::min(best[i][y], ahead[i][y + 1]) : best[i][y];
        }
    }
    size_t y = size_t(std::min_element(best[0].begin(), best[0].end()) - best[0].begin());
    plan.Total = best[0][y];
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) // the lowest yearly part from here on that keeps the least
            while (best[i][y] != ahead[i][y])
                ++y;
        plan.Months.push_back({months[i].Month, TCapacityType::Yearly, low + int64_t(y), topUp[i][y],
                               monthCost[i][y]});
    }
}
} // namespace

bool PlanContract(const std::vector<TPlanMonth>& months, const TContract& contract, TPlan& plan, QString& problem)
{
    plan = TPlan{};
    if (months.empty()) {
        problem = QStringLiteral("no month to plan from");
        return false;
    }
    if (contract.PureDemandTariff()) {
        problem = QStringLiteral("ZMLUVA Kapacita=0 is a pure demand tariff: there is no capacity to plan");
        return false;
    }
    if (contract.Rules == TCapacityRules::Cz && contract.PriceOf(TCapacityType::Yearly) == 0) {
        problem = QStringLiteral("ZMLUVA CenaKapacity has no rocna price for the yearly part");
        return false;
    }
    if (contract.Rules == TCapacityRules::Cz)
        PlanCz(months, contract, plan);
    else
        PlanSk(months, contract, plan);
    for (const TPlanMonth& m : months) {
        // The contract as it stands: its last capacity goes on.
        const TCapacityStep* step = contract.StepIn(m.Month);
        if (!step)
            step = &contract.Capacities.front();
        plan.CurrentTotal += PlanMonthCharge(contract, m, step->Type, step->CentiKw, contract.TopUpIn(m.Month));
    }
    return true;
}

bool PlanMonths(const std::vector<TMonthDemand>& rows, std::vector<TPlanMonth>& months, QString& problem)
{
    months.clear();
    if (rows.empty()) {
        problem = QStringLiteral("no month to plan from");
        return false;
    }
    // The running month is seldom complete: the year ends with the last
    // month that is.
    const auto lastComplete =
        std::find_if(rows.rbegin(), rows.rend(), [](const TMonthDemand& r) { return r.Complete && r.Demand; });
    if (lastComplete == rows.rend()) {
        problem = QStringLiteral("no complete month to plan from");
        return false;
    }
    const uint16_t last = lastComplete->Month;
    QStringList missing;
    for (int back = 11; back >= 0; --back) {
        const int month = int(last) - back;
        const auto it = std::find_if(rows.begin(), rows.end(), [&](const TMonthDemand& r) { return r.Month == month; });
        if (month < 0 || it == rows.end() || !it->Complete || !it->Demand) {
            missing << (month < 0 ? QString::number(month) : MonthKey(uint16_t(month)));
            continue;
        }
        months.push_back({uint16_t(month + 12), it->Demand->CentiKw, it->SurchargePercentCenti});
    }
    if (!missing.isEmpty()) {
        problem = QStringLiteral("the plan needs the 12 months up to %1 complete; missing or incomplete: %2")
                      .arg(MonthKey(last), missing.join(QStringLiteral(", ")));
        return false;
    }
    return true;
}

QStringList PlanLines(const TPlan& plan)
{
    QStringList lines{QStringLiteral("month,type,capacity_kw,topup_kw,charge")};
    for (const TPlanStep& s : plan.Months)
        lines << QStringLiteral("%1,%2,%3,%4,%5")
                     .arg(MonthKey(s.Month), CapacityTypeName(s.Type))
                     .arg(s.CapacityKw)
                     .arg(s.TopUpKw)
                     .arg(CentiText(s.Charge));
    lines << QStringLiteral("total=") + CentiText(plan.Total)
          << QStringLiteral("current_total=") + CentiText(plan.CurrentTotal)
          << QStringLiteral("saving=") + CentiText(plan.Saving());
    return lines;
}
