#include "comm/ComBufQDR.h"
#include "core/Tick.h"

#include <algorithm>
#include <vector>

namespace {
constexpr uint8_t ReplyBit = 0x80;
constexpr uint16_t TickMs = 100;
}

TComBufQDR::TComBufQDR(uint8_t address, bool extended)
    : Address(address)
    , Extended(extended)
{
}

int TComBufQDR::ReplyLength(uint8_t command)
{
    switch (command) {
    case 1: return 24;
    case 2: return 35;
    case 5: return 43;
    case 6: return 43;
    case 7: return 4;
    case 8: return 70;
    case 9: return 32;
    case 10: return 88;
    case 11: return 52;
    case 12: return 52;
    default: return AnyLength; // 0, 3, 4
    }
}

uint16_t TComBufQDR::LongestReply(const uint8_t* frame, uint16_t length)
{
    // Count, address and checksum around the data.
    constexpr uint16_t framing = 3;
    constexpr uint16_t longest = 257;
    if (!frame || length < 4)
        return longest;
    const uint8_t command = frame[2];
    const int fixed = ReplyLength(command);
    if (fixed != AnyLength)
        return static_cast<uint16_t>(fixed + framing);
    // An archive batch: at most the records asked for, each in a slot of at
    // most six bytes, and a few bytes of padding some firmware appends.
    constexpr uint16_t slot = 6;
    constexpr uint16_t padding = 5;
    if (command == 3 && length >= 9)
        return std::min<uint16_t>(longest, static_cast<uint16_t>(frame[7] * slot + padding + framing));
    return longest;
}

QString TComBufQDR::ErrorChars() const { return QStringLiteral("<>#&AKD"); }

QString TComBufQDR::ErrorText(uint8_t code) const
{
    switch (code) {
    case 1: return QStringLiteral("Prilis kratka sprava");
    case 2: return QStringLiteral("Prilis dlha sprava");
    case 3: return QStringLiteral("Nespravna dlzka spravy");
    case 4: return QStringLiteral("Nespravna kontrolna suma");
    case 5: return QStringLiteral("Nespravna adresa");
    case 6: return QStringLiteral("Nespravny kod");
    case 7: return QStringLiteral("Nespravna velkost dat");
    default: return {};
    }
}

void TComBufQDR::SendCommand(uint8_t command, uint8_t length, const uint8_t* data, uint16_t holdTime)
{
    Pending = 0;
    // The count byte holds length + 2: anything longer could not be framed
    // truthfully and is refused rather than sent with a wrapped count.
    if (length <= 253 && (length == 0 || data)) {
        std::vector<uint8_t> frame(size_t(length) + 4);
        frame[0] = static_cast<uint8_t>(length + 2);
        frame[1] = Address;
        frame[2] = command;
        for (uint8_t i = 0; i < length; ++i)
            frame[3 + i] = data[i];
        frame[length + 3] = TSerialBuf::Checksum(frame.data() + 1, static_cast<uint8_t>(length + 2));
        if (Send(frame.data(), static_cast<uint16_t>(frame.size())))
            Pending = static_cast<uint8_t>(command | ReplyBit);
    }
    if (holdTime > Hold)
        Hold = holdTime;
}

void TComBufQDR::Failed()
{
    FailedAt = GetTick();
    EverFailed = true;
}

void TComBufQDR::DoTimeout()
{
    Failed();
    TComData::DoTimeout();
}

uint8_t TComBufQDR::Receive(const uint8_t*& buffer, uint16_t& length)
{
    const uint8_t code = Check(buffer, length);
    if (code != 0)
        Failed();
    return code;
}

uint8_t TComBufQDR::Check(const uint8_t*& buffer, uint16_t& length)
{
    const uint8_t pending = Pending;
    Pending = 0;
    if (length <= 2)
        return 1;
    if (length >= 258)
        return 2;
    const uint8_t* b = buffer;
    const uint8_t count = b[0];
    if (count + 2 > length)
        return 3;
    length = 0;
    if (TSerialBuf::Checksum(b + 1, count) != b[count + 1])
        return 4;
    if (b[1] != (Address | ReplyBit))
        return 5;
    if (count < 2)
        return 0; // acknowledgement
    if (pending < ReplyBit || pending > MaxCommand())
        return 6;
    const uint8_t dataLength = static_cast<uint8_t>(count - 1);
    const int expected = ReplyLength(static_cast<uint8_t>(pending & ~ReplyBit));
    if (expected != AnyLength && expected != dataLength)
        return 7;
    if (OnData) {
        FSuspect = EverFailed && GetTick() - FailedAt < SuspectMs;
        OnData(static_cast<uint8_t>(b[1] & ~ReplyBit), pending, dataLength, b + 2);
        FSuspect = false;
    }
    return 0;
}

void TComBufQDR::Tick(void* sender)
{
    TComData::Tick(sender);
    SatSub16(Hold, TickMs);
    if (OnTick)
        OnTick(sender);
    if (CyclePeriod != 0) {
        SatAdd16(CycleTime, TickMs);
        if (CycleTime >= CyclePeriod && RootIdle()) {
            CycleTime = static_cast<uint16_t>(CycleTime - CyclePeriod);
            if (OnCycle)
                OnCycle(sender);
        }
    }
}

QString TComBufQDR::CommandName(uint8_t command)
{
    switch (command) {
    case 0: return QStringLiteral("identifikácia");
    case 1: return QStringLiteral("informácie");
    case 2: return QStringLiteral("meranie");
    case 3: return QStringLiteral("archív");
    case 4: return QStringLiteral("záznam intervalu");
    case 5: return QStringLiteral("spotrebiče a signály");
    case 6: return QStringLiteral("vstupy a výstupy");
    case 7: return QStringLiteral("regulovaný výkon");
    case 8: return QStringLiteral("meranie elektromerov");
    case 9: return QStringLiteral("archívny záznam");
    case 10: return QStringLiteral("odber");
    default: return QStringLiteral("príkaz %1").arg(command);
    }
}
