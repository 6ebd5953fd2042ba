#pragma once
// The simulated regulator: a passive model that answers one request at a time
// from its configuration and the simulated clock it is given. It meters a site
// whose load is a deterministic profile, keeps an archive of the current and
// the previous month, and tracks its regulated powers.
//
// Archive choices (the client does not fix them):
// - A record's IntervalTime is the START of its interval: day-of-month * 1440 +
//   minutes since midnight. The first interval of a month is 1440, never 0, and
//   the last one of a day stays below 24:00.
// - Records are those of completed intervals. Record index i (1-based) of a
//   month is the interval at position Base + i of the month, where Base is 0
//   unless the numbering was restarted (then it is the number of intervals that
//   were complete at the restart).
// - The lost records are the first ones of the older month; they keep their
//   numbers, so the older month's held records are Lost + 1 .. its count.
// - A request for records that do not exist (other months, lost, beyond the
//   count) is answered, not ignored: command 3 returns only the consecutive
//   existing records from the first one asked for (none at all is an empty
//   acknowledgement); command 9 returns the month, index 0 and an empty record
//   (time 0, values 65535), which the client ignores.
// - An interval without supply (Gaps) has an empty record of the same form,
//   time 0 and values 65535, under its real number; it counts in the month
//   like any other and takes no part in the maxima.
#include "SimFrame.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A live scenario for the limit's alerts: the site's power as a share of the
// regulated power of the interval's tariff, shaped the same way within every
// interval. Percent is the power the interval ends with (its archive value).
enum class TSimLoadShape { None, Ramp, Steady, Noisy };
struct TSimLoad {
    TSimLoadShape Shape = TSimLoadShape::None;
    double Percent = 100.0;
    bool Active() const { return Shape != TSimLoadShape::None; }
};
// "ramp:120", "steady:95", "noisy:90" or "off".
bool SimParseLoad(const std::string& text, TSimLoad& load);

struct TSimConfig {
    int Generation = 3;          // 1, 2 or 3
    uint8_t Address = 0;         // bus address 0..127
    int Meters = -1;             // < 0: 2 for generations 1/2, 4 for 3
    uint16_t Kinds = 0;          // bit k: meter k + 1 measures reactive power
    uint16_t PregVT = 400;       // regulated power, kW
    uint16_t PregNT = 300;
    std::string Id;              // empty: the generation's default text
    int64_t Now = 0;             // simulated seconds from 30.12.1899 at start
    int IntervalMinutes = 15;    // a divisor of 60
    int Lost = 0;
    uint64_t Seed = 0;
    // Runs of interval positions (1-based, first..last, in every month) the
    // regulator was without supply for: their records are empty.
    std::vector<std::pair<uint16_t, uint16_t>> Gaps;
    // Runs of positions whose archive slot is erased: every byte 0xFF, so
    // the record's time (65535) is no time of the month.
    std::vector<std::pair<uint16_t, uint16_t>> Erased;
    // Bytes added after the records of every command-3 reply that carries any
    // (a firmware that pads its blocks), 0..5.
    int Trailing = 0;
    TSimLoad Load;

    int MeterCount() const { return Meters >= 0 ? Meters : (Generation >= 3 ? 4 : 2); }
    bool IsGap(uint16_t slot) const;
    bool IsErased(uint16_t slot) const;
};

struct TSimMonthTable {
    uint16_t Month0 = 0;
    uint16_t Month1 = 0;
    uint16_t Count0 = 0;
    uint16_t Count1 = 0; // held records of the older month (without the lost ones)
    uint16_t Lost = 0;
    TSimBytes Bytes() const; // the 10 bytes w0..w4
};

// What the regulator sends back: nothing, or a reply carrying Data
// (empty Data = an acknowledgement of the address alone).
struct TSimAnswer {
    bool Reply = false;
    TSimBytes Data;
    std::string Why; // why nothing is sent, for the log
};

class TSimRegulator {
public:
    static constexpr int kStages = 8;
    static constexpr int kAppliances = 8;
    static constexpr int kMaxMeters = 12;

    explicit TSimRegulator(const TSimConfig& config);

    const TSimConfig& Config() const { return Cfg; }
    int Channels() const;
    int RecordSize() const { return 2 + 2 * Channels(); }
    std::string IdText() const;

    void SetClock(int64_t seconds) { Clock = seconds; }
    int64_t GetClock() const { return Clock; }

    // Operator and regulator events.
    void SetRegulatedPower(uint16_t vt, uint16_t nt);
    // The live scenario from now on (archive values follow it too).
    void SetLoad(const TSimLoad& load);
    uint16_t RegulatedPower(int tariff) const { return tariff == 0 ? PregVT : PregNT; }
    void RestartNumbering();
    // A meter added or removed: every record, old and new, now has the new
    // size, as the regulator rebuilds its archive in the new layout.
    void SetMeters(int meters);

    // Archive.
    TSimMonthTable MonthTable() const;
    uint16_t IntervalsInMonth(uint16_t month) const;
    // Intervals of the month complete at the current clock.
    uint16_t CompletedIntervals(uint16_t month) const;
    // Records numbered in the month (including lost ones), and the index of the
    // first one held.
    uint16_t NumberedRecords(uint16_t month) const;
    uint16_t FirstHeld(uint16_t month) const;
    bool RecordExists(uint16_t month, uint16_t index) const;
    // The record of index (1-based) or nothing.
    std::optional<TSimBytes> Record(uint16_t month, uint16_t index) const;
    // Pure function of the configuration: the record bytes of the interval at
    // 1-based position Slot of Month, whatever its number in the archive.
    TSimBytes SlotRecord(uint16_t month, uint16_t slot) const;
    // Channel value of a slot (65535 = no value). Channel 0 of generation 3 is
    // the main measurement: the sum of the active meters.
    uint16_t ChannelValue(uint16_t month, uint16_t slot, int channel) const;

    // Live measurement at a simulated instant.
    int Tariff(int64_t seconds) const;                 // 0 VT (6-22 h), 1 NT
    uint16_t MeterPower(int meter, int64_t seconds) const;   // instantaneous, meter 1..n
    uint16_t MeterAverage(int meter, int64_t seconds) const; // interval mean so far
    uint16_t SitePower(int64_t seconds) const;
    uint16_t SiteAverage(int64_t seconds) const;
    int Stage(int64_t seconds) const;

    TSimAnswer Answer(const TSimRequest& request);

    // Reply blocks, built at the current clock.
    TSimBytes Block0() const;
    TSimBytes Block1() const;
    TSimBytes Block2() const;
    TSimBytes Block3(uint16_t month, uint16_t first0, uint8_t count) const;
    TSimBytes Block4(uint8_t slot) const;
    TSimBytes Block5() const;
    TSimBytes Block7() const;
    TSimBytes Block8() const;
    TSimBytes Block9(uint16_t month, uint16_t index) const;
    TSimBytes Block10() const;
    TSimBytes Block11(bool previous) const;

private:
    struct TMaximum {
        uint16_t Power = 0;
        int64_t Start = 0; // interval start, seconds; 0 = none yet
    };
    int IntervalSeconds() const { return Cfg.IntervalMinutes * 60; }
    int64_t IntervalStart(int64_t seconds) const;
    uint16_t SlotOf(int64_t intervalStart, uint16_t& month) const;
    double MeterRaw(uint16_t month, uint16_t slot, int meter) const;
    uint16_t MeterValue(uint16_t month, uint16_t slot, int meter) const;
    bool MeterActive(int meter) const { return ((Cfg.Kinds >> (meter - 1)) & 1) == 0; }
    double Wiggle(int meter, uint16_t value, int minute) const;
    TMaximum Maximum(int tariff) const;
    void PutMeasurementCore(TSimBytes& b) const; // first 70 bytes of blocks 8 and 10
    void PutReadings(TSimBytes& b, bool previous) const;
    int Base(uint16_t month) const;
    // The live scenario: the shape's factor at second e of an interval of
    // len seconds (its mean over the interval is 1), the site's power at an
    // instant, its mean from the interval's start to that instant, and the
    // mean of a whole interval; a meter's share of the site's power.
    double LoadFactor(int64_t e, int64_t len) const;
    double LoadPower(int64_t seconds) const;
    double LoadAverage(int64_t seconds) const;
    double LoadInterval(int64_t intervalStart) const;
    double LoadShare(int meter) const;

    TSimConfig Cfg;
    int64_t Clock;
    uint16_t PregVT;
    uint16_t PregNT;
    int64_t TimeInit;
    int64_t TimePowerFail;
    int64_t TimeConfig;
    int64_t TimeReset;
    std::map<uint16_t, int> Restarts; // month -> numbering base
    // The maxima need a scan of the month; the archive only grows between
    // interval ends, so the scan is kept until the count or month changes.
    mutable uint32_t MaxKey = 0xFFFFFFFF;
    mutable TMaximum MaxCache[2];
    double MeterBase[kMaxMeters + 1] = {};
    double MeterPhase[kMaxMeters + 1] = {};
};

// Little-endian writers shared by the blocks.
void SimPut8(TSimBytes& b, unsigned v);
void SimPut16(TSimBytes& b, unsigned v);
void SimPut32(TSimBytes& b, uint32_t v);
void SimPut64(TSimBytes& b, uint64_t v);
uint16_t SimGet16(const uint8_t* p);
uint32_t SimGet32(const uint8_t* p);
