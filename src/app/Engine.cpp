#include "app/Engine.h"
#include "comm/ComThread.h"

#include "app/Transport.h"
#include "core/MeterNames.h"
#include "core/TextFunctions.h"
#include "core/Tick.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstring>

namespace {
const QString MainMeterTitle = MainMeasurementTitle();
} // namespace

TEngine::TEngine(const TSettings& settings, uint16_t timerPeriod, const QString& archiveFolder)
    : Settings(settings)
{
    // The start-up order: the archive, the schedule state, the link, the
    // consumption values, then the values of the live pages.
    Archive = std::make_unique<TArchiveQDR>(archiveFolder);
    ArchiveReplies = std::make_unique<TArchiveReplies>(*Archive);
    Archive->OnMovedAside = [this](const TArchiveQDR::TMovedAside& moved) {
        Watcher.MovedAside(moved);
        PublishDownloadStatus();
        if (OnMovedAside)
            OnMovedAside(moved);
    };
    // A regulator that counts fewer records of a month than its file holds
    // is identified again before the archive judges the month.
    Archive->OnIdentityWanted = [this] { Sched.Reidentify(); };
    Stamp16(SecondStamp);
    // Silence after a spell without requests is counted from the next one;
    // a spell is longer than an exchange can take.
    Linked.Start(Now(), GetTick(), LinkDownMs + settings.Timeout);
    Sched.SetMerania(settings.Merania);
    Sched.SetLimit(std::max<uint8_t>(settings.Limit, 32));
    Sched.SetFast(settings.Rychlo);

    ComBuf = std::make_unique<TComBufQDR>(settings.Adr, Sched.Merania() != 0);
    ComBuf->OnTick = [this](void*) { ComBufTick(); };
    ComBuf->OnCycle = [this](void*) { ComBufCycle(); };
    ComBuf->OnData = [this](uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
        ComBufData(address, command, length, data);
    };

    TComThreadInterface* root = TTransport::Build(*ComBuf, settings, timerPeriod);
    root->OnStatus = [this](uint8_t code) {
        Linked.Ended(code);
        Watcher.Ended(code);
        if (OnStatus)
            OnStatus(code);
        Notify([&](TEngineObserver* o) { o->ExchangeEnded(*this, code); });
        // Last: the fast download may hand the next request over from here.
        ExchangeDone(code);
    };

    FPassword = TSettings::AsciiUpper(settings.Password);
    InterfaceME = std::make_unique<TInterfaceME>(MaxAge, settings.Intervaly);
    InterfaceME->PowerFactor->Computed = true;
    ArchiveReplies->IntervalMinutes = InterfaceME->IntervalMinutes;
    Follower.SetIntervalMinutes(InterfaceME->IntervalMinutes);
    FLive.Create(*Archive, *InterfaceME, Settings, Sched.GenerationRef());
}

TEngine::~TEngine()
{
    Close();
    // Values refer to the archive and to the consumption values, so they go
    // first; the archive saves what it still holds; the link goes last.
    FLive.Release();
    Archive.reset();
    InterfaceME.reset();
    ComBuf.reset();
}

TComRootInterface* TEngine::Root() const
{
    TComRootInterface* root = nullptr;
    return ComBuf && ComBuf->FindRoot(root) ? root : nullptr;
}

QString TEngine::Description() const { return ComBuf ? ComBuf->RootDescription() : QString(); }

void TEngine::Send(uint8_t command, uint8_t length, const uint8_t* data, uint16_t holdTime)
{
    // Fast requests wait only as long as replies take; the probe asks at the
    // schedule's pace and waits the whole time-out.
    if (auto* link = dynamic_cast<TComThreadInterface*>(Root()))
        link->Thread->Adaptive = Fasting() && !Sched.Probing();
    ComBuf->SendCommand(command, length, data, holdTime);
    if (ComBuf->Pending != (command | 0x80))
        return;
    Sched.Sent(command, Now());
    Linked.Sending(Now(), GetTick());
    // Whatever answers next is checked against what was asked here.
    ArchiveReplies->Sent(command, length, data);
    Watcher.Sending(ArchiveReplies->Asked.Command != 0);
    if (OnSent)
        OnSent(command);
}

uint32_t TEngine::Now() const { return GetTick() + FClockShift; }

TSchedule::TInput TEngine::TurnInput() const
{
    TSchedule::TInput in;
    in.Now = Now();
    in.HoldFree = ComBuf->Hold == 0;
    in.WriterWaiting = Writer.Waiting();
    in.InformationHeld = Agreement.InformationHeld();
    in.TableHeld = Agreement.TableHeld();
    in.NearEnd = Follower.EndsWithin(TSchedule::NearEndSeconds, in.Now);
    in.ArchiveMonth = Archive->RequestMonth;
    in.ArchiveStart = Archive->RequestStart;
    in.ArchiveCount = Archive->RequestCount;
    return in;
}

void TEngine::ComBufCycle()
{
    TSchedule::TRequest request;
    switch (Sched.Cycle(TurnInput(), request)) {
    case TSchedule::TTurn::Send:
        Send(request.Command, request.Length, request.Data.data(), request.Hold);
        break;
    case TSchedule::TTurn::Write:
        Writer.Wake();
        break;
    default:
        break;
    }
}

void TEngine::ExchangeDone(uint8_t code)
{
    switch (Sched.Ended(code)) {
    case TSchedule::TAfter::Probe:
        // The probe goes out with the next cycle, a whole cycle from now.
        ComBuf->CycleTime = 0;
        break;
    case TSchedule::TAfter::FallBack:
        PublishDownloadStatus();
        Notify([&](TEngineObserver* o) { o->FastFellBack(*this); });
        break;
    case TSchedule::TAfter::Fast:
        FastStep();
        break;
    case TSchedule::TAfter::None:
        break;
    }
}

void TEngine::FastStep()
{
    if (IsClosed || !Sched.FastReady())
        return;
    // What the reply just filed moves the request on now, not at the tick.
    if (Sched.Download() && Archive->Poll())
        PublishDownloadStatus();
    TSchedule::TRequest request;
    const TSchedule::TTurn turn = Sched.FastTurn(TurnInput(), request);
    if (turn == TSchedule::TTurn::None)
        return;
    // The next cycle starts counting from this request, so the schedule
    // takes over at its own pace once the fast download stops.
    ComBuf->CycleTime = 0;
    if (turn == TSchedule::TTurn::Write) {
        Writer.Wake();
        return;
    }
    if (turn == TSchedule::TTurn::LiveFirst)
        ComBufCycle();
    if (!Sched.ExchangeOpen())
        Send(request.Command, request.Length, request.Data.data(), 0);
    Sched.SentFast();
}

void TEngine::ComBufData(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    ValidReply();
    int live = -1;
    if (command >= 128 && command <= 138 && data) {
        switch (command - 128) {
        case 0:
            if (const auto id = DecodeIdentification(data, length)) {
                FLive.Apply(*id);
                Sched.SetIdentityPending(true);
                Sched.SetGeneration(id->Generation);
                Notify([&](TEngineObserver* o) { o->Identified(*this); });
            }
            break;
        case 1:
            if (const auto info = DecodeInformation(data, length, Generation());
                info && InformationAgrees(data, info->Channels)) {
                FLive.Apply(*info);
                RegulatedPowerArrived(info->Powers.Packed);
                // Generation 3 reports its meter kinds with every measurement block.
                if (Generation() != 3)
                    Archive->KindMask = info->KindMask;
                Archive->SetChannels(info->Channels);
                if (Sched.PollStep() == 0)
                    Sched.SetPollStep(1);
                // The identification stands once the information block
                // that follows it is taken.
                if (Sched.IdentityPending()) {
                    Sched.SetIdentityPending(false);
                    Archive->SetIdentity(ValueId->Text);
                }
                Sched.InformationTaken(Now());
                Notify([&](TEngineObserver* o) { o->InformationArrived(*this); });
            }
            break;
        case 2:
            if (const auto m = DecodeMeasurement(data, length)) {
                FLive.Apply(*m, TableAgrees(m->Table.data(), uint8_t(m->Table.size())));
                FollowInterval(m->TimeStamp, m->IntervalTime, m->Average);
                live = 2;
            }
            break;
        case 3:
        case 9: {
            // A front end that stopped downloading writes no record.
            if (!Download()) {
                ArchiveReplies->Asked = {};
                break;
            }
            const TArchiveReplies::TAsked asked = ArchiveReplies->Asked;
            const uint32_t before = ArchiveReplies->Stored;
            const uint16_t month = command == 0x83 ? ArchiveReplies->Records(data, length, ComBuf->Suspect())
                                                   : ArchiveReplies->Record(data, length);
            if (month != 0 && OnArchiveChanged)
                OnArchiveChanged(month);
            if (const uint32_t filed = ArchiveReplies->Stored - before; month != 0 && filed != 0)
                Notify([&](TEngineObserver* o) { o->RecordsFiled(*this, month, asked.Start, uint16_t(filed)); });
            break;
        }
        case 4:
            if (const auto record = DecodeRecordSlot(data, length)) {
                FLive.Apply(*record, Sched.RecordIndex() & 3u);
                Sched.NextRecord();
            }
            break;
        case 5:
            if (const auto states = DecodeStates(data, length)) {
                FLive.Apply(*states);
                live = 5;
            }
            break;
        case 7:
            if (const auto powers = DecodeRegulatedPowers(data, length)) {
                ++PowerReplies;
                PowerReported = powers->Packed;
                RegulatedPowerArrived(PowerReported);
            }
            break;
        case 8:
        case 10:
            if (const auto m = DecodeMeasurement3(command, data, length)) {
                MeasurementArrived(*m);
                FLive.ApplyEvaluation(*m);
                live = command - 128;
            }
            break;
        default:
            break;
        }
    }
    if (live >= 0)
        Notify([&](TEngineObserver* o) { o->LiveArrived(*this, uint8_t(live)); });
    if (OnReply)
        OnReply(address, command, length, data);
}

bool TEngine::InformationAgrees(const uint8_t* data, uint8_t channels)
{
    return Agreement.Information(data, ComBuf->Suspect(), Archive->ArchiveRecordSize(), channels);
}

bool TEngine::TableAgrees(const uint8_t* bytes, uint8_t length)
{
    return Agreement.Table(bytes, length, ComBuf->Suspect());
}

void TEngine::RegulatedPowerArrived(uint32_t powers)
{
    const TRegulatedPowers decoded{powers};
    FLive.ApplyPowers(decoded);
    const uint16_t vt = decoded.Vt();
    const uint16_t nt = decoded.Nt();
    // The archive view draws its limit lines from these.
    if (OnRegulatedPower)
        OnRegulatedPower(vt, nt);
    Notify([&](TEngineObserver* o) { o->RegulatedPowerArrived(*this, vt, nt); });
}

void TEngine::MeasurementArrived(const TMeasurement3& block)
{
    const bool agrees = TableAgrees(block.KindsAndTable.data(), uint8_t(block.KindsAndTable.size()));
    if (agrees)
        Archive->KindMask = block.Kinds();
    FLive.Apply(block, agrees);
    FollowInterval(block.TimeStamp, block.IntervalTime, block.Average());
}

void TEngine::ComBufTick()
{
    const uint16_t now = static_cast<uint16_t>(GetTick16() + FClockShift);
    Values->TickAll(now);
    InterfaceME->Tick(now);
    // The link first: a stall ends in the tick the link goes down.
    WatchLink();
    if (Sched.Download())
        WatchDownload();
    if (Elapsed16At(now, 1000, SecondStamp, false))
        SecondStep();
    if (OnTicked)
        OnTicked(this);
}

void TEngine::WatchDownload()
{
    const bool changed = Archive->Poll();
    TDownloadWatch::TProgress progress;
    progress.Stored = ArchiveReplies->Stored;
    progress.Month = Archive->RequestMonth;
    progress.Start = Archive->RequestStart;
    progress.Count = Archive->RequestCount;
    progress.Problem = ArchiveReplies->Problem;
    progress.Blocked = Archive->BlockedMonth == Archive->RequestMonth;
    const bool told = Watcher.Watch(progress, Linked.Up(), Linked.LastReplyStamp(), Now());
    if (changed || told)
        PublishDownloadStatus(told);
}

QString TEngine::StallText() const { return Watcher.StallText(*ComBuf, Archive->ArchiveRecordSize()); }

QString TEngine::StallReason() const { return Watcher.StallReason(*ComBuf, Archive->ArchiveRecordSize()); }

void TEngine::ApplyNames(const TSettings& settings)
{
    Settings.Miesto = settings.Miesto;
    Settings.TimeZone = settings.TimeZone;
    Settings.Password = settings.Password;
    FPassword = TSettings::AsciiUpper(settings.Password);
    Settings.Mail = settings.Mail;
    Settings.MeterNames = settings.MeterNames;
    Settings.ApplianceNames = settings.ApplianceNames;
    Settings.SignalNames = settings.SignalNames;
    GridEm->SetMeterNames(settings.MeterNames);
    // The counts shown follow the names, as the list works them out.
    const TValueListIO named(MaxAge, settings.ApplianceNames, settings.SignalNames);
    ListIO->ApplianceNames = named.ApplianceNames;
    ListIO->SignalNames = named.SignalNames;
    ListIO->ApplianceCount = named.ApplianceCount;
    ListIO->SignalCount = named.SignalCount;
    ListIO->ItemCount = named.ItemCount;
}

void TEngine::PublishDownloadStatus(bool stallChanged)
{
    if (!Watcher.Compose(Archive->DownloadStatusText(), Sched.FastDropped() ? FastFallbackText() : QString(), *ComBuf,
                         Archive->ArchiveRecordSize(), stallChanged))
        return;
    if (OnDownloadStatus)
        OnDownloadStatus(Watcher.Status());
    Notify([&](TEngineObserver* o) { o->DownloadChanged(*this); });
}

void TEngine::SecondStep()
{
    if (Watcher.FollowRate(ArchiveReplies->Stored))
        PublishDownloadStatus();
    if (!Linked.Second())
        return;
    Sched.SetGeneration(0);
    Values->InvalidateAll();
    InterfaceME->InvalidateAll();
    Follower.Invalidate();
    if (OnSilence)
        OnSilence(this);
    Notify([&](TEngineObserver* o) { o->Silenced(*this); });
}

bool TEngine::WriteCommand(uint8_t command, uint8_t length, const uint8_t* data, int waitMs)
{
    if (IsClosed || Sched.PollGroup() == 0 || Sched.WritePending() || !Root())
        return false;
    if (!Writer.Wait(Sched, waitMs, [this] { return IsClosed || Sched.PollGroup() == 0; }))
        return false;
    Send(command, length, data, 0);
    return ComBuf->Pending == (command | 0x80);
}

bool TEngine::WriteRegulatedPower(uint16_t vt, uint16_t nt, int waitMs)
{
    uint8_t data[4];
    PutWord(data, vt);
    PutWord(data + 2, nt);
    const uint32_t replies = PowerReplies;
    if (!WriteCommand(7, 4, data, waitMs))
        return false;
    // The exchange ends with the reply, or with a failure after which the
    // next request replaces the pending one.
    QElapsedTimer waited;
    waited.start();
    while (PowerReplies == replies && ComBuf->Pending == 0x87 && !IsClosed && waited.elapsed() < waitMs)
        TWriteTurn::Pump(10);
    // A limit of 0 asks for no change, so the regulator's own value stands.
    const auto took = [](uint16_t sent, uint16_t now) { return sent == 0 || sent == now; };
    return PowerReplies != replies && took(vt, uint16_t(PowerReported)) && took(nt, uint16_t(PowerReported >> 16));
}

void TEngine::Close(int waitMs)
{
    if (IsClosed)
        return;
    Sched.SetPollGroup(0);
    QElapsedTimer waited;
    waited.start();
    while (!ComBuf->RootIdle() && waited.elapsed() < waitMs)
        TWriteTurn::Pump(10);
    ComBuf->RootStop();
    IsClosed = true;
}

void TEngine::ValidReply()
{
    if (!Linked.Reply(Now()))
        return;
    // The silence before this reply is the outage's, not the download's.
    Watcher.LinkUp(Linked.LastReplyStamp());
    // Fresh or ageing by their own age again; what this reply brings is set
    // fresh by its decoding.
    Values->MarkStale(false);
    InterfaceME->MarkStale(false);
    Notify([&](TEngineObserver* o) { o->LinkChanged(*this); });
}

void TEngine::WatchLink()
{
    // A closed engine asks nothing, so its silence says nothing of the link.
    if (!Linked.Watch(Now(), GetTick(), !IsClosed && Sched.PollGroup() != 0))
        return;
    Follower.Invalidate();
    // Whatever the regulator last said is shown as old at once, on every
    // page alike; it goes missing later, by its age, as ever.
    Values->MarkStale(true);
    InterfaceME->MarkStale(true);
    Notify([&](TEngineObserver* o) { o->LinkChanged(*this); });
}

QString TEngine::LinkReason() const { return TTransport::Failure(Linked.LastStatus(), Settings, *ComBuf, Root()); }

QString TEngine::PortProblem() const { return TTransport::Problem(Settings, Root()); }

void TEngine::FollowInterval(uint32_t stamp, uint16_t elapsed, uint16_t average)
{
    std::array<uint16_t, 13> averages{};
    if (Generation() >= 3)
        for (size_t i = 0; i < averages.size(); ++i)
            averages[i] = GridEm->Readings[i][1];
    Follower.Follow(stamp, elapsed, average, static_cast<uint8_t>(ValueTa->Index), averages, Now(),
                    [&](const TClosedInterval& closed) { Notify([&](TEngineObserver* o) { o->IntervalClosed(*this, closed); }); });
}

QStringList MeasurementLabels(const TSettings& settings)
{
    return TValueGridEm::MakeRowNames(MainMeterTitle, settings.MeterNames);
}
