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

    // A reply carries no command code: one that comes after its request
    // failed is taken as the answer to whatever is outstanding when it
    // arrives. Every reply received within SuspectMs of a failed exchange (a
    // time-out, or a reply refused here) may be such a late answer; it is
    // marked Suspect while OnData runs, so the owner can ask for it twice
    // before acting on it.
    uint32_t SuspectMs = 2400;
    bool Suspect() const { return FSuspect; }
    void DoTimeout() override;
    // Fixed reply data length of a command (without bit 7), or AnyLength.
    static int ReplyLength(uint8_t command);
    // The longest reply frame (count, address, data, checksum) that a request
    // frame can bring, for the shortest wait on a slow line.
    static uint16_t LongestReply(const uint8_t* frame, uint16_t length);
    // What a command asks for, in a few Slovak words ("informácie"), for
    // the communication log.
    static QString CommandName(uint8_t command);

private:
    // The checks of Receive, in their fixed order.
    uint8_t Check(const uint8_t*& buffer, uint16_t& length);
    void Failed();
    uint32_t FailedAt = 0;
    bool EverFailed = false;
    bool FSuspect = false;
};
