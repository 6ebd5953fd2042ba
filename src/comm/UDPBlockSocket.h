#pragma once
// One UDP socket connected to the regulator's address, so that datagrams from
// any other sender are never taken as replies.
#include <QString>

#include <cstdint>

class TUDPBlockSocket {
public:
    TUDPBlockSocket();
    ~TUDPBlockSocket();
    TUDPBlockSocket(const TUDPBlockSocket&) = delete;
    TUDPBlockSocket& operator=(const TUDPBlockSocket&) = delete;

    void Bind(const QString& address, const QString& port);
    // address: a dotted IPv4 address or a host name, resolved here (this
    // may wait on the name service). False, with LastError and LastErrorText
    // set, when it names no IPv4 address or the port is not one; then no peer
    // is set. A peer that cannot be reached is no failure here.
    bool SetPeer(const QString& address, const QString& port);
    // Size of the next queued datagram, 0 when none is queued.
    int Waiting();
    // Waits up to ms for a datagram (or a pending error); true when readable.
    bool WaitForData(uint32_t ms);
    int ReadBytes(uint8_t* buffer, int count);
    int WriteBytes(const uint8_t* buffer, int count);
    QString PeerAddress() const { return Peer; }
    QString PeerPort() const { return PeerPortText; }
    // Bound local port (useful when bound to port 0).
    uint16_t LocalPort() const;

    int32_t LastError = 0;
    QString LastErrorText;

private:
    int Fd = -1;
    QString Peer;
    QString PeerPortText;
};
