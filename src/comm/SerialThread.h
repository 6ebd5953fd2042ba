#pragma once
#include "comm/BlockSerial.h"
#include "comm/ComThread.h"

#include <memory>

class TSerialThread : public TComThread {
public:
    // device: the path to open; port: the number the configuration gave, used
    // for the description when no explicit device was configured.
    TSerialThread(const QString& device, uint8_t port, uint32_t baud, char parity, uint8_t dataBits, uint8_t stopBits,
                  bool deviceGiven = false);
    ~TSerialThread() override;

    std::unique_ptr<TBlockSerial> Serial;
    uint8_t Port = 1;
    QString Device;
    bool DeviceGiven = false;
    uint32_t Baud = 1200;
    char Parity = 'N';
    uint8_t DataBits = 8;
    uint8_t StopBits = 0; // platform code: 0 one stop bit, 2 two
    uint16_t PauseW = 10;
    uint16_t PauseD = 60;
    int32_t LastError = 0;
    QString LastErrorText;

    uint16_t PurgeCount() override;
    uint16_t Available() override;
    bool MoreComing() override;
    uint16_t Read(uint8_t* buffer, uint16_t room) override;
    void Write(const uint8_t* buffer, uint16_t length) override;
    QString Description() const override;
    bool WaitForInput(uint32_t ms) override;
    void DiscardStale() override;
    // The longest reply the frame can bring takes its bytes' time on the
    // line, and the reply is awaited only after the echo's pause (PauseW)
    // and gathered until a pause of PauseD: no wait can be shorter.
    uint32_t ShortestWait(const uint8_t* frame, uint16_t length) const override;
    // Bits on the line per byte: start, data, parity and stop bits.
    double BitsPerByte() const;
};
