#pragma once
// The contract for the next twelve months that would have cost least, had
// each month brought what the same month brought last year: for sk rules a
// capacity a month with its type (a yearly one holds its value for 12
// months from its first, a three-month one for 3, a monthly one for its
// month), for cz rules a yearly part that may only rise within the year and
// a top-up each month. Whole kW between the contract's minimum and its
// maximum (MRK). Worked out exactly by dynamic programming over the months
// and what is still bound, every month's charge rounded to the cent as the
// bills are.
#include "demand/Demand.h"

#include <QString>

#include <cstdint>
#include <vector>

// A month the plan weighs: the billing demand expected and the power
// factor surcharge it brought (hundredths of a percent).
struct TPlanMonth {
    uint16_t Month = 0;
    int64_t DemandCentiKw = 0;
    int64_t SurchargePercentCenti = 0;
};

struct TPlanStep {
    uint16_t Month = 0;
    TCapacityType Type = TCapacityType::Any;
    int64_t CapacityKw = 0; // sk: the capacity; cz: the yearly part
    int64_t TopUpKw = 0;    // cz
    int64_t Charge = 0;     // cents
};

struct TPlan {
    std::vector<TPlanStep> Months;
    int64_t Total = 0;        // cents
    int64_t CurrentTotal = 0; // the contract as it stands over the same months
    int64_t Saving() const { return CurrentTotal - Total; }
};

// What the plan weighs of a month: capacity (centiKw of type and a cz
// top-up at the monthly price), the excess over it, the excess over MRK,
// and the power-factor surcharge on them.
int64_t PlanMonthCharge(const TContract& contract, const TPlanMonth& month, TCapacityType type, int64_t centiKw,
                        int64_t topUpCentiKw);

// The types the sk rules may choose from: those the contract prices (all
// of one price: Any, a month at a time).
std::vector<TCapacityType> PlanTypes(const TContract& contract);
// The whole kW a capacity (cz: the yearly part) may be, given the months.
void PlanRange(const TContract& contract, const std::vector<TPlanMonth>& months, int64_t& lowKw, int64_t& highKw);

// The cheapest plan over months (in order, consecutive); false with problem
// set when there is nothing to plan (no month, a pure demand tariff).
bool PlanContract(const std::vector<TPlanMonth>& months, const TContract& contract, TPlan& plan, QString& problem);

// The months of the plan from the bills of the 12 months up to the last
// complete one, each moved a year on; false with problem set (naming the
// months) when one of the 12 is missing or incomplete.
bool PlanMonths(const std::vector<TMonthDemand>& rows, std::vector<TPlanMonth>& months, QString& problem);

// month,type,capacity_kw,topup_kw,charge lines, then total=, current_total=,
// saving=.
QStringList PlanLines(const TPlan& plan);
