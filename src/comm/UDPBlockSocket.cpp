#include "comm/UDPBlockSocket.h"

#include <poll.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool MakeAddress(const QString& address, const QString& port, sockaddr_in& sa)
{
    sa = {};
    sa.sin_family = AF_INET;
    bool ok = false;
    const uint32_t p = port.trimmed().toUInt(&ok);
    if (!ok || p > 65535)
        return false;
    sa.sin_port = htons(uint16_t(p));
    const QByteArray a = address.trimmed().toLatin1();
    return ::inet_pton(AF_INET, a.constData(), &sa.sin_addr) == 1;
}

// The first IPv4 address of a host name; an error text of the name service
// when there is none.
bool ResolveAddress(const QString& host, in_addr& address, QString& error)
{
    const QByteArray name = host.trimmed().toUtf8();
    if (name.isEmpty()) {
        error = QStringLiteral("no host name");
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = QString::fromLocal8Bit(rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
        if (found)
            ::freeaddrinfo(found);
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

// A connected datagram socket reports an ICMP error (port unreachable) once,
// on the next call. It says nothing about the exchange in progress beyond
// "no reply", which the time-out already covers, so it is simply taken.
bool Swallowed(int err) { return err == ECONNREFUSED || err == EHOSTUNREACH || err == ENETUNREACH || err == EINTR; }

// Bounds every retry loop, so a stream of reported errors cannot hold the
// worker.
constexpr int RetryLimit = 8;

} // namespace

TUDPBlockSocket::TUDPBlockSocket()
{
    Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Fd < 0)
        LastError = errno;
}

TUDPBlockSocket::~TUDPBlockSocket()
{
    if (Fd >= 0)
        ::close(Fd);
}

void TUDPBlockSocket::Bind(const QString& address, const QString& port)
{
    LastError = 0;
    sockaddr_in sa;
    if (Fd < 0 || !MakeAddress(address, port, sa)) {
        LastError = EINVAL;
        return;
    }
    if (::bind(Fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        LastError = errno;
}

bool TUDPBlockSocket::SetPeer(const QString& address, const QString& port)
{
    LastError = 0;
    LastErrorText.clear();
    Peer = address;
    PeerPortText = port;
    sockaddr_in sa;
    if (Fd < 0) {
        LastError = EBADF;
        LastErrorText = QStringLiteral("no socket");
        return false;
    }
    if (!MakeAddress(address, port, sa) || sa.sin_port == 0) {
        bool ok = false;
        const uint32_t p = port.trimmed().toUInt(&ok);
        if (!ok || p == 0 || p > 65535) {
            LastError = EINVAL;
            LastErrorText = QStringLiteral("bad port %1").arg(port);
            return false;
        }
        if (!ResolveAddress(address, sa.sin_addr, LastErrorText)) {
            LastError = EADDRNOTAVAIL;
            return false;
        }
    }
    // Connecting fixes the peer, and the kernel then delivers only datagrams
    // that come from it.
    if (::connect(Fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        LastError = errno;
        LastErrorText = QStringLiteral("connect: ") + QString::fromLocal8Bit(std::strerror(LastError));
        return false;
    }
    return true;
}

int TUDPBlockSocket::Waiting()
{
    if (Fd < 0)
        return 0;
    uint8_t probe = 0;
    for (int i = 0; i < RetryLimit; ++i) {
        const ssize_t n = ::recv(Fd, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (n > 0)
            return int(n);
        if (n == 0) {
            // An empty datagram carries nothing; drop it so it cannot hide
            // the ones queued behind it.
            (void)::recv(Fd, &probe, 1, MSG_DONTWAIT);
            continue;
        }
        if (!Swallowed(errno))
            return 0;
    }
    return 0;
}

bool TUDPBlockSocket::WaitForData(uint32_t ms)
{
    if (Fd < 0)
        return false;
    pollfd p { Fd, POLLIN, 0 };
    int r;
    do
        r = ::poll(&p, 1, int(ms));
    while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN);
}

int TUDPBlockSocket::ReadBytes(uint8_t* buffer, int count)
{
    if (Fd < 0 || count <= 0)
        return 0;
    for (int i = 0; i < RetryLimit; ++i) {
        const ssize_t n = ::recv(Fd, buffer, size_t(count), MSG_DONTWAIT);
        if (n >= 0)
            return int(n);
        if (!Swallowed(errno))
            return 0;
    }
    return 0;
}

int TUDPBlockSocket::WriteBytes(const uint8_t* buffer, int count)
{
    if (Fd < 0)
        return 0;
    for (int i = 0; i < RetryLimit; ++i) {
        // A pending ICMP error is reported by send() too, and then nothing was
        // sent: try again.
        const ssize_t n = ::send(Fd, buffer, size_t(count), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            LastError = 0;
            return int(n);
        }
        if (!Swallowed(errno)) {
            LastError = errno;
            return 0;
        }
    }
    return 0;
}

uint16_t TUDPBlockSocket::LocalPort() const
{
    sockaddr_in sa {};
    socklen_t len = sizeof sa;
    if (Fd < 0 || ::getsockname(Fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}
