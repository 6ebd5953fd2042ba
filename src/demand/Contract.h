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

// How long a reserved capacity binds, each with its own price; Any: the one
// price of a contract that names no type.
enum class TCapacityType : uint8_t { Any, Monthly, Quarterly, Yearly };

// A reserved capacity and the month from which it is contracted.
struct TCapacityStep {
    uint16_t FromMonth = 0; // month number (year * 12 + month - 1); 0: from any month
    int64_t CentiKw = 0;
    TCapacityType Type = TCapacityType::Any;
    bool operator==(const TCapacityStep&) const = default;
};

// Whose rules the capacity follows: sk, one capacity a month with its type;
// cz, a yearly part and a monthly top-up.
enum class TCapacityRules : uint8_t { Sk, Cz };

// A power-factor surcharge band: a month whose cos phi is at or above Milli
// (and below the bands before it) pays PercentCenti of its capacity and
// excess charges.
struct TPowerFactorBand {
    int Milli = 0;
    int64_t PercentCenti = 0;
    bool operator==(const TPowerFactorBand&) const = default;
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
    // Per type when CenaKapacity names them (0: that type has no price).
    bool TypedPrices = false;
    int64_t TypePrice[4] = {};
    int64_t ExcessPrice = 0;     // millionths of the currency per kW of excess
    // CenaPrekrocenia=3x: the excess costs this many hundredths of the
    // capacity price in force; 0: ExcessPrice.
    int64_t ExcessMultipleCenti = 0;
    TCapacityRules Rules = TCapacityRules::Sk;
    std::vector<TCapacityStep> TopUps; // cz: the monthly top-ups, in month order
    int64_t MrkCentiKw = 0;      // the connection's maximum; 0: not given
    int64_t MinCapacityCentiKw = 0;
    int64_t MrkExcessPrice = 0;  // per kW above the maximum and month
    int PowerFactorMilli = 0;    // the contracted cos phi; 0: not billed
    std::vector<uint8_t> Inductive;  // reactive channels paired with measurement 00
    std::vector<uint8_t> Capacitive; // channels of reactive energy supplied to the grid
    std::vector<TPowerFactorBand> Bands; // falling
    int64_t CapacitivePrice = 0; // per kvarh
    QString Currency = QStringLiteral("EUR");
    // Why the contract cannot be used, naming the key (Slovak, for the
    // window and the report alike); empty when it can.
    QString Problem;

    bool Usable() const { return Configured && Problem.isEmpty(); }
    // The capacity contracted for month (cz: the yearly part and the
    // top-up together); false when none is yet.
    bool CapacityIn(uint16_t month, int64_t& centiKw) const;
    // The step in force in month (cz: the yearly part); nullptr when none.
    const TCapacityStep* StepIn(uint16_t month) const;
    // cz: the top-up in month.
    int64_t TopUpIn(uint16_t month) const;
    // The price per kW and month of a capacity of type.
    int64_t PriceOf(TCapacityType type) const;
    // The price per kW of excess when the capacity in force is of type.
    int64_t ExcessPriceOf(TCapacityType type) const;
    // The surcharge in hundredths of a percent at cos phi (thousandths).
    int64_t SurchargeAt(int milli) const;
    // A pure demand tariff: no capacity is ever contracted or paid for.
    bool PureDemandTariff() const;
    bool operator==(const TContract&) const = default;
};

// mesacna, trojmesacna, rocna (empty for Any), as the keys take them.
QString CapacityTypeName(TCapacityType type);
// The months a capacity of type binds: 1, 3, 12.
int CapacityTypeMonths(TCapacityType type);

// The key names of the model, as Model= takes them and the outputs write them.
QString ModelName(TDemandModel model);

// Reads the section through text (the text of a key; false when the key is
// not there); present: the section exists at all. intervalMinutes: the
// regulator's measuring interval, which the period must be made of.
TContract ParseContract(bool present, const std::function<bool(const QString& key, QString& text)>& text,
                        int intervalMinutes);
