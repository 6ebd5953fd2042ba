#pragma once
// The headless session with one regulator: the archive, the link built from
// the settings, every live value, the request schedule run on every cycle,
// the reply handler that decodes each block into its values and the archive,
// and the tick that ages the values, drives the download and counts the
// seconds of silence. Front ends (the window, the command-line tool) own one
// engine, bind their displays to its values and hook into it; nothing here
// knows a widget.
#include "app/EngineObserver.h"
#include "app/LiveValues.h"
#include "app/Replies.h"
#include "app/Settings.h"
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

class QEventLoop;

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
    enum : uint8_t { PageMeasurement = 0, PageInformation = 1, PageRecord = 2, PageArchive = 3, PageConsumption = 4 };
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

    TSettings Settings;
    // Takes what the settings name (site, meters, appliances, signals, mail,
    // zone) without touching the link: a configuration read again while the
    // engine runs. Whatever the link is built from stays as it was.
    void ApplyNames(const TSettings& settings);

    // Schedule state.
    uint8_t PollGroup = 1;
    uint8_t PollStep = 0;
    uint8_t ActivePage = PageMeasurement;
    uint8_t RecordIndex = 0;
    uint8_t WritePending = 0;
    uint8_t Generation = 0;
    uint8_t Limit = 80;
    uint8_t Merania = 0;
    uint8_t SilentSeconds = 255;
    // Seconds without a reply after which the regulator counts as gone and
    // is identified anew (shortened only by tests).
    uint8_t SilenceSeconds = 60;
    uint16_t SecondStamp = 0;
    QString Password;
    uint8_t LastStatus = 0;
    // The archive view's status line: what is being downloaded, empty when
    // nothing is (the information panel of the window).
    QString DownloadStatus;
    // The archive download runs; a front end that only looks (qdrtool probe)
    // switches it off so that it neither asks for records nor writes files.
    bool Download = true;
    // Every so many milliseconds the information block (command 1) is asked
    // for again in the schedule's second step, whatever page is shown, so
    // that the regulated powers, the meter count (and with it the record
    // size) stay current; 0 asks for it only at identification and on the
    // information page.
    uint32_t InformationEveryMs = 0;
    // A front end shows every live figure at once, whatever page is chosen
    // (the window's debug view): the measurement page's block (tariff,
    // stage, maxima, appliances) is asked in turn on the other pages too, so
    // those figures stay as current as on MERANIE.
    bool WatchAll = false;
    // The archive at the line's own speed: while the archive has work, the
    // next archive request goes out as soon as the previous exchange ended
    // (its reply checked, or its time-out) instead of at the next cycle. The
    // live group still gets its turn every LiveTurnMs (LiveTurnNearEndMs in
    // the last NearEndSeconds of a measuring interval), a write waiting in
    // WriteCommand goes first, and a request held back for agreement is
    // asked by the schedule. From KOMUNIKACIA Rychlo; may change during a run.
    bool Fast = false;
    static constexpr uint32_t LiveTurnMs = 10000;
    static constexpr uint32_t LiveTurnNearEndMs = 2000;
    static constexpr uint32_t NearEndSeconds = 30;
    // Fast requests in a row without a valid reply after which the regulator
    // is taken not to keep up, if it answers requests at the schedule's pace
    // (twice running: see ExchangeDone).
    static constexpr uint8_t FastMissLimit = 5;
    // The fast download was given up for the rest of the run: the regulator
    // answers the schedule but not fast requests. Said in DownloadStatus and
    // to the observers (FastFellBack).
    bool FastFallback() const { return FastDropped; }
    bool Fasting() const { return Fast && !FastDropped; }
    // Records filed per second over the last few seconds (0 when none were).
    double RecordRate() const { return Rate; }
    // Why the fast download was given up, in Slovak for the window and in a
    // few English words for the command-line tool and the log.
    static QString FastFallbackText();
    static QString FastFallbackReason();
    // Milliseconds added to the clock the tick ages values by: lets a test
    // see a value age by 40 s without waiting 40 s.
    uint32_t ClockShift = 0;

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
    void AddObserver(TEngineObserver* observer);
    void RemoveObserver(TEngineObserver* observer);

    // The one link state every front end shows: down after LinkDownMs
    // without a valid reply (from start-up or from the last valid reply)
    // while requests go out, up again at the next valid reply. Starting
    // until either happens.
    static constexpr uint32_t LinkDownMs = 10000;
    enum class TLinkState : uint8_t { Starting, Up, Down };
    struct TLink {
        TLinkState State = TLinkState::Starting;
        // Up: when it came up. Down: the last valid reply, or the engine's
        // start when none came ("the regulator does not answer since ...").
        QDateTime Since;
        QDateTime LastReply; // invalid until the first valid reply
    };
    const TLink& Link() const { return FLink; }
    bool LinkUp() const { return FLink.State == TLinkState::Up; }
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
    // Replies to command 7 so far, and the powers the last one reported.
    uint32_t PowerReplies = 0;
    uint32_t PowerReported = 0;

    // Stops polling, waits (at most waitMs) for the exchange in progress to end
    // and stops the worker and the timer. Further calls do nothing.
    void Close(int waitMs = 3000);
    bool Closed() const { return IsClosed; }

    // Archive batch size of command 3 for the configured Limit.
    uint8_t BatchSize() const { return static_cast<uint8_t>((Limit - 1) / ArchiveSlot); }

    // The archive requests and the replies to them.
    std::unique_ptr<TArchiveReplies> ArchiveReplies;

    // A download that has made no progress for StallMs while the regulator
    // answers: the month and record it is stuck at, and why, said in
    // DownloadStatus and kept here (Stalled false while it goes on). Only
    // time while the link is up, up to the last valid reply, counts; the
    // stall ends at the next record filed and when the link goes down.
    uint32_t StallMs = 60000;
    struct TStall {
        bool Stalled = false;
        uint16_t Month = 0;
        uint16_t Record = 0;          // 1-based regulator index
        TArchiveReplies::TProblem Problem = TArchiveReplies::None;
        uint8_t Code = 0;             // result of the last archive exchange
        bool Blocked = false;         // the month's file cannot be moved aside
    };
    TStall Stall;
    // Why the download stands, in Slovak for the window.
    QString StallText() const;
    // The same in a few English words, for the command-line tool and the log.
    QString StallReason() const;
    // The last file moved aside because the regulator's record size changed,
    // in Slovak; empty when none was.
    QString MovedAsideText;
    std::function<void(const TArchiveQDR::TMovedAside&)> OnMovedAside;

    // Measurement 00's running interval as the live blocks show it; not
    // valid while the link is down or before the first live block.
    struct TLiveInterval {
        bool Valid = false;
        uint16_t Month = 0;
        uint16_t Start = 0;       // minutes into the month
        uint16_t Elapsed = 0;
        uint16_t Average = 0;
        uint8_t Tariff = 0;
        std::array<uint16_t, 13> Averages{};
    };
    const TLiveInterval& RunningInterval() const { return LiveInterval; }

private:
    std::vector<TEngineObserver*> Observers;
    template <typename F> void Notify(F&& call);

    TLink FLink;
    uint32_t LastReplyStamp = 0;
    // The link's silence is measured from SilentFrom: the last valid reply,
    // or the first request after a spell without any (SentAt, real time,
    // the last request handed over). Longer than an exchange can take.
    uint32_t SilentFrom = 0;
    uint32_t SentAt = 0;
    uint32_t SendGapMs() const { return LinkDownMs + Settings.Timeout; }
    bool IdentityPending = false; // identified; the archive is told with the information block
    uint32_t InformationStamp = 0;
    // Information blocks and month tables held back until the next one
    // agrees.
    TReplyAgreement Agreement;
    bool InformationAgrees(const uint8_t* data, uint8_t channels);
    bool TableAgrees(const uint8_t* bytes, uint8_t length);
    void ValidReply();
    void WatchLink(uint32_t now);

    TLiveInterval LiveInterval;
    void FollowInterval(uint32_t stamp, uint16_t elapsed, uint16_t average);

    // Progress of the download as the stall watch last saw it.
    uint32_t StallStored = 0;
    uint16_t StallRequestMonth = 0, StallRequestStart = 0;
    // Link-up milliseconds without progress, counted up to StallCountedTo.
    uint32_t StallCounted = 0;
    uint32_t StallCountedTo = 0;
    bool ArchivePending = false; // the exchange in progress carries an archive request
    void WatchDownload();
    // stallChanged tells the observers even when the text stays the same.
    void PublishDownloadStatus(bool stallChanged = false);

    // The fast download (see Fast).
    enum class TSent : uint8_t { None, Live, Archive, FastArchive, Write };
    TSent Sent = TSent::None;
    bool ExchangeOpen = false; // a request was handed over and its exchange has not ended
    bool FastDropped = false;
    bool FastProbe = false;    // the next scheduled request tells whether the regulator keeps up
    bool ProbeSent = false;
    bool LiveSinceMiss = false;
    uint8_t FastMisses = 0;
    uint8_t SlowAnswered = 0; // runs of misses after which the schedule's pace was answered
    uint32_t LiveTurnAt = 0;
    uint32_t LiveIntervalAt = 0; // when LiveInterval was last followed
    void ExchangeDone(uint8_t code);
    void FallBack();
    void FastStep();
    bool LiveDue(uint32_t now) const;
    // The archive request the download asks next; false when none is due.
    bool ArchiveRequest(uint8_t& command, uint8_t* data, uint8_t& length) const;
    // Records filed, once a second over the last RateSeconds.
    static constexpr int RateSeconds = 5;
    std::array<uint32_t, RateSeconds + 1> RateStored{};
    int RateFilled = 0;
    double Rate = 0;
    void FollowRate();

    bool IsClosed = false;
    bool WriteGiven = false; // the cycle went to a write that has not been sent yet
    QEventLoop* WriteLoop = nullptr;
    void Send(uint8_t command, uint8_t length, const uint8_t* data, uint16_t holdTime);
};

// The label of each archive channel ("00: Hlavné meranie", "03: Kompresory",
// empty for a meter without a name), as the meters grid shows them.
QStringList MeasurementLabels(const TSettings& settings);
