#pragma once
// What the site's outputs (MQTT, the metrics endpoint) say, worked out once
// from the engine: which measurements and appliances the regulator has, the
// live figures as long as they are fresh, the projection of the running
// interval, the last closed interval, this month's energies and peak from
// the month's file, the energies of every month's file together, and counts
// of exchanges and filed records.
//
// It follows the engine as an observer and keeps nothing but small copies;
// a second's timer takes in the month's file when records were filed and
// tells the outputs (OnSecond), so no output ever runs inside a poll.
#include "app/EngineObserver.h"
#include "app/Projection.h"
#include "core/LogLine.h"
#include "demand/Contract.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

class TEngine;
class TValue;
struct TSettings;

class TTelemetryModel : public QObject, public TEngineObserver {
public:
    static constexpr int MaxChannels = 13;   // measurement 00 and meters 1 to 12
    static constexpr int MaxAppliances = 64;

    TTelemetryModel(TEngine& engine, const TSettings& settings);
    ~TTelemetryModel() override;
    TTelemetryModel(const TTelemetryModel&) = delete;
    TTelemetryModel& operator=(const TTelemetryModel&) = delete;

    // Names and the zone of a reloaded configuration.
    void Apply(const TSettings& settings);

    // The engine followed; none between the site service dropping one
    // engine and making the next (the outputs then say what they last knew).
    TEngine* Engine() const { return FEngine; }
    // Follows another engine (or none): the service makes a new one when
    // the link is opened anew.
    void Follow(TEngine* engine);
    // The site's stable id ([MQTT] Node) and name ([INE] Miesto, else the id).
    const QString& Node() const { return FNode; }
    QString SiteName() const;

    // What the regulator has, as last identified: kept while it is silent,
    // so that a pause does not make its measurements vanish. Known once the
    // identification, the information block and (generation 3) a
    // measurement block with the meter kinds have come.
    bool Known() const;
    uint8_t Generation() const { return FGeneration; }
    // Measurements with live values: 00 only for generations 1 and 2.
    int LiveChannels() const;
    // Channels of the archive records (generation 3: 00 and the meters).
    int ArchiveChannels() const { return FArchiveChannels; }
    int Appliances() const { return FGeneration >= 2 ? FAppliances : 0; }
    // Channel 0 is active power; a meter may measure reactive power (kvar).
    bool Reactive(int channel) const;
    // "Hlavné meranie", a meter's configured name, else "Elektromer 5"
    // (see core/MeterNames.h); appliances likewise "Spotrebič 3".
    QString ChannelName(int channel) const;
    QString ApplianceName(int n) const; // n from 1

    // Live figures, nothing once they have expired or the link is down (the
    // engine marks them stale then): a figure the regulator no longer
    // vouches for is not said. Power in kW (kvar).
    std::optional<double> Power(int channel) const;
    std::optional<double> Average(int channel) const;
    // Measurement 00's running interval if the present power holds: the
    // alerts' projection (ProjectedIntervalPower in [ALARMY] Priemer's
    // reading).
    std::optional<double> Projected() const;
    std::optional<uint16_t> Regulated(int tariff) const; // 0 VT, 1 NT
    std::optional<int> Tariff() const;                   // 0 VT, 1 NT
    // The regulated power of the tariff in force, kW.
    std::optional<uint16_t> RegulatedInForce() const;
    // The measuring interval's length, and the seconds into the running one
    // as the regulator last said (nothing while no interval is followed).
    std::optional<int> IntervalSeconds() const;
    std::optional<int> IntervalElapsed() const;
    std::optional<int> Stage() const;
    std::optional<bool> Appliance(int n) const;          // switched on
    // The regulator's identification text and the firmware version in it
    // ("V3.0" gives 3.0), as last identified: kept through a silence like
    // what it has, so that its device does not change while it is away.
    std::optional<QString> Identification() const;
    std::optional<QString> Firmware() const;
    bool LinkUp() const;
    bool LinkKnown() const; // up or down, not starting
    // Seconds since 1970 of the last valid reply, if one came.
    std::optional<int64_t> LastReply() const;

    // An instant with the offset in force there (the site's zone).
    struct TInstant {
        int64_t Utc = 0;
        int32_t Offset = 0;
        QString Iso() const; // 2026-12-01T10:15:00+01:00
    };
    // The last interval measurement 00 closed, per live channel.
    struct TClosed {
        bool Valid = false;
        TInstant Start;
        int Channels = 0;
        std::array<uint16_t, MaxChannels> Power{};
    };
    const TClosed& Closed() const { return FClosed; }

    // This month from its file, once the file holds every record the
    // regulator has numbered: never a sum of part of it.
    struct TMonth {
        bool Valid = false;
        uint16_t Month = 0;
        std::vector<double> Energy;      // per archive channel, kWh (kvarh)
        bool HavePeak = false;
        uint16_t Peak = 0;               // kW, measurement 00
        TInstant PeakStart;
    };
    const TMonth& Month() const { return FMonth; }
    // The reserved capacity [ZMLUVA] contracts for the month of Month(), kW:
    // what that month's peak is held against. Nothing without a usable
    // contract, before Month() is known, or under a pure demand tariff,
    // which contracts no capacity at all.
    std::optional<double> ContractedCapacity() const;
    // Records held by the files of the regulator's current and previous
    // month (month number, records), as last taken in.
    const std::vector<std::pair<uint16_t, uint16_t>>& MonthRecords() const { return FMonthRecords; }

    // Per archive channel, kWh (kvarh): every record filed in every month's
    // file of the archive's folder, so that records of a month filed after
    // it turned still count. It only grows while the files do; a file moved
    // aside or shrunk lowers it, and that is told (OnLog, energy-reset).
    // By measurement: archive channel c is measurement c in every
    // generation (00 the site, see SitePower); empty until the regulator is
    // known.
    const std::map<int, double>& Lifetime() const { return FLifetime; }
    // The measurement an archive channel holds.
    // Lines for the service's log.
    std::function<void(const TLogLine&)> OnLog;

    // Since the start: exchanges by result code, records filed.
    const std::map<uint8_t, uint64_t>& Exchanges() const { return FExchanges; }
    uint64_t RecordsFiled() const { return FRecordsFiled; }

    // Once a second, after the month was taken in.
    std::function<void()> OnSecond;
    // The link went up or down, told from the event loop rather than from
    // inside the poll that noticed: the live figures came or went at once.
    std::function<void()> OnLink;

    // Set where the alerts run beside the outputs: whether a projected
    // exceedance of the limit stands; nothing while no alerts follow.
    std::optional<bool> LimitDanger;
    // Set beside an MQTT publisher: whether it is with its broker now,
    // nothing while MQTT is not configured.
    std::function<std::optional<bool>()> MqttConnected;

    // TEngineObserver
    void LinkChanged(const TEngine&) override;
    void Identified(const TEngine&) override;
    void InformationArrived(const TEngine&) override;
    void RegulatedPowerArrived(const TEngine&, uint16_t vt, uint16_t nt) override;
    void LiveArrived(const TEngine&, uint8_t block) override;
    void IntervalClosed(const TEngine&, const TClosedInterval& closed) override;
    void ExchangeEnded(const TEngine&, uint8_t code) override;
    void RecordsFiled(const TEngine&, uint16_t month, uint16_t first, uint16_t count) override;
    void DownloadChanged(const TEngine&) override;
    void Silenced(const TEngine&) override;

private:
    void Second();
    void TakeRecords();
    void TakeMonth();
    void TakeLifetime();
    std::optional<TInstant> InstantOf(uint32_t regulatorTime) const;
    // A value of the engine's that may be said now.
    bool Live(const TValue& value) const;

    TEngine* FEngine = nullptr;
    QString FNode;
    QString FSite;
    QStringList FMeterNames;
    QStringList FApplianceNames;
    QTimeZone FZone;
    TAverageReading FReading = TAverageReading::Elapsed;
    TContract FContract;
    QTimer FTimer;

    uint8_t FGeneration = 0;
    QString FIdentification;
    bool FInformed = false;   // the information block came for this generation
    bool FKinds = false;      // generation 3: a block with the meter kinds came
    int FMeters = 0;
    int FArchiveChannels = 0;
    int FAppliances = 0;
    uint16_t FKindMask = 0;
    bool FHaveRegulated = false;
    std::array<uint16_t, 2> FRegulated{};

    TClosed FClosed;
    TMonth FMonth;
    std::vector<std::pair<uint16_t, uint16_t>> FMonthRecords;
    bool FMonthDirty = true;
    bool FRecordsDirty = true;
    // What each month's file held when last summed: a file is summed again
    // only when it is open for filing or changed on the disk. One entry per
    // file of the folder.
    struct TFileSum {
        qint64 Size = -1;
        qint64 Modified = 0;
        uint16_t Records = 0;
        std::array<uint64_t, MaxChannels> Sums{};
    };
    std::map<QString, TFileSum> FFileSums;
    std::map<int, double> FLifetime;
    bool FLifetimeDirty = true;
    std::array<uint16_t, 2> FMonthSeen{}; // month and count of the table's current month
    std::map<uint8_t, uint64_t> FExchanges;
    uint64_t FRecordsFiled = 0;
};
