#pragma once
#include "comm/ComThread.h"
#include "comm/UDPBlockSocket.h"

#include <atomic>
#include <memory>

class TUDPThread : public TComThread {
public:
    explicit TUDPThread(uint16_t localPort);
    ~TUDPThread() override;

    // The regulator's address (dotted IPv4 or a host name) and port; set
    // before the first frame is queued. The worker resolves it when the
    // first frame goes out, so a slow name service holds no window.
    void SetRemote(const QString& address, uint16_t port);

    std::unique_ptr<TUDPBlockSocket> Socket;
    // Set by the worker when the address named no host; the exchange that
    // found it out ended with the interface error, read it after that.
    std::atomic<bool> Unresolved{false};
    // Why the last exchange could not use the socket (worker writes it before
    // that exchange ends, the main thread reads it after).
    QString LastErrorText;
    // A host name is looked up again after an exchange without a reply, at
    // most this often, so a regulator that the name service moves to a new
    // address is followed there.
    std::atomic<uint32_t> ResolveAgainMs{5000};

    uint16_t Available() override;
    uint16_t Read(uint8_t* buffer, uint16_t room) override;
    void Write(const uint8_t* buffer, uint16_t length) override;
    QString Description() const override;
    bool WaitForInput(uint32_t ms) override;
    void DiscardStale() override;
    bool PortReady() override;
    // A datagram's reply time says little of the next one's: a scheduler's
    // pause on either host outlasts it many times, so the wait keeps a margin.
    uint32_t ShortestWait(const uint8_t* frame, uint16_t length) const override;
    static constexpr uint32_t ShortestWaitMs = 50;

private:
    QString RemoteHost;
    uint16_t RemotePort = 0;
    bool Connected = false;
    // Whether RemoteHost is a name (not a dotted address), when it was last
    // looked up, and whether the last request got a reply.
    bool Named = false;
    uint32_t ResolvedAt = 0;
    bool Answered = true;
};
