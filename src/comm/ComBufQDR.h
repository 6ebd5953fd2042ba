#pragma once
// The regulator protocol: builds request frames, checks replies against the
// one outstanding request and paces the traffic in cycles and hold times.
#include "comm/ComInterface.h"

#include <cstdint>

class TComBufQDR : public TComData {
public:
    // Reply data lengths that are not checked.
    static constexpr int AnyLength = -1;

    TComBufQDR(uint8_t address, bool extended);

    uint16_t Hold = 0;
    uint16_t CycleTime = 0;
    uint16_t CyclePeriod = 0;
    TNotifyEvent OnTick;
    TNotifyEvent OnCycle;
    TDataEvent OnData;
    uint8_t Address = 0;
    uint8_t Pending = 0;
    bool Extended = false;

    void SendCommand(uint8_t command, uint8_t length, const uint8_t* data, uint16_t holdTime);
    uint8_t Receive(const uint8_t*& buffer, uint16_t& length) override;
    void Tick(void* sender) override;
    QString ErrorChars() const override;
    QString ErrorText(uint8_t code) const override;

    uint8_t MaxCommand() const { return Extended ? 128 + 12 : 128 + 9; }
    // Fixed reply data length of a command (without bit 7), or AnyLength.
    static int ReplyLength(uint8_t command);
    // What a command asks for, in a few Slovak words ("informácie"), for
    // the communication log.
    static QString CommandName(uint8_t command);
};
