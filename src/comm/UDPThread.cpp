#include "comm/UDPThread.h"

#include <algorithm>
#include <vector>

namespace {
// Bounds the discard before a send, so a flood cannot hold the worker there.
constexpr int DiscardLimit = 256;
}

TUDPThread::TUDPThread(uint16_t localPort)
{
    Socket = std::make_unique<TUDPBlockSocket>();
    Socket->Bind(QStringLiteral("0.0.0.0"), QString::number(localPort));
    Resume();
}

TUDPThread::~TUDPThread() { Stop(); }

void TUDPThread::SetRemote(const QString& address, uint16_t port)
{
    RemoteHost = address;
    RemotePort = port;
    PeerTried = false;
}

// Like a serial port that cannot be opened, a name that resolves to nothing
// is reported once as the interface error; later frames go nowhere and time
// out.
bool TUDPThread::PortReady()
{
    if (PeerTried)
        return true;
    PeerTried = true;
    if (Socket->SetPeer(RemoteHost, QString::number(RemotePort)))
        return true;
    Unresolved.store(true);
    return false;
}

uint16_t TUDPThread::Available() { return static_cast<uint16_t>(std::clamp(Socket->Waiting(), 0, 0xFFFF)); }

uint16_t TUDPThread::Read(uint8_t* buffer, uint16_t room)
{
    return static_cast<uint16_t>(std::clamp(Socket->ReadBytes(buffer, room), 0, int(room)));
}

void TUDPThread::Write(const uint8_t* buffer, uint16_t length) { Socket->WriteBytes(buffer, length); }

// There is no purge on UDP, so a reply that came after its time-out would
// still be queued and be taken as the answer to the next request. Whatever is
// queued when a new frame goes out cannot answer it.
void TUDPThread::DiscardStale()
{
    for (int i = 0; i < DiscardLimit; ++i) {
        const int size = Socket->Waiting();
        if (size <= 0)
            return;
        std::vector<uint8_t> stale(size_t(std::min(size, 0xFFFF)));
        const int got = Socket->ReadBytes(stale.data(), int(stale.size()));
        Log.Add('#', stale.data(), static_cast<uint16_t>(std::clamp(got, 0, 0xFFFF)));
    }
}

QString TUDPThread::Description() const
{
    return QStringLiteral("UDP,") + RemoteHost + QStringLiteral(":") + QString::number(RemotePort);
}

bool TUDPThread::WaitForInput(uint32_t ms)
{
    return Socket && Socket->WaitForData(ms);
}
