#pragma once
// What the first page of the monthly report says, worked out from the
// archive view: per channel the month's energy (as the daily-energy table
// sums it), the peak with its first time and the mean; the ten highest
// intervals and the daily energies of channel 0; the intervals above a
// limit. Records without a value and gaps are counted, never read as zero;
// a record on a day the month does not have (a 31st in November) is counted
// apart and left out of everything else.
#include "demand/FolderDemand.h"

#include <QDate>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class TDispArch;

struct TChannelSummary {
    uint8_t Channel = 0;
    bool Reactive = false;
    uint32_t Energy = 0;     // kWh (kVArh), the month total of the tables
    uint16_t Values = 0;     // intervals with a value
    uint16_t Missing = 0;    // records of the month without this value
    uint16_t Peak = 0;       // highest interval power; meaningless without Values
    uint16_t PeakRecord = 0; // its first occurrence
    double Mean = 0;         // over the intervals with a value
};

struct TSummaryInterval {
    uint16_t Record = 0;
    uint16_t Value = 0;
};

struct TDayEnergy {
    uint8_t Day = 0; // day of the month
    uint32_t Energy = 0;
    uint16_t Missing = 0; // its intervals without a value of channel 0, gaps included
};

struct TExceedance {
    uint16_t Limit = 0;     // 0: no limit known
    uint16_t Count = 0;     // intervals of channel 0 above it
    uint16_t MaxExcess = 0; // by how much at most
    uint16_t MaxRecord = 0; // the first interval that went that far
    uint16_t FirstRecord = 0;
    uint16_t LastRecord = 0;
};

struct TMonthSummary {
    uint16_t Month = 0;     // month number of the file
    uint16_t Records = 0;   // records held, gaps included
    uint16_t Gaps = 0;      // records held that carry nothing
    uint16_t Impossible = 0; // records on a day the month does not have (not summed)
    uint32_t Intervals = 0; // intervals the whole month has
    std::vector<TChannelSummary> Channels;
    std::vector<TSummaryInterval> Highest; // at most ten, highest first, earlier first among equals
    std::vector<TDayEnergy> DayEnergies;   // channel 0, day by day
    int HighestDay = -1;                   // index into DayEnergies, -1 when there is none
    // Days of the month (those already over, for the running month) without
    // a single record.
    std::vector<uint8_t> DaysWithout;
    TExceedance Exceedance;
    // The reserved capacity, when a contract is configured (the report sets
    // it: the months beside this one come from their files).
    std::optional<TCapacityReport> Capacity;
};

// The summary of every channel of view's month (whatever is shown) against
// limit (kW of channel 0; 0 when none is known). today: the date the month's
// days are over by, for the days without records (by default the system's).
TMonthSummary SummarizeMonth(const TDispArch& view, uint16_t limit, const QDate& today = QDate::currentDate());

// "dd.mm.yyyy hh:mm" of a record of view's month; empty for a gap.
QString RecordTimeText(const TDispArch& view, uint16_t record);
