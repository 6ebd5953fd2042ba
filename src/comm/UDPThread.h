#pragma once
#include "comm/ComThread.h"
#include "comm/UDPBlockSocket.h"

#include <memory>

class TUDPThread : public TComThread {
public:
    explicit TUDPThread(uint16_t localPort);
    ~TUDPThread() override;

    void SetRemote(const QString& address, uint16_t port);

    std::unique_ptr<TUDPBlockSocket> Socket;

    uint16_t Available() override;
    uint16_t Read(uint8_t* buffer, uint16_t room) override;
    void Write(const uint8_t* buffer, uint16_t length) override;
    QString Description() const override;
    bool WaitForInput(uint32_t ms) override;
    void DiscardStale() override;
};
