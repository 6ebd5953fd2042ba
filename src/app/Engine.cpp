#include "app/Engine.h"

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
    CreateValues();
}

void TEngine::CreateValues()
{
    Values = std::make_unique<TValues>(ValueCapacity);
    TValues& v = *Values;
    ValueTa = v.AddNew<TValueStrings>(MaxAge);
    ValueTa->Strings << QStringLiteral("VT") << QStringLiteral("NT");
    ValueRs = v.AddNew<TValueWord>(MaxAge);
    ValuePmV = v.AddNew<TValueWord>(MaxAge);
    ValuePmN = v.AddNew<TValueWord>(MaxAge);
    ValueTmV = v.AddNew<TValueDateTime>(MaxAge);
    ValueTmN = v.AddNew<TValueDateTime>(MaxAge);
    ValueTr = v.AddNew<TValueDateTime>(MaxAge);
    GridEm = v.AddNew<TValueGridEm>(MainMeterTitle, Sched.GenerationRef(), InterfaceME->Power,
                                    InterfaceME->AveragePower, InterfaceME->ReactivePower, Settings.JalPlus,
                                    Settings.JalMinus, MaxAge, Settings.MeterNames);
    GridAr = v.AddNew<TValueGridAr>(Archive.get(), MaxAge);
    ListIO = v.AddNew<TValueListIO>(MaxAge, Settings.ApplianceNames, Settings.SignalNames);
    ValueId = v.AddNew<TValueString>(MaxAge);
    ValueId->ClearMaxAge();
    ValueTres = v.AddNew<TValueDateTime>(MaxAge);
    ValueTnmi = v.AddNew<TValueDateTime>(MaxAge);
    ValueTini = v.AddNew<TValueDateTime>(MaxAge);
    ValueTcfg = v.AddNew<TValueDateTime>(MaxAge);
    ValueKem = v.AddNew<TValueWord>(MaxAge);
    ValueKrs = v.AddNew<TValueWord>(MaxAge);
    ValueKso = v.AddNew<TValueWord>(MaxAge);
    ValuePregV = v.AddNew<TValueWord>(MaxAge);
    ValuePregN = v.AddNew<TValueWord>(MaxAge);
    for (size_t i = 0; i < 4; ++i) {
        ValueQ[i] = v.AddNew<TValueDateTime>(MaxAge);
        ListQ[i] = v.AddNew<TValueListQ>(InterfaceME->IntervalMinutes, MaxAge);
    }
}

const QStringList& TEngine::ControlNames()
{
    static const QStringList names = {
        QStringLiteral("LabelTd"),    QStringLiteral("LabelTc"),    QStringLiteral("LabelTa"),
        QStringLiteral("LabelPa"),    QStringLiteral("LabelPr"),    QStringLiteral("LabelRs"),
        QStringLiteral("LabelPmV"),   QStringLiteral("LabelPmN"),   QStringLiteral("LabelTmV"),
        QStringLiteral("LabelTmN"),   QStringLiteral("LabelTr"),    QStringLiteral("DrawGridEm"),
        QStringLiteral("DrawGridAr"), QStringLiteral("ListBoxIO"),  QStringLiteral("LabelId"),
        QStringLiteral("LabelTres"),  QStringLiteral("LabelTnmi"),  QStringLiteral("LabelTini"),
        QStringLiteral("LabelTcfg"),  QStringLiteral("LabelKem"),   QStringLiteral("LabelKrs"),
        QStringLiteral("LabelKso"),   QStringLiteral("LabelPregV"), QStringLiteral("LabelPregN"),
        QStringLiteral("LabelQ0"),    QStringLiteral("LabelQ1"),    QStringLiteral("LabelQ2"),
        QStringLiteral("LabelQ3"),    QStringLiteral("ListBoxQ0"),  QStringLiteral("ListBoxQ1"),
        QStringLiteral("ListBoxQ2"),  QStringLiteral("ListBoxQ3"),
        // The consumption page.
        QStringLiteral("LabelPd"),    QStringLiteral("LabelAd"),    QStringLiteral("PanelDt"),
        QStringLiteral("LabelQa"),    QStringLiteral("LabelCf"),    QStringLiteral("LabelPq"),
        QStringLiteral("LabelAh"),    QStringLiteral("LabelTh"),    QStringLiteral("LabelPo"),
        QStringLiteral("LabelAo"),    QStringLiteral("LabelPp"),    QStringLiteral("LabelAp"),
    };
    return names;
}

TValue* TEngine::Value(const QString& name) const
{
    const TInterfaceME& me = *InterfaceME;
    const std::pair<const char*, TValue*> table[] = {
        {"LabelTd", me.TimeStamp},     {"PanelDt", me.TimeStamp},      {"LabelTc", me.IntervalTime},
        {"LabelPa", me.Power},         {"LabelPr", me.AveragePower},   {"LabelTa", ValueTa},
        {"LabelRs", ValueRs},          {"LabelPmV", ValuePmV},         {"LabelPmN", ValuePmN},
        {"LabelTmV", ValueTmV},        {"LabelTmN", ValueTmN},         {"LabelTr", ValueTr},
        {"DrawGridEm", GridEm},        {"DrawGridAr", GridAr},         {"ListBoxIO", ListIO},
        {"LabelId", ValueId},          {"LabelTres", ValueTres},       {"LabelTnmi", ValueTnmi},
        {"LabelTini", ValueTini},      {"LabelTcfg", ValueTcfg},       {"LabelKem", ValueKem},
        {"LabelKrs", ValueKrs},        {"LabelKso", ValueKso},         {"LabelPregV", ValuePregV},
        {"LabelPregN", ValuePregN},    {"LabelQ0", ValueQ[0]},         {"LabelQ1", ValueQ[1]},
        {"LabelQ2", ValueQ[2]},        {"LabelQ3", ValueQ[3]},         {"ListBoxQ0", ListQ[0]},
        {"ListBoxQ1", ListQ[1]},       {"ListBoxQ2", ListQ[2]},        {"ListBoxQ3", ListQ[3]},
        {"LabelPd", me.AllowedPower},  {"LabelAd", me.AgreedEnergy},   {"LabelQa", me.ReactivePower},
        {"LabelCf", me.PowerFactor},   {"LabelPq", me.OptimalIntervalPower},
        {"LabelAh", me.MeasuredEnergy}, {"LabelTh", me.HourTime},      {"LabelPo", me.OptimalPower},
        {"LabelAo", me.OptimalEnergy}, {"LabelPp", me.PowerDeviation}, {"LabelAp", me.EnergyDeviation},
    };
    for (const auto& [control, value] : table)
        if (name == QLatin1String(control))
            return value;
    return nullptr;
}

TEngine::~TEngine()
{
    Close();
    // Values refer to the archive and to the consumption values, so they go
    // first; the archive saves what it still holds; the link goes last.
    Values.reset();
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
    in.InformationHeld = InformationHeld.Length != 0;
    in.TableHeld = TableHeld.Length != 0;
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
            if (length >= 10) {
                const int n = std::min<int>(length, 253);
                int end = 6;
                while (end < n && data[end] != 0)
                    ++end;
                ValueId->SetText(FromRegulatorText(reinterpret_cast<const char*>(data + 6), end - 6), 0);
                Sched.SetIdentityPending(true);
                Sched.SetGeneration(1);
                if (data[n - 4] == '2' && data[n - 3] == '0' && data[n - 2] == '0') {
                    if (data[n - 1] == '0')
                        Sched.SetGeneration(2);
                    else if (data[n - 1] == '2')
                        Sched.SetGeneration(3);
                }
                Notify([&](TEngineObserver* o) { o->Identified(*this); });
            }
            break;
        case 1:
            if (length >= 24 && InformationAgrees(data)) {
                ValueTini->SetValue(GetLong(data + 0), 0);
                ValueTnmi->SetValue(GetLong(data + 4), 0);
                ValueTcfg->SetValue(GetLong(data + 8), 0);
                ValueTres->SetValue(GetLong(data + 12), 0);
                ValueKrs->SetValue(data[17], 0);
                ValueKso->SetValue(data[18], 0);
                ListIO->SetReportedAppliances(data[18]);
                RegulatedPowerArrived(GetLong(data + 20));
                ValueKem->SetValue(data[16], 0);
                GridEm->SetReportedMeters(data[16]);
                // Generation 3 reports the main measurement as a channel of its
                // own, and its meter kinds with every measurement block.
                uint8_t channels = data[16];
                if (Generation() == 3)
                    ++channels;
                else
                    Archive->KindMask = static_cast<uint16_t>(data[19] >> 1);
                GridEm->MeterCount = channels;
                Archive->SetChannels(channels);
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
            if (length >= 35) {
                InterfaceME->TimeStamp->SetValue(GetLong(data + 1), 0);
                InterfaceME->IntervalTime->SetValue(GetWord(data + 5), 0);
                InterfaceME->Power->SetValue(GetWord(data + 7), 0);
                InterfaceME->AveragePower->SetValue(GetWord(data + 9), 0);
                ValueRs->SetValue(data[11], 0);
                ValueTa->SetIndex(data[12], 0);
                ValuePmV->SetValue(GetWord(data + 13), 0);
                ValuePmN->SetValue(GetWord(data + 15), 0);
                ValueTmV->SetValue(GetLong(data + 17), 0);
                ValueTmN->SetValue(GetLong(data + 21), 0);
                if (TableAgrees(data + 25, 10))
                    GridAr->SetTable(data + 25);
                FollowInterval(GetLong(data + 1), GetWord(data + 5), GetWord(data + 9));
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
            if (length >= 4) {
                const size_t slot = Sched.RecordIndex() & 3u;
                ValueQ[slot]->SetValue(GetLong(data), 0);
                ListQ[slot]->SetSamples(data + 4, (length - 4) / 2);
                Sched.NextRecord();
            }
            break;
        case 5:
            if (length >= 43) {
                InterfaceME->TimeStamp->SetValue(GetLong(data + 0), 0);
                ValueRs->SetValue(data[8], 0);
                ValueTa->SetIndex(data[9], 0);
                ListIO->SetStates(data + 18, data + 10);
                ValuePmV->SetValue(GetWord(data + 26), 0);
                ValuePmN->SetValue(GetWord(data + 28), 0);
                ValueTmV->SetValue(GetLong(data + 30), 0);
                ValueTmN->SetValue(GetLong(data + 34), 0);
                ValueTr->SetValue(GetLong(data + 38), 0);
                live = 5;
            }
            break;
        case 7:
            if (length >= 4) {
                ++PowerReplies;
                PowerReported = GetLong(data);
                RegulatedPowerArrived(PowerReported);
            }
            break;
        case 8:
            if (length >= 70) {
                MeasurementArrived(data);
                live = 8;
            }
            break;
        case 10:
            if (length >= 88) {
                MeasurementArrived(data);
                live = 10;
                TInterfaceME& me = *InterfaceME;
                me.AllowedPower->SetValue(GetWord(data + 70), 0);
                me.OptimalIntervalPower->SetValue(GetWord(data + 72), 0);
                me.Date->SetValue(GetLong(data + 74), 0);
                me.Number->SetValue(GetWord(data + 78), 0);
                me.IntervalNumber->SetValue(GetLong(data + 80), 0);
                me.AgreedEnergy->SetValue(GetWord(data + 84), 0);
                me.MeasuredEnergy->SetValue(GetWord(data + 86), 0);
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

bool TEngine::InformationAgrees(const uint8_t* data)
{
    // The meter count fixes the size of every record filed from now on, and
    // a change moves the month's file aside: a block that may be the late
    // answer to another request (24 bytes are four archive records), or one
    // that changes the count, is taken only when the next information block
    // brings the same bytes. Until then the schedule asks for it again.
    uint8_t channels = data[16];
    if (Generation() == 3)
        ++channels;
    const uint16_t size = Archive->ArchiveRecordSize();
    const bool changes = size != 0 && size != 2 + 2 * channels;
    if (!ComBuf->Suspect() && !changes) {
        InformationHeld.Length = 0;
        return true;
    }
    const bool agrees = InformationHeld.Length == 24 && std::memcmp(InformationHeld.Bytes.data(), data, 24) == 0;
    if (agrees) {
        InformationHeld.Length = 0;
        return true;
    }
    std::memcpy(InformationHeld.Bytes.data(), data, 24);
    InformationHeld.Length = 24;
    return false;
}

bool TEngine::TableAgrees(const uint8_t* bytes, uint8_t length)
{
    // What the download asks for follows the month table (and, for
    // generation 3, the meter kinds before it): from a block that may be a
    // late answer of another kind it is taken only when the next block says
    // the same.
    if (!ComBuf->Suspect()) {
        TableHeld.Length = 0;
        return true;
    }
    const bool agrees = TableHeld.Length == length && std::memcmp(TableHeld.Bytes.data(), bytes, length) == 0;
    std::memcpy(TableHeld.Bytes.data(), bytes, length);
    TableHeld.Length = length;
    return agrees;
}

void TEngine::RegulatedPowerArrived(uint32_t powers)
{
    const auto vt = static_cast<uint16_t>(powers);
    const auto nt = static_cast<uint16_t>(powers >> 16);
    ValuePregV->SetValue(vt, 0);
    ValuePregN->SetValue(nt, 0);
    // The archive view draws its limit lines from these.
    if (OnRegulatedPower)
        OnRegulatedPower(vt, nt);
    Notify([&](TEngineObserver* o) { o->RegulatedPowerArrived(*this, vt, nt); });
}

void TEngine::MeasurementArrived(const uint8_t* data)
{
    InterfaceME->TimeStamp->SetValue(GetLong(data + 0), 0);
    InterfaceME->IntervalTime->SetValue(GetWord(data + 4), 0);
    const uint16_t kinds = GetWord(data + 58);
    GridEm->SetReadings(data + 6, kinds);
    if (TableAgrees(data + 58, 12)) {
        Archive->KindMask = kinds;
        GridAr->SetTable(data + 60);
    }
    FollowInterval(GetLong(data + 0), GetWord(data + 4), GetWord(data + 8));
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
