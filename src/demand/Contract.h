#pragma once
// Section ZMLUVA of the configuration: what the supplier bills the site's
// demand by. Read with the other settings (app/Settings) and handed to the
// demand models as this plain struct. A value that cannot be used is never
// replaced by a guess: Problem names the key and no figure is worked out.
//
// Amounts are kept exact: kW in hundredths, prices in millionths of the
// currency, so a bill's cents come out as a spreadsheet would round them.
#include <QDate>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

enum class TDemandModel : uint8_t {
    Max,     // the month's highest period
    TopN,    // the average of the N highest daily maxima
    Window,  // the highest period starting inside the windows, holidays left out
    Rolling, // the average of the last 12 monthly maxima, each at least Minimum
};

// Days and hours of the week in which a period counts: a period counts when
// it starts on one of the days at From or later and before To.
struct TDemandWindow {
    uint8_t Days = 0; // bit d for weekday d + 1 (Monday bit 0, Sunday bit 6)
    int From = 0;     // minute of the day, included
    int To = 0;       // minute of the day, excluded; 1440 for midnight
    bool operator==(const TDemandWindow&) const = default;
};

// A reserved capacity and the month from which it is contracted.
struct TCapacityStep {
    uint16_t FromMonth = 0; // month number (year * 12 + month - 1); 0: from any month
    int64_t CentiKw = 0;
    bool operator==(const TCapacityStep&) const = default;
};

struct TContract {
    // The section is there; without it there is no contract to bill by.
    bool Configured = false;
    int PeriodMinutes = 15;
    TDemandModel Model = TDemandModel::Max;
    int TopN = 3;
    std::vector<TDemandWindow> Windows;
    QString WindowText;          // as written, for the outputs
    std::vector<QDate> Holidays; // in ascending order
    int64_t MinimumCentiKw = 0;  // rolling: the least figure a month counts with
    std::vector<TCapacityStep> Capacities; // in ascending month order
    int64_t CapacityPrice = 0;   // millionths of the currency per kW and month
    int64_t ExcessPrice = 0;     // millionths of the currency per kW of excess
    QString Currency = QStringLiteral("EUR");
    // Why the contract cannot be used, naming the key (Slovak, for the
    // window and the report alike); empty when it can.
    QString Problem;

    bool Usable() const { return Configured && Problem.isEmpty(); }
    // The capacity contracted for month; false when none is yet.
    bool CapacityIn(uint16_t month, int64_t& centiKw) const;
    // A pure demand tariff: no capacity is ever contracted or paid for.
    bool PureDemandTariff() const;
    bool operator==(const TContract&) const = default;
};

// The key names of the model, as Model= takes them and the outputs write them.
QString ModelName(TDemandModel model);

// Reads the section through text (the text of a key; false when the key is
// not there); present: the section exists at all. intervalMinutes: the
// regulator's measuring interval, which the period must be made of.
TContract ParseContract(bool present, const std::function<bool(const QString& key, QString& text)>& text,
                        int intervalMinutes);
