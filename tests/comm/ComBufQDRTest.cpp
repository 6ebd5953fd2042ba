// The protocol layer on its own (no root, no thread), as a fuzz target or the
// main window's start-up meets it, and the result numbering across a chain.
#include "comm/BlockSerial.h"
#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"
#include "comm/CommTestSupport.h"
#include "comm/SerialThread.h"

#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

struct Direct {
    explicit Direct(bool extended = false, uint8_t address = 0)
        : Buf(address, extended)
    {
        Buf.OnData = [this](uint8_t a, uint8_t c, uint8_t l, const uint8_t* d) { Seen.push_back({ a, c, Bytes(d, d + l) }); };
    }
    uint8_t Feed(uint8_t pending, const Bytes& block)
    {
        Buf.Pending = pending;
        const uint8_t* p = block.data();
        uint16_t n = static_cast<uint16_t>(block.size());
        return Buf.Receive(p, n);
    }
    TComBufQDR Buf;
    std::vector<DataSeen> Seen;
};

} // namespace

TEST(ComBufQDR, ReceiveChecksInFixedOrder)
{
    Direct d;
    // Too short and wrongly addressed: the length check comes first.
    EXPECT_EQ(d.Feed(0x81, { 1, 5 }), 1);
    EXPECT_EQ(d.Buf.Pending, 0) << "every block consumes the outstanding request";
    EXPECT_EQ(d.Feed(0x81, Bytes(258, 0)), 2);
    EXPECT_EQ(d.Feed(0x81, Bytes(257, 0)), 5) << "257 bytes are not too long; count 0 and sum 0 fit, the address does not";

    // Count byte larger than the block.
    Bytes lying = ReplyFrame(0, Sequence(24));
    lying.resize(20);
    EXPECT_EQ(d.Feed(0x81, lying), 3);

    Bytes badSum = ReplyFrame(0, Sequence(24));
    badSum.back() ^= 0x01;
    EXPECT_EQ(d.Feed(0x81, badSum), 4);
    EXPECT_EQ(d.Feed(0x81, ReplyFrame(1, Sequence(24))), 5);
    // A request frame read back (no bit 7 in the address) is misaddressed.
    EXPECT_EQ(d.Feed(0x81, { 2, 0, 1, 1 }), 5);

    EXPECT_EQ(d.Feed(0, ReplyFrame(0, Sequence(24))), 6) << "nothing outstanding";
    EXPECT_EQ(d.Feed(0x01, ReplyFrame(0, Sequence(24))), 6) << "pending without bit 7";
    EXPECT_EQ(d.Feed(0x80 | 10, ReplyFrame(0, Sequence(88))), 6) << "command 10 needs Extended";
    EXPECT_EQ(d.Feed(0x80 | 8, ReplyFrame(0, Sequence(35))), 7);
    EXPECT_EQ(d.Feed(0x80 | 9, ReplyFrame(0, Sequence(31))), 7);
    EXPECT_TRUE(d.Seen.empty());

    // Acknowledgement: address only, accepted with nothing outstanding too.
    EXPECT_EQ(d.Feed(0, { 1, 128, 128 }), 0);
    EXPECT_TRUE(d.Seen.empty());
}

TEST(ComBufQDR, ReceiveDeliversValidReplies)
{
    Direct d(true, 5);
    Bytes reply = ReplyFrame(5, Sequence(88, 3));
    reply.push_back(0xEE); // trailing bytes after the checksum are ignored
    const uint8_t* p = reply.data();
    uint16_t n = static_cast<uint16_t>(reply.size());
    d.Buf.Pending = 0x80 | 10;
    EXPECT_EQ(d.Buf.Receive(p, n), 0);
    EXPECT_EQ(n, 0) << "the block is consumed";
    ASSERT_EQ(d.Seen.size(), 1u);
    EXPECT_EQ(d.Seen[0].Address, 5);
    EXPECT_EQ(d.Seen[0].Command, 0x80 | 10);
    EXPECT_EQ(d.Seen[0].Data, Sequence(88, 3));

    // Lengths not fixed by the command table are taken as they come.
    EXPECT_EQ(d.Feed(0x80 | 3, ReplyFrame(5, Sequence(78))), 0);
    EXPECT_EQ(d.Feed(0x80 | 0, ReplyFrame(5, Sequence(1))), 0);
    EXPECT_EQ(d.Feed(0x80 | 12, ReplyFrame(5, Sequence(52))), 0);
    EXPECT_EQ(d.Feed(0x80 | 13, ReplyFrame(5, Sequence(52))), 6) << "beyond MaxCommand even when extended";
    ASSERT_EQ(d.Seen.size(), 4u);
    EXPECT_EQ(d.Seen[1].Data.size(), 78u);
    EXPECT_EQ(d.Seen[2].Command, 0x80);
}

TEST(ComBufQDR, TickPacesHoldAndCycles)
{
    TComBufQDR buf(0, false);
    int ticks = 0, cycles = 0;
    buf.OnTick = [&](void*) { ++ticks; };
    buf.OnCycle = [&](void*) { ++cycles; };

    buf.SendCommand(1, 0, nullptr, 250);
    EXPECT_EQ(buf.Pending, 0) << "no parent: nothing was sent";
    EXPECT_EQ(buf.Hold, 250);
    buf.SendCommand(1, 0, nullptr, 100);
    EXPECT_EQ(buf.Hold, 250) << "a shorter hold does not shorten the current one";

    buf.CyclePeriod = 300;
    for (int i = 0; i < 7; ++i)
        buf.Tick(nullptr);
    EXPECT_EQ(ticks, 7);
    EXPECT_EQ(cycles, 2);
    EXPECT_EQ(buf.CycleTime, 100);
    EXPECT_EQ(buf.Hold, 0);

    buf.CyclePeriod = 0;
    buf.Tick(nullptr);
    EXPECT_EQ(cycles, 2);
    EXPECT_EQ(buf.CycleTime, 100);

    buf.CyclePeriod = 1000;
    buf.CycleTime = 65500;
    buf.Tick(nullptr);
    EXPECT_EQ(cycles, 3);
    EXPECT_EQ(buf.CycleTime, 65535 - 1000) << "the accumulated time saturates";
}

TEST(ComChain, CodeNumberingAcrossLayers)
{
    auto buf = std::make_unique<TComBufQDR>(0, false);
    // Without a root the layer's own codes are numbered from 1.
    EXPECT_EQ(buf->CodeText(1), QStringLiteral("Prilis kratka sprava"));
    EXPECT_EQ(buf->CodeChar(1), QLatin1Char('<'));

    auto* root = new TUDPInterface(buf.get(), 0, 0);
    EXPECT_TRUE(root->IsDatagram());
    EXPECT_EQ(buf->Parent, root);

    for (TComInterface* layer : { static_cast<TComInterface*>(root), static_cast<TComInterface*>(buf.get()) }) {
        EXPECT_EQ(layer->CodeChar(0), QLatin1Char(' '));
        EXPECT_EQ(layer->CodeChar(1), QLatin1Char(' '));
        EXPECT_EQ(layer->CodeChar(2), QLatin1Char(' '));
        EXPECT_EQ(layer->CodeChar(3), QLatin1Char('<'));
        EXPECT_EQ(layer->CodeChar(6), QLatin1Char('&'));
        EXPECT_EQ(layer->CodeChar(9), QLatin1Char('D'));
        EXPECT_EQ(layer->CodeChar(10), QLatin1Char(' '));
        EXPECT_EQ(layer->CodeText(0), QString());
        EXPECT_EQ(layer->CodeText(1), QStringLiteral("Timeout"));
        EXPECT_EQ(layer->CodeText(2), QStringLiteral("Chyba komunikacneho rozhrania"));
        EXPECT_EQ(layer->CodeText(3), QStringLiteral("Prilis kratka sprava"));
        EXPECT_EQ(layer->CodeText(4), QStringLiteral("Prilis dlha sprava"));
        EXPECT_EQ(layer->CodeText(5), QStringLiteral("Nespravna dlzka spravy"));
        EXPECT_EQ(layer->CodeText(6), QStringLiteral("Nespravna kontrolna suma"));
        EXPECT_EQ(layer->CodeText(7), QStringLiteral("Nespravna adresa"));
        EXPECT_EQ(layer->CodeText(8), QStringLiteral("Nespravny kod"));
        EXPECT_EQ(layer->CodeText(9), QStringLiteral("Nespravna velkost dat"));
        EXPECT_EQ(layer->CodeText(10), QString());
    }
    EXPECT_EQ(buf->StatusChars() + buf->ErrorChars(), QStringLiteral("  <>#&AKD"));

    const uint8_t one = 0;
    const uint8_t* p = &one;
    uint16_t n = 0;
    EXPECT_EQ(root->Receive(p, n), 0) << "an empty block goes nowhere";
    n = 1;
    EXPECT_EQ(root->Receive(p, n), 3);

    // A reply that fails the data layer's checksum reaches the root raised by 2.
    Bytes bad = ReplyFrame(0, Sequence(24));
    bad.back() ^= 0xFF;
    p = bad.data();
    n = static_cast<uint16_t>(bad.size());
    buf->Pending = 0x81;
    EXPECT_EQ(root->Receive(p, n), 6);
}

TEST(ComChain, SerialRootIsNoDatagramAndDescribesItsPort)
{
    TComBufQDR named(0, false);
    auto* a = new TSerialInterface(&named, 0, QStringLiteral("/nonexistent/ttyX"), 1, 1200, 'N', 8, 1);
    EXPECT_FALSE(a->IsDatagram());
    EXPECT_EQ(named.RootDescription(), QStringLiteral("COM1:1200,N,8,1"));

    TComBufQDR given(0, false);
    new TSerialInterface(&given, 0, QStringLiteral("/nonexistent/ttyX"), 1, 1200, 'N', 8, 1, true);
    EXPECT_EQ(given.RootDescription(), QStringLiteral("/nonexistent/ttyX:1200,N,8,1"));

    for (uint8_t port : { 1, 3 }) {
        const QString usb = QStringLiteral("/dev/ttyUSB%1").arg(port - 1);
        EXPECT_EQ(SerialDeviceName(port), QFileInfo::exists(usb) ? usb : QStringLiteral("/dev/ttyS%1").arg(port - 1));
    }
    EXPECT_TRUE(SerialDeviceName(0).isEmpty());
}

TEST(ComChain, TheShortestSerialWaitCarriesTheLongestReplyAndThePauses)
{
    TComBufQDR buf(0, false);
    auto* root = new TSerialInterface(&buf, 0, QStringLiteral("/nonexistent/ttyX"), 1, 1200, 'N', 8, 1);
    TSerialThread* line = root->SerialThread();
    line->LongestReply = TComBufQDR::LongestReply;
    // 8N1 at 1200 Bd: 8.33 ms a byte, then PauseW 10 and PauseD 60 ms.
    // Command 9: 32 data bytes framed by count, address and checksum.
    const Bytes nine { 6, 0, 9, 0x10, 0x5E, 0x03, 0x00, 0x80 };
    EXPECT_EQ(line->ShortestWait(nine.data(), uint16_t(nine.size())), 292u + 70);
    // Command 3 for 13 records: slots of 6 bytes, 5 of padding, 3 of framing.
    const Bytes three { 7, 0, 3, 0x10, 0x5E, 0x00, 0x00, 13, 0x00 };
    EXPECT_EQ(line->ShortestWait(three.data(), uint16_t(three.size())), 717u + 70);
    // A reply of no known length may fill the longest frame; 8E2 is 12 bits a byte.
    const Bytes zero { 2, 0, 0, 0 };
    line->Parity = 'E';
    line->StopBits = 2;
    EXPECT_EQ(line->ShortestWait(zero.data(), uint16_t(zero.size())), 2570u + 70);
}
