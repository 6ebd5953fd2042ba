#pragma once
// The alerts of a site: a follower of the engine that projects the running
// interval against the limit and watches the link, the regulator's clock and
// the archive download, raising one TAlert per event. Every alert goes to
// OnAlert (the service logs it, MQTT publishes it) and, where this process
// owns the site folder, to the mail queue; those that still hold are kept in
// InForce for the window. Nothing here waits on anything.
//
// The limit is the regulated power of the tariff in force as the regulator
// last reported it; the projection of measurement 00's running interval is
// ProjectedIntervalPower over the regulator's own seconds into the interval.
#include "alerts/Alert.h"
#include "alerts/AlertMailer.h"
#include "alerts/HostClock.h"
#include "app/EngineObserver.h"
#include "app/Settings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimeZone>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <memory>

class TEngine;

class TAlerts : public TEngineObserver {
public:
    // Raises nothing until Apply gives it settings (set OnAlert and OnLog
    // first: Apply logs what it cannot use). It follows every engine it is
    // added to as an observer (the site service makes a new engine when the
    // link changes); Follow adds it to one.
    TAlerts();
    ~TAlerts() override;
    // Follows engine (which must outlive this or be left with Follow(nullptr)).
    void Follow(TEngine* engine);
    TAlerts(const TAlerts&) = delete;
    TAlerts& operator=(const TAlerts&) = delete;

    // The alert, mail, site and zone settings of settings: the first ones,
    // or those of a reload (an interval already alerted stays alerted).
    void Apply(const TSettings& settings);
    // The process ends: the alerts that wait for the mail are said in the
    // log and the send under way ends at once.
    void Stop();
    // Only the process that owns the site folder mails, so that a window
    // opened beside the service does not mail every alert a second time.
    void SetMayMail(bool may);
    bool MayMail() const { return FMayMail; }
    const TAlertSettings& Config() const { return Settings; }

    // Every alert raised, in order.
    std::function<void(const TAlert&)> OnAlert;

    // The alerts that still hold, oldest first, at most InForceMax. A
    // condition (link-lost, archive-stalled, projected-exceedance,
    // clock-drift) holds until it ends: the link answers again, the download
    // goes on, the projection clears or its interval ends, the clock is
    // judged right again or the link goes down. An event (exceedance,
    // interval-corrected, records-lost, archive-gap) holds for
    // EventKeptSeconds. link-restored and projected-cleared end others and
    // hold nothing themselves.
    static constexpr size_t InForceMax = 20;
    static constexpr int64_t EventKeptSeconds = 12 * 3600;
    const std::deque<TAlert>& InForce() const { return FInForce; }
    // The set of alerts in force changed.
    std::function<void()> OnInForceChanged;
    // Host time, UTC: when an alert is raised and when an event has held
    // long enough (a seam for the tests).
    std::function<QDateTime()> Now = [] { return QDateTime::currentDateTimeUtc(); };
    // Lets go of the events that have held EventKeptSeconds; a timer calls
    // it every minute.
    void Expire();
    // Lines about the alerts' own work (the mail queue), in the log's form.
    std::function<void(const QString& line)> OnLog;

    // The running interval as the displays show it.
    struct TProjection {
        bool Valid = false;       // a live interval and a limit are known
        QDateTime Start;          // the interval's start
        uint16_t Elapsed = 0;     // seconds into it
        uint16_t Length = 0;      // its length, seconds
        uint16_t Average = 0;     // kW as the regulator reports it
        uint16_t Power = 0;       // instantaneous, kW
        double Projected = 0;     // kW the interval ends with if the load stays
        uint16_t Limit = 0;       // kW of the tariff in force
        uint8_t Tariff = 0;       // 0 VT, 1 NT
        double Threshold = 0;     // the limit less Rezerva
        bool Above = false;       // Projected above Threshold
    };
    const TProjection& Projection() const { return FProjection; }
    // A projected exceedance stands: alerted in this interval and not
    // cleared (the "limit in danger" of MQTT).
    bool Danger() const { return Current.Standing; }
    std::function<void(bool danger)> OnDanger;

    // This month's highest closed interval as the archive holds it.
    struct TMonthPeak {
        bool Valid = false;
        uint16_t Month = 0;
        uint16_t Power = 0;
        QDateTime Start;
    };
    const TMonthPeak& MonthPeak() const { return FMonthPeak; }

    // The host's clock as timedated judges it (a seam for the tests).
    THostClock HostClock;
    TAlertMailer Mailer;
    // Replies whose clock readings are judged together.
    static constexpr size_t ClockSamples = 5;

    // TEngineObserver
    void LinkChanged(const TEngine&) override;
    void RegulatedPowerArrived(const TEngine&, uint16_t vt, uint16_t nt) override;
    void LiveArrived(const TEngine&, uint8_t block) override;
    void IntervalClosed(const TEngine&, const TClosedInterval&) override;
    void RecordsFiled(const TEngine&, uint16_t month, uint16_t first, uint16_t count) override;
    void DownloadChanged(const TEngine&) override;
    void ExchangeEnded(const TEngine&, uint8_t code) override;
    void Silenced(const TEngine&) override;

private:
    TEngine* Followed = nullptr;
    TAlertSettings Settings = NoAlerts();
    static TAlertSettings NoAlerts()
    {
        TAlertSettings none;
        none.Kinds = 0;
        return none;
    }
    TMailSettings MailServer;
    QString Site;
    QTimeZone Zone = QTimeZone::systemTimeZone();
    bool FMayMail = false;
    std::unique_ptr<QObject> MailContext;

    void Raise(TAlert alert);
    std::deque<TAlert> FInForce;
    QTimer ExpiryTimer;
    void Hold(const TAlert& alert);
    // The condition kind ended: its alert leaves the set.
    void End(const QString& kind);
    void Log(const QString& line) const;
    void ConfigureMail();
    // The instant of a regulator reading: month number, minutes into the
    // month (day * 1440 + minutes of the day) and seconds after that minute.
    QDateTime RegulatorTime(uint16_t month, uint32_t minutes, int64_t seconds = 0) const;
    QString TariffName(uint8_t tariff) const { return tariff ? QStringLiteral("NT") : QStringLiteral("VT"); }

    // Limits by tariff as last reported (0 until then).
    std::array<uint16_t, 2> Limits{};
    bool TariffKnown = false;
    uint8_t Tariff = 0;

    // The interval being projected.
    struct TCurrent {
        uint32_t Key = 0;       // month << 16 | minutes of its start
        uint8_t Above = 0;      // judgements in a row above the threshold
        bool Alerted = false;   // projected-exceedance raised for it
        bool Standing = false;  // ... and not cleared
    };
    TCurrent Current;
    TProjection FProjection;
    void Project(const TEngine& e);
    // The alert of a projection with its figures; the text ends without a full stop.
    TAlert ProjectionAlert(const QString& kind, const QString& headline, const TProjection& p) const;
    void SetStanding(bool standing);

    // Closed intervals waiting for their archive record.
    struct TClosed {
        uint32_t Key = 0;
        uint16_t Power = 0;
        uint16_t Limit = 0;
        uint8_t Tariff = 0;
        bool Complete = false;  // the last live reading came near the end
        QElapsedTimer Since;
    };
    std::deque<TClosed> Closed;
    void KeepClosed(const TClosed& closed);

    // The interval the live readings follow, until the engine says it closed.
    // The engine lets it go unclosed when the link goes down (or the link is
    // opened anew): then it and every interval after it up to the next one
    // seen live ended unseen, and their archive records decide.
    struct TUnclosed {
        uint32_t Key = 0;       // 0: none
        uint8_t Tariff = 0;
        uint16_t Minutes = 15;  // the interval's length
    };
    TUnclosed Unclosed;
    // Queues for their records the intervals from the unclosed one up to,
    // not including, key.
    void Unseen(uint32_t key);

    // The link.
    QTimer LinkTimer;
    bool LinkDown = false;
    bool LinkLostRaised = false;
    QDateTime LinkSince;       // the last valid reply before the outage
    QElapsedTimer LinkClock;   // since the link went down
    QString LinkReason;        // why, as the engine last said it
    void LinkLost();

    // The regulator's clock.
    std::deque<int64_t> ClockOffsets;
    bool ClockAlerted = false;
    QElapsedTimer ClockAlertedAt;
    void JudgeClock(const TEngine& e);

    // The archive.
    bool LostKnown = false;
    uint16_t LostMonth = 0;
    uint16_t LostCount = 0;
    void CheckLost(const TEngine& e);
    bool WasStalled = false;
    struct TGap {
        bool Open = false;
        uint16_t Month = 0;
        uint16_t First = 0;   // regulator index
        uint16_t Last = 0;
        uint16_t Before = 0;  // time word of the record before it, 0 unknown
    };
    TGap Gap;
    void CloseGap();
    TMonthPeak FMonthPeak;
    uint32_t PeakScanned = 0; // month << 16 | file count the peak was found over
    void ScanPeak(const TEngine& e);
};
