#pragma once
// A loopback UDP socket owned by a test: it plays the regulator (reads the
// request frame, answers with crafted bytes) or a stranger on the network.
#include "comm/CommTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

class UdpPeer {
public:
    UdpPeer()
    {
        Fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&sa), &len);
        Port = ntohs(sa.sin_port);
    }
    ~UdpPeer() { ::close(Fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    // Waits for one datagram, serving the main thread meanwhile (the worker
    // needs it to get as far as sending).
    std::optional<Bytes> Take(int ms)
    {
        std::optional<Bytes> got;
        PumpUntil([&] {
            pollfd p { Fd, POLLIN, 0 };
            if (::poll(&p, 1, 0) <= 0)
                return false;
            Bytes b(70000);
            socklen_t len = sizeof From;
            const ssize_t n = ::recvfrom(Fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&From), &len);
            if (n < 0)
                return false;
            b.resize(size_t(n));
            got = std::move(b);
            return true;
        }, ms);
        return got;
    }

    // Answers the sender of the last datagram taken.
    void Reply(const Bytes& b) { ::sendto(Fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&From), sizeof From); }

    void SendTo(uint16_t port, const Bytes& b)
    {
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(port);
        ::sendto(Fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }

    int Fd = -1;
    uint16_t Port = 0;
    sockaddr_in From {};
};
