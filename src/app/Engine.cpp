#include "app/Engine.h"

#include "comm/BlockSerial.h"
#include "comm/ComThread.h"
#include "comm/SerialThread.h"
#include "comm/UDPThread.h"
#include "core/Tick.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace {
// Runs the event loop for about ms milliseconds, so waits on the main thread
// keep serving the worker's hand-overs and the timer's ticks.
void PumpEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

TEngine::TEngine(const TSettings& settings, uint16_t timerPeriod)
    : Settings(settings)
{
    Stamp16(SecondStamp);
    SilentSeconds = 255;
    PollGroup = 1;
    Merania = settings.Merania;
    Limit = std::max<uint8_t>(settings.Limit, 32);
    Password = TSettings::AsciiUpper(settings.Password);

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
        udp->UDPThread()->SetRemote(host, settings.UdpPort);
        root = udp;
    }
    // The root layer now belongs to ComBuf (the constructor made it its parent).
    if (settings.PauseW == 0)
        root->Thread->Purge = false;
    root->Thread->Timeout = settings.Timeout;
    root->Thread->SetLogCapacity(96);
    root->OnStatus = [this](uint8_t code) {
        LastStatus = code;
        if (OnStatus)
            OnStatus(code);
    };
}

TEngine::~TEngine()
{
    Close();
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
    if (ComBuf->Pending == (command | 0x80) && OnSent)
        OnSent(command);
}

void TEngine::ComBufCycle()
{
    if (PollGroup == 0)
        return;
    if (Generation == 0) {
        PollGroup = 1;
        PollStep = 0;
    }
    if (WritePending && PollStep > 0) {
        // This cycle belongs to the write waiting in WriteCommand; wake it
        // before another cycle can take the line.
        WritePending = 0;
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
                            if (ActivePage == PageArchive && Archive.RequestCount != 0 && Merania == 0) {
                                // The archive download gets the line.
                            } else if (ActivePage == PageRecord && RecordIndex != 0) {
                                // The four record blocks are read back to back.
                            } else {
                                command = Merania ? 10 : Generation >= 3 ? 8 : 2;
                            }
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
                        PollStep = PollStep >= 2 ? 1 : PollStep + 1;
                        if (command >= 0 || PollStep == startStep)
                            break;
                    }
                }
            }
        } else if (PollGroup == 2) {
            if (Archive.RequestCount != 0) {
                PutWord(data, Archive.RequestMonth);
                if (Generation >= 3) {
                    command = 9;
                    PutWord(data + 2, Archive.RequestStart);
                    length = 4;
                } else {
                    command = 3;
                    PutWord(data + 2, static_cast<uint16_t>(Archive.RequestStart - 1));
                    data[4] = static_cast<uint8_t>(std::min<uint16_t>(Archive.RequestCount, BatchSize()));
                    length = 5;
                }
            }
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

void TEngine::ComBufData(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    SilentSeconds = 0;
    if (command >= 128 && command <= 138) {
        switch (command - 128) {
        case 0:
            if (TIdentification::Decode(data, length, Identification))
                Generation = Identification.Generation;
            break;
        case 1:
            if (TInformation::Decode(data, length, Information)) {
                Channels = static_cast<uint8_t>(Information.Meters + (Generation == 3 ? 1 : 0));
                if (Generation < 3)
                    KindMask = Information.Kinds >> 1;
                if (PollStep == 0)
                    PollStep = 1;
            }
            break;
        case 2:
        case 5:
        case 8:
        case 10:
            if (TLive::Decode(static_cast<uint8_t>(command - 128), data, length, Live) && command - 128 >= 8)
                KindMask = Live.KindWord;
            break;
        case 4:
            if (TIntervalRecord::Decode(data, length, Records[RecordIndex & 3]))
                RecordIndex = RecordIndex >= 3 ? 0 : RecordIndex + 1;
            break;
        case 7:
            if (length >= 4) {
                Information.PregVT = GetWord(data);
                Information.PregNT = GetWord(data + 2);
            }
            break;
        default:
            break;
        }
    }
    if (OnReply)
        OnReply(address, command, length, data);
}

void TEngine::ComBufTick()
{
    if (Elapsed16(1000, SecondStamp, false))
        SecondStep();
}

void TEngine::SecondStep()
{
    if (SilentSeconds < 255 && ++SilentSeconds == 60) {
        Generation = 0;
        Identification.Valid = false;
        Information.Valid = false;
        Live.Valid = false;
        for (TIntervalRecord& r : Records)
            r.Valid = false;
        if (OnSilence)
            OnSilence(this);
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
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        WriteLoop = &loop;
        loop.exec();
        WriteLoop = nullptr;
    }
    Send(command, length, data, 0);
    return ComBuf->Pending == (command | 0x80);
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
