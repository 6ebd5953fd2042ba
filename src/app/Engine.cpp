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
    FLive.Create(*Archive, *InterfaceME, Settings, Generation);
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
                                   (Agreement.InformationHeld() ||
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
    const bool live = Agreement.InformationHeld() || Agreement.TableHeld() || LiveDue(GetTick() + ClockShift);
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
            if (const auto id = DecodeIdentification(data, length)) {
                FLive.Apply(*id);
                IdentityPending = true;
                Generation = id->Generation;
                Notify([&](TEngineObserver* o) { o->Identified(*this); });
            }
            break;
        case 1:
            if (const auto info = DecodeInformation(data, length, Generation);
                info && InformationAgrees(data, info->Channels)) {
                FLive.Apply(*info);
                RegulatedPowerArrived(info->Powers.Packed);
                // Generation 3 reports its meter kinds with every measurement block.
                if (Generation != 3)
                    Archive->KindMask = info->KindMask;
                Archive->SetChannels(info->Channels);
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
            if (const auto m = DecodeMeasurement(data, length)) {
                FLive.Apply(*m, TableAgrees(m->Table.data(), uint8_t(m->Table.size())));
                FollowInterval(m->TimeStamp, m->IntervalTime, m->Average);
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
            if (const auto record = DecodeRecordSlot(data, length)) {
                FLive.Apply(*record, RecordIndex & 3u);
                RecordIndex = RecordIndex >= 3 ? 0 : RecordIndex + 1;
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
