// The serial root over a pseudo-terminal pair: the client opens the slave
// side like any serial device, and a thread of the test plays the regulator on
// the master side (including the echo a two-wire bus returns).
#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"
#include "comm/CommTestSupport.h"
#include "comm/SerialThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class PtyRegulator {
public:
    PtyRegulator()
    {
        Master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (Master >= 0 && ::grantpt(Master) == 0 && ::unlockpt(Master) == 0)
            Slave = QString::fromLocal8Bit(::ptsname(Master));
    }
    ~PtyRegulator()
    {
        Join();
        if (Master >= 0)
            ::close(Master);
    }

    void Run(std::function<void(PtyRegulator&)> script)
    {
        Worker = std::thread([this, script = std::move(script)] { script(*this); });
    }
    void Join()
    {
        if (Worker.joinable())
            Worker.join();
    }

    // Reads n bytes from the line, or what came within ms.
    Bytes ReadN(size_t n, int ms)
    {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p { Master, POLLIN, 0 };
            if (::poll(&p, 1, int(left.count())) <= 0)
                continue;
            uint8_t b[256];
            const ssize_t r = ::read(Master, b, std::min(sizeof b, n - got.size()));
            if (r > 0)
                got.insert(got.end(), b, b + r);
        }
        return got;
    }
    void Write(const Bytes& b) { ASSERT_EQ(::write(Master, b.data(), b.size()), ssize_t(b.size())); }

    int Master = -1;
    QString Slave;
    std::thread Worker;
};

class SerialLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Line.Slave.isEmpty());
        Build(Line.Slave);
    }
    void Build(const QString& device)
    {
        Buf = std::make_unique<TComBufQDR>(0, false);
        Root = new TSerialInterface(Buf.get(), 0, device, 1, 1200, 'N', 8, 1, true);
        Thread = Root->SerialThread();
        Thread->Timeout = 1000;
        Thread->PauseW = 80;
        Thread->PauseD = 100;
        Thread->SetLogCapacity(96);
        Root->OnStatus = [this](uint8_t code) { Status.push_back(code); };
        Buf->OnData = [this](uint8_t a, uint8_t c, uint8_t l, const uint8_t* d) { Seen.push_back({ a, c, Bytes(d, d + l) }); };
    }
    void TearDown() override
    {
        Line.Join();
        Buf.reset();
    }
    bool AwaitStatus(size_t count, int ms)
    {
        return PumpUntil([&] { return Status.size() >= count && Root->IsIdle(); }, ms);
    }

    PtyRegulator Line;
    std::unique_ptr<TComBufQDR> Buf;
    TSerialInterface* Root = nullptr; // owned by Buf
    TSerialThread* Thread = nullptr;
    std::vector<uint8_t> Status;
    std::vector<DataSeen> Seen;
};

} // namespace

TEST_F(SerialLink, EchoIsPurgedAndReplyGatheredUntilSilence)
{
    Pump(30);
    EXPECT_TRUE(Status.empty()) << "a device without RTS control is no interface error";
    EXPECT_EQ(Thread->LastError, 0);
    EXPECT_EQ(Buf->RootDescription(), Line.Slave + QStringLiteral(":1200,N,8,1"));

    const Bytes reply = ReplyFrame(0, Sequence(24, 7));
    Bytes request;
    Line.Run([&](PtyRegulator& r) {
        request = r.ReadN(4, 3000);
        r.Write(request); // the bus returns the frame as it was sent
        std::this_thread::sleep_for(200ms);
        r.Write(Bytes(reply.begin(), reply.begin() + 10));
        std::this_thread::sleep_for(30ms); // shorter than PauseD: same block
        r.Write(Bytes(reply.begin() + 10, reply.end()));
    });
    Buf->SendCommand(1, 0, nullptr, 0);
    ASSERT_TRUE(AwaitStatus(1, 4000));
    Line.Join();

    EXPECT_EQ(request, (Bytes { 2, 0, 1, 1 }));
    EXPECT_EQ(Status, (std::vector<uint8_t> { 0 }));
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0].Command, 0x81);
    EXPECT_EQ(Seen[0].Data, Sequence(24, 7));

    QStringList log;
    ASSERT_TRUE(Root->TakeLog(log));
    ASSERT_EQ(log.size(), 3);
    EXPECT_EQ(log[0], QStringLiteral("> [    4] :    2   0   1   1"));
    EXPECT_EQ(log[1], QStringLiteral("# [    4] :    2   0   1   1"));
    EXPECT_TRUE(log[2].startsWith(QStringLiteral("< [   27] :   25 128   7"))) << log[2].toStdString();
}

TEST_F(SerialLink, WithoutPauseWTheEchoIsTakenAsTheReply)
{
    Thread->PauseW = 0;
    Line.Run([](PtyRegulator& r) {
        const Bytes request = r.ReadN(4, 3000);
        r.Write(request);
        std::this_thread::sleep_for(400ms);
        r.Write(ReplyFrame(0, Sequence(24)));
    });
    Buf->SendCommand(1, 0, nullptr, 0);
    ASSERT_TRUE(AwaitStatus(1, 3000));
    // The echo 2,0,1,1 has a valid sum but no reply address.
    EXPECT_EQ(Status, (std::vector<uint8_t> { 7 }));
    EXPECT_TRUE(Seen.empty());
    QStringList log;
    Root->TakeLog(log);
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[1], QStringLiteral("< [    4] :    2   0   1   1"));
}

TEST_F(SerialLink, TimeoutZeroWaitsWithoutLimit)
{
    Thread->Timeout = 0;
    Line.Run([](PtyRegulator& r) {
        r.ReadN(4, 3000);
        std::this_thread::sleep_for(700ms);
        r.Write(ReplyFrame(0, Sequence(24)));
    });
    Buf->SendCommand(1, 0, nullptr, 0);
    Pump(500);
    EXPECT_TRUE(Status.empty());
    ASSERT_TRUE(AwaitStatus(1, 3000));
    EXPECT_EQ(Status, (std::vector<uint8_t> { 0 }));
    EXPECT_EQ(Seen.size(), 1u);
}

TEST_F(SerialLink, OnlyOneFrameIsQueued)
{
    Bytes first, more;
    Line.Run([&](PtyRegulator& r) {
        first = r.ReadN(4, 3000);
        std::this_thread::sleep_for(200ms); // after the purge (PauseW 80)
        r.Write(ReplyFrame(0, Sequence(24)));
        more = r.ReadN(1, 400);
    });
    Buf->SendCommand(1, 0, nullptr, 0);
    ASSERT_EQ(Buf->Pending, 0x81);
    // The worker has not taken the first frame yet (it waits for the main
    // thread), so a second one is refused.
    const uint8_t second[4] = { 2, 0, 2, 2 };
    EXPECT_FALSE(Root->Send(second, 4));
    EXPECT_EQ(Buf->Pending, 0x81) << "a refused frame leaves the outstanding request alone";
    ASSERT_TRUE(AwaitStatus(1, 3000));
    Line.Join();
    EXPECT_EQ(first, (Bytes { 2, 0, 1, 1 }));
    EXPECT_TRUE(more.empty());
    EXPECT_EQ(Status, (std::vector<uint8_t> { 0 }));

    // Through the protocol layer: the refused request leaves nothing outstanding.
    Buf->SendCommand(1, 0, nullptr, 0);
    Buf->SendCommand(2, 0, nullptr, 0);
    EXPECT_EQ(Buf->Pending, 0);
    EXPECT_FALSE(Root->Thread->Accept(second, 0)) << "an empty frame is never queued";
}

TEST_F(SerialLink, ReadNeverStoresMoreThanTheRoomOffered)
{
    // The worker is idle and does not touch the port, so the test may.
    Line.Write(Sequence(10, 1));
    ASSERT_TRUE(Thread->Serial->WaitForData(1000));
    uint8_t buf[8];
    std::fill(std::begin(buf), std::end(buf), 0xAA);
    EXPECT_EQ(Thread->Read(buf, 4), 4);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes { 1, 2, 3, 4, 0xAA }));
    uint8_t rest[32] {};
    EXPECT_EQ(Thread->Read(rest, 32), 6);
    EXPECT_EQ(rest[0], 5);
    EXPECT_EQ(rest[5], 10);
    EXPECT_EQ(Thread->NextState, csIdle) << "a clean read sets no error";
}

TEST_F(SerialLink, UnopenableDeviceReportsOnceThenTimesOut)
{
    Buf.reset();
    Build(QStringLiteral("/nonexistent/ttyQDR"));
    Thread->Timeout = 150;
    ASSERT_TRUE(AwaitStatus(1, 2000));
    EXPECT_EQ(Status, (std::vector<uint8_t> { 2 }));
    EXPECT_NE(Thread->LastError, 0);
    EXPECT_FALSE(Thread->LastErrorText.isEmpty());
    EXPECT_FALSE(Root->IsDatagram());

    for (size_t i = 2; i <= 3; ++i) {
        Buf->SendCommand(1, 0, nullptr, 0);
        ASSERT_TRUE(AwaitStatus(i, 2000));
    }
    EXPECT_EQ(Status, (std::vector<uint8_t> { 2, 1, 1 }));
    EXPECT_EQ(Buf->CodeText(Status[0]), QStringLiteral("Chyba komunikacneho rozhrania"));
}
