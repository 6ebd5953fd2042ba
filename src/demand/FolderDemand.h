#pragma once
// The billing demand over the monthly files of a folder: the intervals of
// measurement 00 of a shown month, the figures of the months beside it
// (read once each), and what the monthly report and the window show of the
// reserved capacity.
#include "demand/Demand.h"

#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

class TArchiveQDR;
class TDispArch;

// The intervals of measurement 00 of view's month, timed in zone by the
// rule of the CSV (RecordClock.h), with the reactive channels contract
// pairs with it. invalid: records whose time is not in the month.
TMonthIntervals ViewIntervals(const TDispArch& view, const QTimeZone& zone, const TContract& contract,
                              int* invalid = nullptr);

// The figures of the months whose files lie in an archive's folder, each
// file read once through the archive (so an open month is its image in
// memory, not an older copy on disk).
class TFolderFigures {
public:
    TFolderFigures(TArchiveQDR* archive, uint8_t intervalMinutes, const QTimeZone& zone, const TContract& contract);

    // A month known otherwise (the shown one, as it is now).
    void Put(const TMonthFigures& figures);
    // The figures of month; nullptr when it has no file there that can be
    // read whole, or Problem was set.
    const TMonthFigures* Get(uint16_t month);
    // Loads the months from to to (inclusive) that have files.
    void Load(uint16_t from, uint16_t to);
    const std::map<uint16_t, TMonthFigures>& Known() const { return FKnown; }
    // Set when a month's intervals cannot make the contract's periods.
    QString Problem;

private:
    TArchiveQDR* Archive;
    uint8_t IntervalMinutes;
    QTimeZone Zone;
    const TContract& Contract;
    std::map<uint16_t, TMonthFigures> FKnown;
    std::set<uint16_t> Tried;
};

// The block "Rezervovaná kapacita" of the report and the line of the window.
struct TCapacityReport {
    TContract Contract;
    // Why there are no figures (contract, zone or period), said instead.
    QString Problem;
    TMonthDemand Month;
    // January to the month, the months that have a file.
    std::vector<TMonthDemand> Year;
    // Over the 12 months up to the month, the complete ones; none when no
    // month is complete or the tariff has no capacity.
    std::optional<TRecommendation> Recommendation;
    // The recommendation differs from the capacity contracted by more than 5%.
    bool RecommendationDiffers() const;
};

// The report of view's month under contract; the months before it come from
// the files beside it (through view's archive), their rolling history too.
TCapacityReport CapacityReport(const TDispArch& view, const TContract& contract, const QTimeZone& zone);

// The shown month's bill alone (the window's line): the months the rolling
// model needs come from figures.
bool ShownMonthBill(const TDispArch& view, const TContract& contract, const QTimeZone& zone, TFolderFigures& figures,
                    TMonthDemand& bill, QString& problem);
