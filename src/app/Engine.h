#pragma once
// The headless session with one regulator: the archive, the link built from
// the settings, every live value, and the parts the engine owns and wires
// together: the schedule that picks each request, the link state, the
// download watch and the running interval's follower. The reply handler
// decodes each block into its values and the archive; the tick ages the
// values, drives the download and counts the seconds of silence. Front ends
// (the window, the command-line tool) own one engine, bind their displays to
// its values and hook into it; nothing here knows a widget.
#include "app/DownloadWatch.h"
#include "app/EngineObserver.h"
#include "app/IntervalFollower.h"
#include "app/LinkWatch.h"
#include "app/ObserverList.h"
#include "app/LiveValues.h"
#include "app/Replies.h"
#include "app/Schedule.h"
#include "app/Settings.h"
#include "app/WriteTurn.h"
#include "comm/ComBufQDR.h"
#include "comm/ComEvents.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/ArchiveReplies.h"
#include "regulator/ReplyAgreement.h"
#include "regulator/ValueGridAr.h"
#include "regulator/ValueGridEm.h"
#include "regulator/ValueListIO.h"
#include "regulator/ValueListQ.h"
#include "values/InterfaceME.h"
#include "values/ValueKinds.h"
#include "values/Values.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TEngine {
    // First, so that the names below can refer to its values from the start.
    TLiveValues FLive;

public:
    // Page indexes the schedule distinguishes.
    enum : uint8_t {
        PageMeasurement = TSchedule::PageMeasurement,
        PageInformation = TSchedule::PageInformation,
        PageRecord = TSchedule::PageRecord,
        PageArchive = TSchedule::PageArchive,
        PageConsumption = TSchedule::PageConsumption
    };
    static constexpr uint16_t ValueCapacity = TLiveValues::Capacity;
    static constexpr uint16_t MaxAge = TLiveValues::MaxAge;
    static constexpr uint8_t ArchiveSlot = TArchiveReplies::Slot;

    // timerPeriod 0 builds the link without its timer; whoever owns the engine
    // then drives ComBuf->Tick itself. archiveFolder: where the monthly files
    // lie; empty for the current directory.
    explicit TEngine(const TSettings& settings, uint16_t timerPeriod = 100, const QString& archiveFolder = QString());
    ~TEngine();
    TEngine(const TEngine&) = delete;
    TEngine& operator=(const TEngine&) = delete;

    // Owned, created in this order and freed in the reverse one (values
    // first, the link last).
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TComBufQDR> ComBuf;
    std::unique_ptr<TInterfaceME> InterfaceME;
    const std::unique_ptr<TValues>& Values = FLive.Values;

    TComRootInterface* Root() const;
    // The transport as the status frame shows it, e.g. COM1:1200,N,8,1.
    QString Description() const;

    // Takes what the settings name (site, meters, appliances, signals, mail,
    // zone) without touching the link: a configuration read again while the
    // engine runs. Whatever the link is built from stays as it was.
    void ApplyNames(const TSettings& settings);

    // The parts the engine owns and wires: which request goes next, the link
    // state, the download's progress and stall, the running interval.
    TSchedule& Schedule() { return Sched; }
    const TSchedule& Schedule() const { return Sched; }
    TLinkWatch& LinkWatch() { return Linked; }
    const TLinkWatch& LinkWatch() const { return Linked; }
    TDownloadWatch& DownloadWatch() { return Watcher; }
    const TDownloadWatch& DownloadWatch() const { return Watcher; }

    // The regulator's generation, 0 until identified.
    uint8_t Generation() const { return Sched.Generation(); }
    // Extended measurement blocks (command 10) of KOMUNIKACIA Merania.
    uint8_t Merania() const { return Sched.Merania(); }
    // The regulated-power write's password, upper case; empty when none.
    const QString& Password() const { return FPassword; }
    // The result of the last exchange (see LinkReason).
    uint8_t LastStatus() const { return Linked.LastStatus(); }

    // The page the front end shows, which picks the live group's requests.
    uint8_t ActivePage() const { return Sched.ActivePage(); }
    void SetActivePage(uint8_t page) { Sched.SetActivePage(page); }
    // A write waits for its cycle (see WriteCommand).
    bool WritePending() const { return Sched.WritePending() != 0; }
    // The archive download runs; a front end that only looks (qdrtool probe)
    // switches it off so that it neither asks for records nor writes files.
    bool Download() const { return Sched.Download(); }
    void SetDownload(bool on) { Sched.SetDownload(on); }
    // The archive at the line's own speed: while the archive has work, the
    // next archive request goes out as soon as the previous exchange ended
    // (its reply checked, or its time-out) instead of at the next cycle. The
    // live group still gets its turn every LiveTurnMs (LiveTurnNearEndMs in
    // the last NearEndSeconds of a measuring interval), a write waiting in
    // WriteCommand goes first, and a request held back for agreement is
    // asked by the schedule. From KOMUNIKACIA Rychlo; may change during a run.
    bool Fast() const { return Sched.Fast(); }
    void SetFast(bool on) { Sched.SetFast(on); }
    // A front end shows every live figure at once, whatever page is chosen
    // (the window's debug view): the measurement page's block (tariff,
    // stage, maxima, appliances) is asked in turn on the other pages too, so
    // those figures stay as current as on MERANIE.
    void SetWatchAll(bool on) { Sched.SetWatchAll(on); }
    // Every so many milliseconds the information block (command 1) is asked
    // for again in the schedule's second step, whatever page is shown, so
    // that the regulated powers, the meter count (and with it the record
    // size) stay current; 0 asks for it only at identification and on the
    // information page.
    void SetInformationEveryMs(uint32_t ms) { Sched.SetInformationEveryMs(ms); }
    // Seconds without a reply after which the regulator counts as gone and
    // is identified anew (shortened only by tests).
    void SetSilenceSeconds(uint8_t seconds) { Linked.SetSilenceSeconds(seconds); }
    // Milliseconds of standing still after which the download counts as
    // stalled (see TDownloadWatch).
    void SetStallMs(uint32_t ms) { Watcher.SetStallMs(ms); }
    // Milliseconds added to the clock the tick ages values by: lets a test
    // see a value age by 40 s without waiting 40 s.
    uint32_t ClockShift() const { return FClockShift; }
    void SetClockShift(uint32_t ms) { FClockShift = ms; }

    static constexpr uint32_t LiveTurnMs = TSchedule::LiveTurnMs;
    static constexpr uint32_t LiveTurnNearEndMs = TSchedule::LiveTurnNearEndMs;
    static constexpr uint32_t NearEndSeconds = TSchedule::NearEndSeconds;
    static constexpr uint8_t FastMissLimit = TSchedule::FastMissLimit;
    // The fast download was given up for the rest of the run: the regulator
    // answers the schedule but not fast requests. Said in DownloadStatus and
    // to the observers (FastFellBack).
    bool FastFallback() const { return Sched.FastDropped(); }
    bool Fasting() const { return Sched.Fasting(); }
    // Records filed per second over the last few seconds (0 when none were).
    double RecordRate() const { return Watcher.Rate(); }
    // Why the fast download was given up, in Slovak for the window and in a
    // few English words for the command-line tool and the log.
    static QString FastFallbackText() { return TSchedule::FallbackText(); }
    static QString FastFallbackReason() { return TSchedule::FallbackReason(); }

    // The values of the live pages (see LiveValues.h). The names below are
    // its values under the names the front ends have always used.
    TLiveValues& Live() { return FLive; }
    const TLiveValues& Live() const { return FLive; }
    TValueStrings* const& ValueTa = FLive.ValueTa;
    TValueWord* const& ValueRs = FLive.ValueRs;
    TValueWord* const& ValuePmV = FLive.ValuePmV;
    TValueWord* const& ValuePmN = FLive.ValuePmN;
    TValueDateTime* const& ValueTmV = FLive.ValueTmV;
    TValueDateTime* const& ValueTmN = FLive.ValueTmN;
    TValueDateTime* const& ValueTr = FLive.ValueTr;
    TValueGridEm* const& GridEm = FLive.GridEm;
    TValueGridAr* const& GridAr = FLive.GridAr;
    TValueListIO* const& ListIO = FLive.ListIO;
    TValueString* const& ValueId = FLive.ValueId;
    TValueDateTime* const& ValueTres = FLive.ValueTres;
    TValueDateTime* const& ValueTnmi = FLive.ValueTnmi;
    TValueDateTime* const& ValueTini = FLive.ValueTini;
    TValueDateTime* const& ValueTcfg = FLive.ValueTcfg;
    TValueWord* const& ValueKem = FLive.ValueKem;
    TValueWord* const& ValueKrs = FLive.ValueKrs;
    TValueWord* const& ValueKso = FLive.ValueKso;
    TValueWord* const& ValuePregV = FLive.ValuePregV;
    TValueWord* const& ValuePregN = FLive.ValuePregN;
    const std::array<TValueDateTime*, 4>& ValueQ = FLive.ValueQ;
    const std::array<TValueListQ*, 4>& ListQ = FLive.ListQ;
    TValue* Value(const QString& controlName) const { return FLive.Value(controlName); }
    static const QStringList& ControlNames() { return TLiveValues::ControlNames(); }

    // Followers of the engine (see EngineObserver.h); not owned. An observer
    // may remove itself, or add another, from inside one of its calls.
    void AddObserver(TEngineObserver* observer) { Observers.Add(observer); }
    void RemoveObserver(TEngineObserver* observer) { Observers.Remove(observer); }

    // The one link state every front end shows (see TLinkWatch).
    static constexpr uint32_t LinkDownMs = TLinkWatch::DownMs;
    using TLinkState = ::TLinkState;
    using TLink = ::TLink;
    const TLink& Link() const { return Linked.Link(); }
    bool LinkUp() const { return Linked.Up(); }
    // Why the last exchange failed, in a few English words ("no reply
    // within 1200 ms", "cannot open serial port /dev/ttyUSB0: No such file or
    // directory"); empty after a success.
    QString LinkReason() const;
    // Why the port or socket cannot be used, for a message that ends a run.
    QString PortProblem() const;

    // Hooks for front ends.
    TStatusEvent OnStatus;                       // end of every exchange
    TDataEvent OnReply;                          // every reply, after the engine's decoding
    std::function<void(uint8_t command)> OnSent; // a request went out
    TNotifyEvent OnSilence;                      // 60 s without data: everything is stale
    TNotifyEvent OnTicked;                       // after every tick's own work (displays repaint here)
    std::function<void(uint16_t vt, uint16_t nt)> OnRegulatedPower;
    std::function<void(uint16_t month)> OnArchiveChanged; // records of that month were received
    std::function<void(const QString&)> OnDownloadStatus; // DownloadStatus changed

    // The request schedule, run on every cycle of ComBuf.
    void ComBufCycle();
    // The reply handler.
    void ComBufData(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // The tick: ages the values, drives the download and once a second runs
    // SecondStep.
    void ComBufTick();
    // The once-a-second step: counts silent seconds; at 60 the regulator is
    // taken as gone, every value is invalidated and the regulator identified anew.
    void SecondStep();
    // When the tick last ran SecondStep (a test may set it back).
    void SetSecondStamp(uint16_t stamp) { SecondStamp = stamp; }

    // Low 16 bits the regulated power VT, high 16 bits NT.
    void RegulatedPowerArrived(uint32_t powers);
    // Blocks 8 and 10.
    void MeasurementArrived(const TMeasurement3& block);

    // A one-off request (the regulated-power write) in the cycle the schedule
    // leaves free for it. Waits, processing events, at most waitMs; false when
    // polling is stopped, the link is closed, the wait ran out or the frame
    // could not be handed over.
    bool WriteCommand(uint8_t command, uint8_t length, const uint8_t* data, int waitMs = 5000);
    // The regulated-power write (command 7), confirmed: true only when the
    // regulator's reply to it reports the powers sent (a 0 sent asks for no
    // change and takes whatever the regulator keeps). Waits,
    // processing events, at most waitMs for the cycle and as long again for
    // the reply.
    bool WriteRegulatedPower(uint16_t vt, uint16_t nt, int waitMs = 5000);

    // Stops polling, waits (at most waitMs) for the exchange in progress to end
    // and stops the worker and the timer. Further calls do nothing.
    void Close(int waitMs = 3000);
    bool Closed() const { return IsClosed; }

    // Archive batch size of command 3 for the configured Limit.
    uint8_t BatchSize() const { return Sched.BatchSize(); }

    // The archive requests and the replies to them.
    std::unique_ptr<TArchiveReplies> ArchiveReplies;

    // The download's stall (see TDownloadWatch::TStall).
    using TStall = TDownloadWatch::TStall;
    const TStall& Stall() const { return Watcher.Stall(); }
    // Why the download stands, in Slovak for the window.
    QString StallText() const;
    // The same in a few English words, for the command-line tool and the log.
    QString StallReason() const;
    // The archive view's status line: what is being downloaded, empty when
    // nothing is (the information panel of the window).
    const QString& DownloadStatus() const { return Watcher.Status(); }
    // The last file moved aside because the regulator's record size changed,
    // in Slovak; empty when none was.
    const QString& MovedAsideText() const { return Watcher.MovedAsideText(); }
    std::function<void(const TArchiveQDR::TMovedAside&)> OnMovedAside;
    // Says the download's status anew (after a test set a stall, say);
    // stallChanged tells the observers even when the text stays the same.
    void PublishDownloadStatus(bool stallChanged = false);

    // Measurement 00's running interval as the live blocks show it (see
    // TIntervalFollower).
    using TLiveInterval = ::TLiveInterval;
    const TLiveInterval& RunningInterval() const { return Follower.Interval(); }

private:
    TSettings Settings;
    QString FPassword;
    uint32_t FClockShift = 0;
    uint16_t SecondStamp = 0;
    TSchedule Sched;
    TLinkWatch Linked;
    TDownloadWatch Watcher;
    TIntervalFollower Follower;
    // The engine's clock: the tick, shifted by ClockShift.
    uint32_t Now() const;
    TSchedule::TInput TurnInput() const;

    // Replies to command 7 so far, and the powers the last one reported.
    uint32_t PowerReplies = 0;
    uint32_t PowerReported = 0;

    TObserverList<TEngineObserver> Observers;
    template <typename F> void Notify(F&& call) { Observers.Each(call); }

    // Information blocks and month tables held back until the next one
    // agrees.
    TReplyAgreement Agreement;
    bool InformationAgrees(const uint8_t* data, uint8_t channels);
    bool TableAgrees(const uint8_t* bytes, uint8_t length);
    void ValidReply();
    void WatchLink();
    void FollowInterval(uint32_t stamp, uint16_t elapsed, uint16_t average);
    void WatchDownload();
    void ExchangeDone(uint8_t code);
    void FastStep();

    bool IsClosed = false;
    TWriteTurn Writer;
    void Send(uint8_t command, uint8_t length, const uint8_t* data, uint16_t holdTime);
};

// The label of each archive channel ("00: Hlavné meranie", "03: Kompresory",
// empty for a meter without a name), as the meters grid shows them.
QStringList MeasurementLabels(const TSettings& settings);
