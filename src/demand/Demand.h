#pragma once
// The billing demand of a month and what it costs under the contract
// (Contract.h), from the interval powers of measurement 00.
//
// Intervals are averaged into the contract's periods, aligned to the site's
// clock (a 15-minute period starts at :00, :15, :30, :45); a period counts
// only when every one of its intervals has a value. Missing values (65535)
// and empty records are never read as zero. Days, weekdays and hours are the
// site's wall clock: each interval carries the UTC offset it was read with,
// so the two passes of the autumn hour are two sets of periods and the
// spring day simply has 23 hours.
//
// Figures are exact: a period's power is the sum of its intervals over
// their count, compared as such; the billing demand is rounded half up to
// 0.01 kW, and every charge to the cent, before anything is added.
#include "demand/Contract.h"

#include <QString>
#include <QStringList>
#include <QTimeZone>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// One interval of measurement 00, with the reactive power of the channels
// the contract pairs with it.
struct TDemandInterval {
    int64_t Utc = 0;     // start, seconds since 1970-01-01 UTC
    int32_t Offset = 0;  // seconds east of UTC the clock read it with
    uint16_t Kw = 0xFFFF; // 65535: no value
    int32_t Inductive = -1;  // kvar of the Jalove channels; -1: one has no value
    int32_t Capacitive = -1; // kvar of the JaloveKapacitne channels; -1: as above
};

// A month's intervals as a file or the store gives them.
struct TMonthIntervals {
    uint16_t Month = 0; // year * 12 + month - 1
    int IntervalMinutes = 15;
    int64_t Expected = 0; // intervals the whole month has in the site's zone
    // In any order; an instant given twice counts once (the first).
    std::vector<TDemandInterval> Intervals;
};

// A period that set a figure.
struct TDemandPeak {
    int64_t CentiKw = 0; // rounded half up
    int64_t Utc = 0;     // the period's start
    int32_t Offset = 0;
};

// What one month says on its own.
struct TMonthFigures {
    uint16_t Month = 0;
    int64_t Valued = 0;   // intervals with a value
    int64_t Expected = 0; // intervals the month has
    bool Complete = false; // at least 90% of them have a value
    std::optional<TDemandPeak> Max;   // the highest period
    std::optional<TDemandPeak> Model; // the contract's figure (for rolling: Max)
    int IntervalMinutes = 15;
    // Sums of interval powers over the intervals where measurement 00 and
    // the inductive channels all have a value: the energies the power
    // factor is worked out of.
    int64_t PairedActive = 0;
    int64_t PairedInductive = 0;
    int64_t Paired = 0;
    int64_t CapacitiveSum = 0; // over the intervals the capacitive channels have
    int64_t CapacitiveValued = 0;
};

// A month's bill: one row of the outputs.
struct TMonthDemand {
    uint16_t Month = 0;
    TDemandModel Model = TDemandModel::Max;
    std::optional<TDemandPeak> Demand; // none: no period of the month has a value
    int64_t CapacityCentiKw = 0;
    int64_t ExcessCentiKw = 0;
    int64_t CapacityCharge = 0; // cents
    int64_t ExcessCharge = 0;   // cents
    int64_t Total = 0;          // cents
    bool Complete = false;
    int64_t Valued = 0;
    int64_t Expected = 0;
    int RollingMonths = 0; // rolling: the months averaged (12 when all are known)
    TCapacityType CapacityType = TCapacityType::Any; // cz: of the yearly part
    int64_t TopUpCentiKw = 0; // cz: the monthly top-up within CapacityCentiKw
    int64_t MrkExcessCentiKw = 0; // above the connection's maximum
    int64_t MrkExcessCharge = 0;
    // The month's cos phi in thousandths, when the contract bills it and the
    // month has reactive data.
    bool PowerFactorBilled = false;
    std::optional<int> CosPhiMilli;
    int64_t SurchargePercentCenti = 0;
    int64_t Surcharge = 0; // cents
    std::optional<int64_t> CapacitiveCentiKvarh; // when the contract bills it and the month has data
    int64_t CapacitiveCharge = 0;
    // Every charge of the month (Total is capacity and excess alone).
    int64_t MonthTotal = 0;
};

// cos phi in thousandths (rounded half up) of active and reactive energies
// in the same unit; none when both are zero.
std::optional<int> CosPhiMilli(int64_t active, int64_t reactive);

// The intervals a month has in zone (a spring month one hour's fewer).
int64_t MonthIntervalCount(uint16_t month, int intervalMinutes, const QTimeZone& zone);

// The month's figures; false with problem set (naming the key) when the
// contract's period cannot be made of the month's intervals.
bool MonthFigures(const TMonthIntervals& month, const TContract& contract, TMonthFigures& figures, QString& problem);

// The bill of month under contract; all: the figures of every month known
// (the rolling model averages the 12 up to month). False with problem set
// when the contract holds no capacity for the month.
bool BillMonth(const TMonthFigures& month, const std::map<uint16_t, TMonthFigures>& all, const TContract& contract,
               TMonthDemand& bill, QString& problem);

// Cents of kW (hundredths) at a price (millionths per kW), rounded half up.
int64_t Charge(int64_t centiKw, int64_t price);
// A month's capacity charge: centiKw of type, and a cz top-up at the monthly
// price.
int64_t MonthCapacityCharge(const TContract& contract, TCapacityType type, int64_t centiKw, int64_t topUpCentiKw);

// The capacity in whole kW that makes capacity and excess charges over the
// complete months of rows lowest (the lowest of equals), against the
// capacity contracted in the last of them applied to all.
struct TRecommendation {
    int64_t CapacityKw = 0;
    int64_t Cost = 0; // cents
    int64_t CurrentCentiKw = 0;
    int64_t CurrentCost = 0; // cents
    int64_t Saving() const { return CurrentCost - Cost; }
    int Months = 0;          // complete months it weighs
    QStringList LeftOut;     // "2026-03" of the months left out
};
// False with problem set when nothing can be recommended (no complete month,
// a pure demand tariff).
bool Recommend(const std::vector<TMonthDemand>& rows, const TContract& contract, TRecommendation& recommendation,
               QString& problem);

// "2026-03".
QString MonthKey(uint16_t month);
