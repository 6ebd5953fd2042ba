#include "app/Engine.h"

#include "comm/BlockSerial.h"
#include "comm/ComThread.h"
#include "comm/SerialThread.h"
#include "comm/UDPThread.h"
#include "core/MeterNames.h"
#include "core/TextFunctions.h"
#include "core/Tick.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {
const QString MainMeterTitle = MainMeasurementTitle();
// Runs the event loop for about ms milliseconds, so waits on the main thread
// keep serving the worker's hand-overs and the timer's ticks.
void PumpEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

TEngine::TEngine(const TSettings& settings, uint16_t timerPeriod, const QString& archiveFolder)
    : Settings(settings)
{
    // The start-up order: the archive, the schedule state, the link, the
    // consumption values, then the values of the live pages.
    Archive = std::make_unique<TArchiveQDR>(archiveFolder);
    ArchiveReplies = std::make_unique<TArchiveReplies>(*Archive);
    Archive->OnMovedAside = [this](const TArchiveQDR::TMovedAside& moved) {
        const QString month = MonthText(moved.Month);
        if (moved.Reason == QLatin1String(TArchiveQDR::ReplacedReason)) {
            const QString who = moved.Was != moved.Now
                ? QStringLiteral("regulátor sa zmenil (bol „%1“, je „%2“)").arg(moved.Was, moved.Now)
                : QStringLiteral("regulátor „%1“ hlási len %2 záznamov, menej než je uložených").arg(moved.Now).arg(moved.Reported);
            if (moved.Aside.isEmpty())
                MovedAsideText = QStringLiteral("%1: %2, súbor sa nedá odložiť: %3").arg(month, who, moved.Why);
            else
                MovedAsideText = QStringLiteral("%1: %2, doterajšie záznamy sú v %3, mesiac sa sťahuje nanovo")
                                     .arg(month, who, QFileInfo(moved.Aside).fileName());
        } else if (moved.Aside.isEmpty())
            MovedAsideText = QStringLiteral("%1: záznamy majú novú veľkosť (%2 B), súbor sa nedá odložiť: %3")
                                 .arg(month).arg(moved.NewSize).arg(moved.Why);
        else
            MovedAsideText = QStringLiteral("%1: záznamy majú novú veľkosť (%2 B namiesto %3 B), doterajšie sú v %4")
                                 .arg(month).arg(moved.NewSize).arg(moved.OldSize).arg(QFileInfo(moved.Aside).fileName());
        PublishDownloadStatus();
        if (OnMovedAside)
            OnMovedAside(moved);
    };
    // A regulator that counts fewer records of a month than its file holds
    // is identified again before the archive judges the month.
    Archive->OnIdentityWanted = [this] {
        Generation = 0;
        PollStep = 0;
        PollGroup = 1;
    };
    Stamp16(SecondStamp);
    LastReplyStamp = GetTick() + ClockShift;
    SilentFrom = LastReplyStamp;
    SentAt = GetTick();
    FLink.Since = QDateTime::currentDateTime();
    SilentSeconds = 255;
    PollGroup = 1;
    Merania = settings.Merania;
    Limit = std::max<uint8_t>(settings.Limit, 32);
    Fast = settings.Rychlo;

    ComBuf = std::make_unique<TComBufQDR>(settings.Adr, Merania != 0);
    ComBuf->OnTick = [this](void*) { ComBufTick(); };
    ComBuf->OnCycle = [this](void*) { ComBufCycle(); };
    ComBuf->OnData = [this](uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
        ComBufData(address, command, length, data);
    };

    TComThreadInterface* root = nullptr;
    if (settings.Serial()) {
        ComBuf->CyclePeriod = 1000;
        const bool given = !settings.Device.isEmpty();
        const QString device = given ? settings.Device : SerialDeviceName(settings.Com);
        auto* serial = new TSerialInterface(ComBuf.get(), timerPeriod, device, settings.Com, 1200, 'N', 8, 1, given);
        serial->SerialThread()->PauseW = settings.PauseW;
        serial->SerialThread()->PauseD = settings.PauseD;
        root = serial;
    } else {
        ComBuf->CyclePeriod = 100;
        auto* udp = new TUDPInterface(ComBuf.get(), timerPeriod, 0);
        const QString host = settings.Host.isEmpty() ? settings.IP : settings.Host;
        // A port the configuration does not give is not guessed: every
        // exchange then ends with the interface error and the window says why.
        udp->UDPThread()->SetRemote(host, settings.Problem.isEmpty() ? settings.UdpPort : 0);
        root = udp;
    }
    // The root layer now belongs to ComBuf (the constructor made it its parent).
    if (settings.PauseW == 0)
        root->Thread->Purge = false;
    root->Thread->Timeout = settings.Timeout;
    root->Thread->LongestReply = TComBufQDR::LongestReply;
    // A late reply comes within a few time-outs of its request, if at all.
    ComBuf->SuspectMs = std::max<uint32_t>(2000, 2u * settings.Timeout);
    root->Thread->SetLogCapacity(96);
    root->OnStatus = [this](uint8_t code) {
        LastStatus = code;
        if (ArchivePending)
            Stall.Code = code;
        ArchivePending = false;
        if (OnStatus)
            OnStatus(code);
        Notify([&](TEngineObserver* o) { o->ExchangeEnded(*this, code); });
        // Last: the fast download may hand the next request over from here.
        ExchangeDone(code);
    };

    Password = TSettings::AsciiUpper(settings.Password);
    InterfaceME = std::make_unique<TInterfaceME>(MaxAge, settings.Intervaly);
    InterfaceME->PowerFactor->Computed = true;
    ArchiveReplies->IntervalMinutes = InterfaceME->IntervalMinutes;
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
    GridEm = v.AddNew<TValueGridEm>(MainMeterTitle, Generation, InterfaceME->Power,
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
    // Fast requests wait only as long as replies take; the probe asks at the
    // schedule's pace and waits the whole time-out.
    if (auto* link = dynamic_cast<TComThreadInterface*>(Root()))
        link->Thread->Adaptive = Fasting() && !FastProbe;
    ComBuf->SendCommand(command, length, data, holdTime);
    if (ComBuf->Pending != (command | 0x80))
        return;
    ExchangeOpen = true;
    // Silence is the regulator's only while requests go out: after a spell
    // in which nothing was asked (the process was stopped, say), it is
    // counted from this request.
    const uint32_t real = GetTick();
    if (real - SentAt > SendGapMs())
        SilentFrom = GetTick() + ClockShift;
    SentAt = real;
    Sent = command == 3 || command == 9 ? TSent::Archive : command == 7 ? TSent::Write : TSent::Live;
    if (Sent == TSent::Live)
        LiveTurnAt = GetTick() + ClockShift;
    // Whatever the schedule asks while a probe is due tells whether the
    // regulator answers at its pace.
    ProbeSent = FastProbe && Sent != TSent::Write;
    // Whatever answers next is checked against what was asked here.
    ArchiveReplies->Sent(command, length, data);
    ArchivePending = ArchiveReplies->Asked.Command != 0;
    if (OnSent)
        OnSent(command);
}

void TEngine::ComBufCycle()
{
    // A fast request handed over from the end of the last exchange may not
    // have reached the worker yet, and a write given the line goes first.
    if (PollGroup == 0 || ExchangeOpen || WriteGiven)
        return;
    if (Generation == 0) {
        PollGroup = 1;
        PollStep = 0;
    }
    if (WritePending && PollStep > 0) {
        // This cycle belongs to the write waiting in WriteCommand; wake it
        // before another cycle can take the line.
        WritePending = 0;
        // Only a write waiting in WriteCommand takes the line.
        WriteGiven = WriteLoop != nullptr;
        if (WriteLoop)
            WriteLoop->quit();
        return;
    }

    int command = -1;
    uint8_t data[5] = {};
    uint8_t length = 0;
    uint16_t hold = 0;
    const uint8_t startGroup = PollGroup;
    for (;;) {
        hold = 0;
        if (PollGroup == 1) {
            if (ComBuf->Hold == 0) {
                hold = 1000;
                if (Generation == 0) {
                    command = 0;
                } else {
                    const uint8_t startStep = PollStep;
                    for (;;) {
                        if (PollStep == 0) {
                            // Stays at step 0 until the information reply arrives.
                            command = 1;
                            break;
                        }
                        if (PollStep == 1) {
                            if (ActivePage == PageArchive && Download && Archive->RequestCount != 0 && Merania == 0 &&
                                !Fasting()) {
                                // The archive download gets the line (a fast one takes it
                                // between the cycles).
                            } else if (ActivePage == PageRecord && RecordIndex != 0) {
                                // The four record blocks are read back to back.
                            } else {
                                command = Merania ? 10 : Generation >= 3 ? 8 : 2;
                            }
                        } else if (PollStep == 3) {
                            // Every page's figures are watched: the measurement
                            // page's block comes in turn on the other pages too.
                            if (Generation > 1)
                                command = 5;
                        } else if (ActivePage != PageInformation &&
                                   (InformationHeld.Length != 0 ||
                                    (InformationEveryMs != 0 &&
                                     GetTick() + ClockShift - InformationStamp >= InformationEveryMs))) {
                            command = 1;
                            // Asked once per period, answered or not.
                            InformationStamp = GetTick() + ClockShift;
                        } else {
                            switch (ActivePage) {
                            case PageMeasurement:
                                if (Generation > 1)
                                    command = 5;
                                break;
                            case PageInformation:
                                command = 1;
                                break;
                            case PageRecord:
                                command = 4;
                                data[0] = RecordIndex;
                                length = 1;
                                break;
                            default:
                                break;
                            }
                        }
                        const uint8_t lastStep = WatchAll && ActivePage != PageMeasurement ? 3 : 2;
                        PollStep = PollStep >= lastStep ? 1 : PollStep + 1;
                        if (command >= 0 || PollStep == startStep)
                            break;
                    }
                }
            }
        } else if (PollGroup == 2) {
            uint8_t archive = 0;
            if (ArchiveRequest(archive, data, length))
                command = archive;
        }
        // Group 3 is reserved and sends nothing.
        if (PollStep != 0)
            PollGroup = PollGroup >= 3 ? 1 : PollGroup + 1;
        if (command >= 0 || PollGroup == startGroup)
            break;
    }
    if (command >= 0)
        Send(static_cast<uint8_t>(command), length, data, hold);
}

bool TEngine::ArchiveRequest(uint8_t& command, uint8_t* data, uint8_t& length) const
{
    if (!Download || Archive->RequestCount == 0)
        return false;
    PutWord(data, Archive->RequestMonth);
    if (Generation >= 3) {
        command = 9;
        PutWord(data + 2, Archive->RequestStart);
        length = 4;
    } else {
        command = 3;
        PutWord(data + 2, static_cast<uint16_t>(Archive->RequestStart - 1));
        data[4] = static_cast<uint8_t>(std::min<uint16_t>(Archive->RequestCount, BatchSize()));
        length = 5;
    }
    return true;
}

void TEngine::ExchangeDone(uint8_t code)
{
    const TSent sent = Sent;
    const bool probe = ProbeSent;
    Sent = TSent::None;
    ProbeSent = false;
    ExchangeOpen = false;
    // An interface error (a port that cannot be used, a line that never goes
    // quiet) says nothing of the regulator's pace and is retried at the
    // schedule's, so a missing port cannot turn this into a busy loop.
    if (!Fasting() || code == 2 || sent == TSent::None)
        return;
    if (sent == TSent::FastArchive) {
        if (code == 0) {
            FastMisses = 0;
            LiveSinceMiss = false;
            SlowAnswered = 0;
        } else if (FastMisses < 255) {
            ++FastMisses;
        }
    } else if (code == 0 && FastMisses != 0) {
        LiveSinceMiss = true;
    }
    // Whether the regulator answers at the schedule's pace after a run of
    // unanswered fast requests: a live request between them answered, or
    // else the probe (the next request, a live one, a whole cycle later).
    // Twice in a row before the fast download is given up, so a link that
    // comes back from a silent spell just as the probe goes out is not taken
    // for a regulator that cannot keep up.
    bool answered = false;
    bool decided = false;
    if (probe) {
        FastProbe = false;
        answered = code == 0;
        decided = true;
    } else if (FastMisses >= FastMissLimit) {
        if (!LiveSinceMiss) {
            FastProbe = true;
            PollGroup = 1;
            ComBuf->CycleTime = 0;
            return;
        }
        answered = decided = true;
    }
    if (decided) {
        FastMisses = 0;
        LiveSinceMiss = false;
        // Unanswered at the schedule's pace too: the link fails, not the pace.
        SlowAnswered = answered ? static_cast<uint8_t>(SlowAnswered + 1) : uint8_t(0);
        if (SlowAnswered >= 2) {
            FallBack();
            return;
        }
    }
    FastStep();
}

void TEngine::FastStep()
{
    if (IsClosed || PollGroup == 0 || Generation == 0 || PollStep == 0 || WriteGiven || FastProbe)
        return;
    // What the reply just filed moves the request on now, not at the tick.
    if (Download && Archive->Poll())
        PublishDownloadStatus();
    uint8_t command = 0;
    uint8_t length = 0;
    uint8_t data[5] = {};
    if (!ArchiveRequest(command, data, length))
        return;
    // The next cycle starts counting from this request, so the schedule
    // takes over at its own pace once the fast download stops.
    ComBuf->CycleTime = 0;
    if (WritePending) {
        WritePending = 0;
        // Only a write waiting in WriteCommand takes the line.
        WriteGiven = WriteLoop != nullptr;
        if (WriteLoop)
            WriteLoop->quit();
        return;
    }
    // A block held back until a second one agrees is asked by the live
    // group, as is the live group's own turn (once its hold time is over).
    const bool live = InformationHeld.Length != 0 || TableHeld.Length != 0 || LiveDue(GetTick() + ClockShift);
    if (live && ComBuf->Hold == 0) {
        PollGroup = 1;
        ComBufCycle();
    }
    if (!ExchangeOpen)
        Send(command, length, data, 0);
    // Whichever way it went out, an archive request sent now is a fast one.
    if (Sent == TSent::Archive)
        Sent = TSent::FastArchive;
}

bool TEngine::LiveDue(uint32_t now) const
{
    uint32_t every = LiveTurnMs;
    if (LiveInterval.Valid) {
        // The seconds into the interval as the last live block said, and
        // those since: near its end the alerts must see it close.
        const uint32_t length = std::max<uint32_t>(1, InterfaceME->IntervalMinutes) * 60;
        const uint32_t elapsed = LiveInterval.Elapsed + (now - LiveIntervalAt) / 1000;
        if (elapsed + NearEndSeconds >= length)
            every = LiveTurnNearEndMs;
    }
    return now - LiveTurnAt >= every;
}

void TEngine::FallBack()
{
    FastDropped = true;
    FastProbe = false;
    PublishDownloadStatus();
    Notify([&](TEngineObserver* o) { o->FastFellBack(*this); });
}

void TEngine::FollowRate()
{
    for (int i = RateSeconds; i > 0; --i)
        RateStored[size_t(i)] = RateStored[size_t(i - 1)];
    RateStored[0] = ArchiveReplies->Stored;
    const double rate = RateFilled == 0 ? 0.0 : double(RateStored[0] - RateStored[size_t(RateFilled)]) / RateFilled;
    if (RateFilled < RateSeconds)
        ++RateFilled;
    if (rate != Rate) {
        Rate = rate;
        PublishDownloadStatus();
    }
}

void TEngine::ComBufData(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    SilentSeconds = 0;
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
                IdentityPending = true;
                Generation = 1;
                if (data[n - 4] == '2' && data[n - 3] == '0' && data[n - 2] == '0') {
                    if (data[n - 1] == '0')
                        Generation = 2;
                    else if (data[n - 1] == '2')
                        Generation = 3;
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
                if (Generation == 3)
                    ++channels;
                else
                    Archive->KindMask = static_cast<uint16_t>(data[19] >> 1);
                GridEm->MeterCount = channels;
                Archive->SetChannels(channels);
                if (PollStep == 0)
                    PollStep = 1;
                // The identification stands once the information block
                // that follows it is taken.
                if (IdentityPending) {
                    IdentityPending = false;
                    Archive->SetIdentity(ValueId->Text);
                }
                InformationStamp = GetTick() + ClockShift;
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
            if (!Download) {
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
                const size_t slot = RecordIndex & 3u;
                ValueQ[slot]->SetValue(GetLong(data), 0);
                ListQ[slot]->SetSamples(data + 4, (length - 4) / 2);
                RecordIndex = RecordIndex >= 3 ? 0 : RecordIndex + 1;
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
    if (Generation == 3)
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
    const uint16_t now = static_cast<uint16_t>(GetTick16() + ClockShift);
    Values->TickAll(now);
    InterfaceME->Tick(now);
    // The link first: a stall ends in the tick the link goes down.
    WatchLink(GetTick() + ClockShift);
    if (Download)
        WatchDownload();
    if (Elapsed16At(now, 1000, SecondStamp, false))
        SecondStep();
    if (OnTicked)
        OnTicked(this);
}

void TEngine::WatchDownload()
{
    const bool changed = Archive->Poll();
    const uint32_t now = GetTick() + ClockShift;
    const bool moved = ArchiveReplies->Stored != StallStored || Archive->RequestMonth != StallRequestMonth ||
        Archive->RequestStart != StallRequestStart || Archive->RequestCount == 0;
    if (moved) {
        StallStored = ArchiveReplies->Stored;
        StallRequestMonth = Archive->RequestMonth;
        StallRequestStart = Archive->RequestStart;
        StallCounted = 0;
        StallCountedTo = now;
    }
    // The download stands only where the regulator was heard: the clock runs
    // up to the last valid reply and only while the link is up, so a mute
    // spell (the time-outs before the link is taken as down included) is the
    // outage the link says, never a stall.
    if (LinkUp() && static_cast<int32_t>(LastReplyStamp - StallCountedTo) > 0) {
        StallCounted += LastReplyStamp - StallCountedTo;
        StallCountedTo = LastReplyStamp;
    }
    const bool stalled = !moved && LinkUp() && StallCounted >= StallMs;
    TStall stall;
    if (stalled) {
        stall = Stall;
        stall.Stalled = true;
        stall.Month = Archive->RequestMonth;
        stall.Record = Archive->RequestStart;
        stall.Problem = ArchiveReplies->Problem;
        stall.Blocked = Archive->BlockedMonth == Archive->RequestMonth;
    } else {
        stall.Code = Stall.Code;
    }
    const bool told = stall.Stalled != Stall.Stalled || (stalled && (stall.Problem != Stall.Problem || stall.Blocked != Stall.Blocked));
    Stall = stall;
    if (changed || told)
        PublishDownloadStatus(told);
}

QString TEngine::StallText() const
{
    if (!Stall.Stalled)
        return {};
    QString why;
    if (Stall.Blocked) {
        why = QStringLiteral("súbor mesiaca sa nedá odložiť");
    } else if (Stall.Code == 1) {
        why = QStringLiteral("regulátor na archívne požiadavky neodpovedá včas");
    } else if (Stall.Code == 2) {
        why = QStringLiteral("archívne požiadavky končia chybou komunikačného rozhrania");
    } else if (Stall.Code != 0) {
        // With the letter the communication lamp shows for the same fault.
        const QString letter = QString(ComBuf->CodeChar(Stall.Code)).trimmed();
        why = QStringLiteral("na archívne požiadavky prichádza chybná odpoveď");
        if (!letter.isEmpty())
            why += QStringLiteral(" (%1)").arg(letter);
    } else {
        switch (Stall.Problem) {
        case TArchiveReplies::Unasked: why = QStringLiteral("odpovede nepatria k požiadavke"); break;
        case TArchiveReplies::OtherRecord: why = QStringLiteral("regulátor posiela iný záznam"); break;
        case TArchiveReplies::TooMany: why = QStringLiteral("odpoveď má viac záznamov, ako sa žiadalo"); break;
        case TArchiveReplies::Repeat: why = QStringLiteral("odpovede opakujú uložené záznamy"); break;
        case TArchiveReplies::Unconfirmed: why = QStringLiteral("odpovede sa nepotvrdili druhou rovnakou"); break;
        case TArchiveReplies::BadTime: why = QStringLiteral("čas záznamu nepatrí do mesiaca"); break;
        case TArchiveReplies::NotFiled:
            why = QStringLiteral("záznamy sa nedajú uložiť (%1 B)").arg(Archive->ArchiveRecordSize());
            break;
        case TArchiveReplies::None: why = QStringLiteral("záznamy neprichádzajú"); break;
        }
    }
    return QStringLiteral("%1 stojí pri zázname %2: %3").arg(MonthText(Stall.Month)).arg(Stall.Record).arg(why);
}

QString TEngine::StallReason() const
{
    const TStall& s = Stall;
    if (s.Blocked)
        return QStringLiteral("the month's file of the old record size cannot be moved aside");
    if (s.Code != 0)
        return QStringLiteral("archive requests end with result %1 %2").arg(s.Code).arg(ComBuf->CodeText(s.Code));
    switch (s.Problem) {
    case TArchiveReplies::Unasked: return QStringLiteral("the replies answer no archive request");
    case TArchiveReplies::OtherRecord: return QStringLiteral("the regulator answers with another record");
    case TArchiveReplies::TooMany: return QStringLiteral("the replies hold more records than asked for");
    case TArchiveReplies::Repeat: return QStringLiteral("the replies repeat records already filed");
    case TArchiveReplies::Unconfirmed: return QStringLiteral("the replies are not confirmed by a second answer alike");
    case TArchiveReplies::BadTime: return QStringLiteral("the records' times are no times of the month asked for");
    case TArchiveReplies::NotFiled:
        return QStringLiteral("the records (%1 bytes) cannot be filed").arg(Archive->ArchiveRecordSize());
    case TArchiveReplies::None: break;
    }
    return QStringLiteral("no records arrive");
}

void TEngine::ApplyNames(const TSettings& settings)
{
    Settings.Miesto = settings.Miesto;
    Settings.TimeZone = settings.TimeZone;
    Settings.Password = settings.Password;
    Password = TSettings::AsciiUpper(settings.Password);
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
    QStringList parts;
    if (Stall.Stalled)
        parts << StallText();
    else if (const QString progress = Archive->DownloadStatusText(); !progress.isEmpty()) {
        if (Rate > 0)
            parts << progress + QStringLiteral(", %1 záznamov/s").arg(QString::number(Rate, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')));
        else
            parts << progress;
        if (FastDropped)
            parts << FastFallbackText();
    }
    if (!MovedAsideText.isEmpty())
        parts << MovedAsideText;
    const QString text = parts.join(QStringLiteral("  |  "));
    if (text == DownloadStatus && !stallChanged)
        return;
    DownloadStatus = text;
    if (OnDownloadStatus)
        OnDownloadStatus(DownloadStatus);
    Notify([&](TEngineObserver* o) { o->DownloadChanged(*this); });
}

void TEngine::SecondStep()
{
    FollowRate();
    if (SilentSeconds < 255 && ++SilentSeconds == SilenceSeconds) {
        Generation = 0;
        Values->InvalidateAll();
        InterfaceME->InvalidateAll();
        LiveInterval.Valid = false;
        if (OnSilence)
            OnSilence(this);
        Notify([&](TEngineObserver* o) { o->Silenced(*this); });
    }
}

bool TEngine::WriteCommand(uint8_t command, uint8_t length, const uint8_t* data, int waitMs)
{
    if (IsClosed || PollGroup == 0 || WritePending || !Root())
        return false;
    WritePending = 1;
    QElapsedTimer waited;
    waited.start();
    while (WritePending) {
        if (IsClosed || PollGroup == 0 || waited.elapsed() > waitMs) {
            WritePending = 0;
            WriteGiven = false;
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        WriteLoop = &loop;
        loop.exec();
        WriteLoop = nullptr;
    }
    WriteGiven = false;
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
        PumpEvents(10);
    // A limit of 0 asks for no change, so the regulator's own value stands.
    const auto took = [](uint16_t sent, uint16_t now) { return sent == 0 || sent == now; };
    return PowerReplies != replies && took(vt, uint16_t(PowerReported)) && took(nt, uint16_t(PowerReported >> 16));
}

void TEngine::Close(int waitMs)
{
    if (IsClosed)
        return;
    PollGroup = 0;
    QElapsedTimer waited;
    waited.start();
    while (!ComBuf->RootIdle() && waited.elapsed() < waitMs)
        PumpEvents(10);
    ComBuf->RootStop();
    IsClosed = true;
}

template <typename F> void TEngine::Notify(F&& call)
{
    // A copy: an observer may remove itself (or add another) from its call.
    const std::vector<TEngineObserver*> observers = Observers;
    for (TEngineObserver* o : observers)
        if (std::find(Observers.begin(), Observers.end(), o) != Observers.end())
            call(o);
}

void TEngine::AddObserver(TEngineObserver* observer)
{
    if (observer && std::find(Observers.begin(), Observers.end(), observer) == Observers.end())
        Observers.push_back(observer);
}

void TEngine::RemoveObserver(TEngineObserver* observer)
{
    Observers.erase(std::remove(Observers.begin(), Observers.end(), observer), Observers.end());
}

void TEngine::ValidReply()
{
    LastReplyStamp = GetTick() + ClockShift;
    SilentFrom = LastReplyStamp;
    FLink.LastReply = QDateTime::currentDateTime();
    if (FLink.State == TLinkState::Up)
        return;
    FLink.State = TLinkState::Up;
    FLink.Since = FLink.LastReply;
    // The silence before this reply is the outage's, not the download's.
    StallCountedTo = LastReplyStamp;
    // Fresh or ageing by their own age again; what this reply brings is set
    // fresh by its decoding.
    Values->MarkStale(false);
    InterfaceME->MarkStale(false);
    Notify([&](TEngineObserver* o) { o->LinkChanged(*this); });
}

void TEngine::WatchLink(uint32_t now)
{
    // A closed engine asks nothing, so its silence says nothing of the link.
    if (FLink.State == TLinkState::Down || IsClosed || PollGroup == 0 || now - LastReplyStamp < LinkDownMs ||
        now - SilentFrom < LinkDownMs)
        return;
    // Nothing asked for a while (a stopped process asks nothing): the
    // silence is not the regulator's, and is counted from the next request.
    if (GetTick() - SentAt > SendGapMs())
        return;
    FLink.State = TLinkState::Down;
    if (FLink.LastReply.isValid())
        FLink.Since = FLink.LastReply;
    LiveInterval.Valid = false;
    // Whatever the regulator last said is shown as old at once, on every
    // page alike; it goes missing later, by its age, as ever.
    Values->MarkStale(true);
    InterfaceME->MarkStale(true);
    Notify([&](TEngineObserver* o) { o->LinkChanged(*this); });
}

QString TEngine::LinkReason() const
{
    switch (LastStatus) {
    case 0:
        return {};
    case 1:
        return QStringLiteral("no reply within %1 ms").arg(Settings.Timeout);
    case 2:
        return PortProblem();
    default:
        return QStringLiteral("bad reply (%1)").arg(ComBuf->CodeText(LastStatus));
    }
}

QString TEngine::PortProblem() const
{
    if (Settings.Serial()) {
        auto* root = dynamic_cast<TSerialInterface*>(Root());
        const TSerialThread* thread = root ? root->SerialThread() : nullptr;
        if (thread && thread->LineNoisy.load())
            return QStringLiteral("serial port %1: the line never goes quiet (noise, or a second master)").arg(thread->Device);
        QString text = QStringLiteral("cannot open serial port %1").arg(thread ? thread->Device : Settings.Device);
        if (thread && !thread->LastErrorText.isEmpty())
            text += QStringLiteral(": ") + thread->LastErrorText;
        return text;
    }
    if (!Settings.Problem.isEmpty())
        return Settings.Problem;
    auto* udp = dynamic_cast<TUDPInterface*>(Root());
    if (udp && udp->UDPThread()->Unresolved.load())
        return QStringLiteral("cannot resolve %1").arg(Settings.Host);
    QString text = QStringLiteral("cannot use the UDP socket to %1:%2").arg(Settings.Host).arg(Settings.UdpPort);
    if (udp && !udp->UDPThread()->LastErrorText.isEmpty())
        text += QStringLiteral(": ") + udp->UDPThread()->LastErrorText;
    return text;
}

void TEngine::FollowInterval(uint32_t stamp, uint16_t elapsed, uint16_t average)
{
    // The regulator stamps its blocks to the minute only, but it counts the
    // seconds into the interval: the stamp less those seconds lies within a
    // minute before the true start, which intervals put on a whole multiple
    // of their length in the month. The multiple nearest the middle of that
    // minute is the start, also for intervals of one minute.
    const uint16_t month = static_cast<uint16_t>(stamp >> 16);
    const uint32_t minutes = stamp & 0xFFFFu;
    const uint32_t length = std::max<uint32_t>(1, InterfaceME->IntervalMinutes) * 60;
    if (month == 0 || elapsed > length + 60) {
        LiveInterval.Valid = false;
        return;
    }
    const int64_t startSeconds = int64_t(minutes) * 60 - elapsed;
    const auto start = static_cast<uint16_t>(std::max<int64_t>(0, (startSeconds + 29 + length / 2) / length * length / 60));
    if (LiveInterval.Valid && (month != LiveInterval.Month || start != LiveInterval.Start)) {
        TClosedInterval closed;
        closed.Start = (uint32_t(LiveInterval.Month) << 16) | LiveInterval.Start;
        closed.Length = static_cast<uint16_t>(length);
        closed.AveragePower = LiveInterval.Average;
        closed.LastElapsed = LiveInterval.Elapsed;
        closed.Tariff = LiveInterval.Tariff;
        closed.Averages = LiveInterval.Averages;
        Notify([&](TEngineObserver* o) { o->IntervalClosed(*this, closed); });
    }
    LiveInterval.Valid = true;
    LiveIntervalAt = GetTick() + ClockShift;
    LiveInterval.Month = month;
    LiveInterval.Start = start;
    LiveInterval.Elapsed = elapsed;
    LiveInterval.Average = average;
    LiveInterval.Tariff = static_cast<uint8_t>(ValueTa->Index);
    if (Generation >= 3)
        for (size_t i = 0; i < LiveInterval.Averages.size(); ++i)
            LiveInterval.Averages[i] = GridEm->Readings[i][1];
    else
        LiveInterval.Averages.fill(0);
}

QStringList MeasurementLabels(const TSettings& settings)
{
    return TValueGridEm::MakeRowNames(MainMeterTitle, settings.MeterNames);
}

QString TEngine::FastFallbackText()
{
    return QStringLiteral("rýchle sťahovanie vypnuté, regulátor nestíha: ďalej podľa rozvrhu");
}

QString TEngine::FastFallbackReason()
{
    return QStringLiteral("twice %1 fast archive requests in a row went unanswered while requests at the schedule's pace were "
                          "answered; the download goes on at the schedule's pace")
        .arg(FastMissLimit);
}
