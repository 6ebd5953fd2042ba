#include "comm/UDPThread.h"

#include "core/Tick.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
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
    Connected = false;
    in_addr dotted{};
    Named = ::inet_pton(AF_INET, address.trimmed().toLatin1().constData(), &dotted) != 1;
}

// The peer is set when the first frame goes out, and again at every exchange
// until it succeeds: a site PC whose network comes up after the program
// starts gets its link as soon as the network is there. Until then every
// exchange ends with the interface error, so the failure shows.
bool TUDPThread::PortReady()
{
    const uint32_t now = GetTick();
    if (Connected) {
        // The address found at the start may be stale once the regulator
        // stops answering (a new lease, a moved gateway): the name is looked
        // up again. A name service that does not answer now leaves the
        // address as it was.
        if (Named && !Answered && now - ResolvedAt >= ResolveAgainMs.load()) {
            ResolvedAt = now;
            (void)Socket->SetPeer(RemoteHost, QString::number(RemotePort));
        }
        return true;
    }
    ResolvedAt = now;
    Connected = Socket->SetPeer(RemoteHost, QString::number(RemotePort));
    if (!Connected) {
        LastErrorText = Socket->LastErrorText;
        Unresolved.store(Socket->LastError == EADDRNOTAVAIL);
    }
    return Connected;
}

uint16_t TUDPThread::Available() { return static_cast<uint16_t>(std::clamp(Socket->Waiting(), 0, 0xFFFF)); }

uint16_t TUDPThread::Read(uint8_t* buffer, uint16_t room)
{
    const auto got = static_cast<uint16_t>(std::clamp(Socket->ReadBytes(buffer, room), 0, int(room)));
    if (got > 0)
        Answered = true;
    return got;
}

void TUDPThread::Write(const uint8_t* buffer, uint16_t length)
{
    Answered = false;
    Socket->WriteBytes(buffer, length);
}

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

uint32_t TUDPThread::ShortestWait(const uint8_t*, uint16_t) const { return ShortestWaitMs; }
