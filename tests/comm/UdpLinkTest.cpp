// The protocol layer over a real UDP root and worker thread; a loopback
// socket owned by the test plays the regulator.
#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"
#include "comm/ComThread.h"
#include "comm/CommTestSupport.h"
#include "comm/UDPThread.h"
#include "comm/UdpPeer.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

class UdpLink : public ::testing::Test {
protected:
    void Build(bool extended = false, uint16_t remotePort = 0)
    {
        Buf = std::make_unique<TComBufQDR>(0, extended);
        Root = new TUDPInterface(Buf.get(), 0, 0);
        Root->UDPThread()->SetRemote(QStringLiteral("127.0.0.1"), remotePort ? remotePort : Regulator.Port);
        Root->Thread->Timeout = 1000;
        Root->Thread->SetLogCapacity(96);
        Root->OnStatus = [this](uint8_t code) { Status.push_back(code); };
        Buf->OnData = [this](uint8_t a, uint8_t c, uint8_t l, const uint8_t* d) { Seen.push_back({ a, c, Bytes(d, d + l) }); };
    }
    void SetUp() override { Build(); }

    // One exchange: send the command, let the regulator read the frame and
    // answer with the given bytes; returns the result code.
    int Exchange(uint8_t command, const Bytes& reply, Bytes* frame = nullptr, const Bytes& data = {})
    {
        const size_t before = Status.size();
        Buf->SendCommand(command, static_cast<uint8_t>(data.size()), data.data(), 0);
        EXPECT_EQ(Buf->Pending, command | 0x80);
        auto request = Regulator.Take(2000);
        if (!request)
            return -1;
        if (frame)
            *frame = *request;
        Regulator.Reply(reply);
        if (!PumpUntil([&] { return Status.size() > before; }, 3000))
            return -2;
        PumpUntil([&] { return Root->IsIdle(); }, 1000);
        return Status.back();
    }

    UdpPeer Regulator;
    std::unique_ptr<TComBufQDR> Buf;
    TUDPInterface* Root = nullptr; // owned by Buf
    std::vector<uint8_t> Status;
    std::vector<DataSeen> Seen;
};

} // namespace

TEST_F(UdpLink, GoodReplyAndAcknowledgement)
{
    EXPECT_EQ(Buf->RootDescription(), QStringLiteral("UDP,127.0.0.1:%1").arg(Regulator.Port));

    Bytes frame;
    ASSERT_EQ(Exchange(1, ReplyFrame(0, Sequence(24, 10)), &frame), 0);
    EXPECT_EQ(frame, (Bytes { 2, 0, 1, 1 }));
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0].Address, 0);
    EXPECT_EQ(Seen[0].Command, 129);
    EXPECT_EQ(Seen[0].Data, Sequence(24, 10));
    EXPECT_EQ(Buf->Pending, 0);

    // A request with data: count, address, command, data, sum of all but the count.
    ASSERT_EQ(Exchange(9, ReplyFrame(0, Sequence(32)), &frame, { 0x10, 0x5E, 0x03, 0x00 }), 0);
    EXPECT_EQ(frame, (Bytes { 6, 0, 9, 0x10, 0x5E, 0x03, 0x00, static_cast<uint8_t>(9 + 0x10 + 0x5E + 0x03) }));
    EXPECT_EQ(Seen.size(), 2u);

    EXPECT_EQ(Exchange(7, { 1, 128, 128 }), 0);
    EXPECT_EQ(Seen.size(), 2u) << "an acknowledgement raises no OnData";

    QStringList log;
    EXPECT_TRUE(Root->TakeLog(log));
    ASSERT_EQ(log.size(), 6);
    EXPECT_EQ(log[0], QStringLiteral("> [    4] :    2   0   1   1"));
    EXPECT_TRUE(log[1].startsWith(QStringLiteral("< [   27] :   25 128  10  11"))) << log[1].toStdString();
    EXPECT_EQ(log[5], QStringLiteral("< [    3] :    1 128 128"));
    EXPECT_EQ(Root->LogCount(), 0);
}

TEST_F(UdpLink, BadRepliesReachOnStatusNumberedAcrossTheChain)
{
    Bytes badSum = ReplyFrame(0, Sequence(24));
    badSum.back() ^= 0x55;
    Bytes lying = ReplyFrame(0, Sequence(24));
    lying[0] = 40;
    const struct {
        uint8_t Command;
        Bytes Reply;
        int Code;
    } cases[] = {
        { 1, Bytes(258, 1), 4 },
        { 1, { 1, 128 }, 3 },
        { 1, lying, 5 },
        { 1, badSum, 6 },
        { 1, ReplyFrame(3, Sequence(24)), 7 },
        { 8, ReplyFrame(0, Sequence(35)), 9 },
        { 10, ReplyFrame(0, Sequence(88)), 8 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "expected code " << c.Code);
        EXPECT_EQ(Exchange(c.Command, c.Reply), c.Code);
        EXPECT_EQ(Buf->Pending, 0);
        EXPECT_TRUE(Seen.empty());
        // The link is left as it was: the next good exchange works.
        EXPECT_EQ(Exchange(2, ReplyFrame(0, Sequence(35))), 0);
        ASSERT_EQ(Seen.size(), 1u);
        EXPECT_EQ(Seen[0].Command, 0x82);
        Seen.clear();
    }
    EXPECT_EQ(Buf->CodeChar(Status[6]), QLatin1Char('&'));
}

TEST_F(UdpLink, TimeoutAndStrangersAreIgnored)
{
    Root->Thread->Timeout = 250;
    UdpPeer stranger;
    const uint16_t local = Root->UDPThread()->Socket->LocalPort();
    ASSERT_NE(local, 0);

    const auto t0 = std::chrono::steady_clock::now();
    Buf->SendCommand(1, 0, nullptr, 0);
    ASSERT_TRUE(Regulator.Take(2000));
    // A perfectly good reply, but not from the regulator's address.
    stranger.SendTo(local, ReplyFrame(0, Sequence(24)));
    ASSERT_TRUE(PumpUntil([&] { return !Status.empty(); }, 3000));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(Status, (std::vector<uint8_t> { 1 }));
    EXPECT_GE(waited, std::chrono::milliseconds(240));
    EXPECT_TRUE(Seen.empty());
    EXPECT_EQ(Buf->Pending, 0x81) << "a time-out leaves the request outstanding";
}

TEST_F(UdpLink, LateReplyIsDiscardedBeforeTheNextRequest)
{
    Root->Thread->Timeout = 150;
    Buf->SendCommand(1, 0, nullptr, 0);
    ASSERT_TRUE(Regulator.Take(2000));
    ASSERT_TRUE(PumpUntil([&] { return !Status.empty(); }, 3000));
    ASSERT_EQ(Status.back(), 1);

    // The answer to command 1 arrives too late; it must not be taken as the
    // answer to command 2 (it would fail the length check as code 9).
    const Bytes late = ReplyFrame(0, Sequence(24, 50));
    Regulator.Reply(late);
    Pump(30);
    Root->Thread->Timeout = 1000;
    EXPECT_EQ(Exchange(2, ReplyFrame(0, Sequence(35))), 0);
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0].Command, 0x82);
    EXPECT_EQ(Seen[0].Data, Sequence(35));

    QStringList log;
    Root->TakeLog(log);
    ASSERT_GE(log.size(), 4);
    EXPECT_TRUE(log[1].startsWith(QStringLiteral("# [   27] :   25 128  50  51"))) << log[1].toStdString();
    EXPECT_TRUE(log[2].startsWith(QStringLiteral("> [    4] :    2   0   2   2")));
}

TEST_F(UdpLink, ALostReplyCostsTheMeasuredWaitOnlyWhenAdaptive)
{
    SimProcess sim({"--udp", "127.0.0.1:0", "--turnaround", "0", "--speed", "0"});
    ASSERT_TRUE(sim.Ready);
    Build(false, sim.Udp.section(QLatin1Char(':'), -1).toUShort());
    Root->Thread->Timeout = 2000;
    const auto exchange = [&] {
        const size_t before = Status.size();
        Buf->SendCommand(1, 0, nullptr, 0);
        EXPECT_TRUE(PumpUntil([&] { return Status.size() > before && Root->IsIdle(); }, 5000));
        return Status.size() > before ? int(Status.back()) : -1;
    };
    // A few answered exchanges to measure, then one whose reply is lost.
    const auto lost = [&](bool adaptive) {
        Root->Thread->Adaptive = adaptive;
        sim.Command("fault loss 0");
        Pump(200);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(exchange(), 0);
        sim.Command("fault loss 1");
        Pump(200);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(exchange(), 1);
        return std::chrono::steady_clock::now() - t0;
    };
    EXPECT_LT(lost(true), std::chrono::milliseconds(700));
    EXPECT_GE(lost(false), std::chrono::milliseconds(1990));
}

TEST_F(UdpLink, UnreachablePeerEndsInTimeoutsOnly)
{
    // A port nobody listens on: the kernel reports ICMP errors, which must not
    // turn into interface errors or a spinning worker.
    uint16_t closed = 0;
    {
        UdpPeer gone;
        closed = gone.Port;
    }
    Buf.reset();
    Status.clear();
    Build(false, closed);
    Root->Thread->Timeout = 150;
    for (int i = 0; i < 3; ++i) {
        const size_t before = Status.size();
        Buf->SendCommand(2, 0, nullptr, 0);
        ASSERT_TRUE(PumpUntil([&] { return Status.size() > before && Root->IsIdle(); }, 3000));
    }
    EXPECT_EQ(Status, (std::vector<uint8_t> { 1, 1, 1 }));
    QStringList log;
    Root->TakeLog(log);
    EXPECT_EQ(log.size(), 3) << "three frames sent, nothing received or discarded";
}

TEST_F(UdpLink, StopWhileWorkerWaitsForMainThread)
{
    bool sending = false;
    Root->OnSending = [&](bool) { sending = true; };
    // The worker now wants the main thread (to enter csSend), which is not
    // serving events until Stop does.
    Buf->SendCommand(1, 0, nullptr, 0);
    QThread::msleep(50);
    ASSERT_TRUE(Root->Thread->isRunning());
    const auto t0 = std::chrono::steady_clock::now();
    Buf->RootStop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(Root->Thread->isFinished());
    EXPECT_FALSE(sending) << "no hand-over runs once termination was requested";
    // After the stop the chain is inert but safe to use and destroy.
    Buf->SendCommand(2, 0, nullptr, 0);
    Pump(20);
    EXPECT_TRUE(Status.empty());
}

TEST(UdpLinkTimer, TimerDrivesTicksAndCycles)
{
    UdpPeer regulator;
    auto buf = std::make_unique<TComBufQDR>(0, false);
    auto* root = new TUDPInterface(buf.get(), 100, 0);
    root->UDPThread()->SetRemote(QStringLiteral("127.0.0.1"), regulator.Port);
    int ticks = 0, idle = 0;
    std::vector<Bytes> frames;
    buf->CyclePeriod = 200;
    buf->OnTick = [&](void*) { ++ticks; };
    root->OnIdle = [&](void*) { ++idle; };
    buf->OnCycle = [&](void*) { buf->SendCommand(1, 0, nullptr, 0); };
    ASSERT_TRUE(PumpUntil([&] {
        if (auto f = regulator.Take(0)) {
            frames.push_back(*f);
            regulator.Reply(ReplyFrame(0, Sequence(24)));
        }
        return frames.size() >= 2;
    }, 3000));
    EXPECT_GE(ticks, 4);
    EXPECT_GT(idle, 0);
    EXPECT_EQ(frames[0], (Bytes { 2, 0, 1, 1 }));
    buf.reset();
}
