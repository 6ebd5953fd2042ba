#include "comm/SerialThread.h"

#include <algorithm>
#include <cmath>

namespace {
// Size of the receive buffer for one reply; anything beyond is stale input
// for the next purge.
constexpr uint16_t SerialBlock = 1024;
}

TSerialThread::TSerialThread(const QString& device, uint8_t port, uint32_t baud, char parity, uint8_t dataBits,
                             uint8_t stopBits, bool deviceGiven)
    : Port(port)
    , Device(device)
    , DeviceGiven(deviceGiven)
    , Baud(baud)
    , Parity(parity)
    , DataBits(dataBits)
    , StopBits(stopBits == 1 ? 0 : stopBits)
{
    ListenMode = 1;
    Serial = std::make_unique<TBlockSerial>();
    Serial->Open(Device);
    Serial->Configure(Baud, DataBits, Parity, StopBits, false, false);
    Serial->SetRtsToggle();
    Serial->ClearDtr();
    PauseW = 10;
    PauseD = 60;
    Purge = true;
    if (Serial->LastError != 0) {
        LastError = Serial->LastError;
        LastErrorText = Serial->LastErrorText;
        NextState = csError;
    }
    Resume();
}

TSerialThread::~TSerialThread() { Stop(); }

uint16_t TSerialThread::PurgeCount()
{
    // No pause, no purge: the reply is awaited right after writing.
    if (PauseW == 0)
        return 0;
    if (!Serial->WaitForData(PauseW))
        return 0;
    return static_cast<uint16_t>(std::clamp(Serial->Waiting(), 0, 0xFFFF));
}

uint16_t TSerialThread::Available() { return Serial->WaitForData(0) ? SerialBlock : 0; }

bool TSerialThread::MoreComing() { return Serial->WaitForData(PauseD); }

uint16_t TSerialThread::Read(uint8_t* buffer, uint16_t room)
{
    int got = 0;
    const int waiting = Serial->Waiting();
    if (waiting > 0)
        got = Serial->ReadBytes(buffer, std::min<int>(waiting, room));
    if (Serial->LastError != 0) {
        LastError = Serial->LastError;
        LastErrorText = Serial->LastErrorText;
        NextState = csError;
    }
    return static_cast<uint16_t>(std::clamp(got, 0, int(room)));
}

void TSerialThread::Write(const uint8_t* buffer, uint16_t length) { Serial->WriteBytes(buffer, length); }

QString TSerialThread::Description() const
{
    const QString name = DeviceGiven ? Device : QStringLiteral("COM%1").arg(Port);
    const QString stop = StopBits == 0 ? QStringLiteral("1") : StopBits == 1 ? QStringLiteral("1.5") : QString::number(StopBits);
    return QStringLiteral("%1:%2,%3,%4,%5").arg(name).arg(Baud).arg(QChar::fromLatin1(Parity)).arg(DataBits).arg(stop);
}

bool TSerialThread::WaitForInput(uint32_t ms)
{
    return Serial && Serial->IsOpen() && Serial->WaitForData(ms);
}

// Bytes already waiting when a request goes out (a reply that came after its
// time-out, the rest of a long block) cannot answer it; without PauseW there
// is no purge after the write to drop them.
void TSerialThread::DiscardStale()
{
    if (!Serial || !Serial->IsOpen())
        return;
    uint8_t stale[256];
    // Bounded, so a line that never goes quiet cannot hold the worker here.
    for (int i = 0; i < 16; ++i) {
        const int waiting = Serial->Waiting();
        if (waiting <= 0)
            return;
        const int got = Serial->ReadBytes(stale, std::min<int>(waiting, int(sizeof stale)));
        if (got <= 0)
            return;
        Log.Add('#', stale, static_cast<uint16_t>(got));
    }
}

double TSerialThread::BitsPerByte() const
{
    const double stop = StopBits == 0 ? 1.0 : StopBits == 1 ? 1.5 : 2.0;
    return 1.0 + DataBits + (Parity == 'N' || Parity == 'n' ? 0.0 : 1.0) + stop;
}

uint32_t TSerialThread::ShortestWait(const uint8_t* frame, uint16_t length) const
{
    const uint16_t reply = LongestReply ? LongestReply(frame, length) : LongestFrame;
    const double bytesMs = Baud == 0 ? 0.0 : std::ceil(reply * BitsPerByte() * 1000.0 / Baud);
    return static_cast<uint32_t>(bytesMs) + PauseW + PauseD;
}
