// The client's link against the simulated regulator as a separate process:
// worker thread, interface chain, protocol layer and schedule all real.
#include "e2e/E2ESupport.h"

#include "comm/ComInterface.h"
#include "comm/ComThread.h"

#include <QFile>
#include <QTemporaryDir>

#include <net/if.h>
#include <sys/mount.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

namespace {

struct Generation {
    int Number;
    int Meters;
    uint8_t LiveCommand;
};

class LinkPerGeneration : public ::testing::TestWithParam<Generation> {};

// Identification, then the information block, then the live block of the
// generation; the decoded values are what the simulator was started with.
void ExpectIdentifiedAndLive(Session& s, const Generation& g)
{
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValueKem->IsValid() && s.Replied(g.LiveCommand); }, 8000))
        << "sent " << s.Sent.size() << " requests, " << s.Replies.size() << " replies";
    EXPECT_EQ(s.Engine->Generation(), g.Number);
    EXPECT_EQ(s.Engine->ValueKem->GetValue(), g.Meters);
    EXPECT_EQ(s.Engine->ValuePregV->GetValue(), 450);
    EXPECT_EQ(s.Engine->ValuePregN->GetValue(), 320);
    EXPECT_FALSE(s.Engine->ValueId->Text.isEmpty());
    // Nothing but the identification and the information before both were answered.
    ASSERT_GE(s.Sent.size(), 3u);
    EXPECT_EQ(s.Sent[0], 0);
    EXPECT_EQ(s.Sent[1], 1);
    for (uint8_t code : s.Codes)
        EXPECT_EQ(code, 0) << "a clean line gave a failed exchange";
    EXPECT_TRUE(s.Engine->InterfaceME->TimeStamp->IsValid());
    EXPECT_TRUE(s.Engine->InterfaceME->Power->IsValid());
}

TEST_P(LinkPerGeneration, IdentifiesAndPollsOverUdp)
{
    const Generation g = GetParam();
    SimProcess sim({"--udp", "127.0.0.1:0", "--generation", QString::number(g.Number), "--meters",
                    QString::number(g.Meters), "--preg", "450,320", "--now", "2026-11-15T10:07", "--speed", "0"});
    ASSERT_TRUE(sim.Ready) << sim.StdErr().toStdString();
    Session s(UdpIni(sim));
    EXPECT_TRUE(s.Engine->Description().startsWith("UDP,127.0.0.1:"));
    ExpectIdentifiedAndLive(s, g);
}

TEST_P(LinkPerGeneration, IdentifiesAndPollsOverSerialWithBusEcho)
{
    const Generation g = GetParam();
    // Real line speed and an echo of every request byte, as on a two-wire bus:
    // the echo must be purged, not taken as the reply. The purge ends after
    // PauseW ms without a byte, so the first echoed byte must arrive within
    // PauseW of the write; here the echo comes from another process that a
    // busy machine (tests run two at a time, under sanitizers) can hold up
    // for a good part of a hundred milliseconds, so this site sets PauseW as
    // one with a slow converter would, and the regulator's turnaround stays
    // well above it.
    SimProcess sim({"--serial", "--echo", "--turnaround", "500", "--generation", QString::number(g.Number),
                    "--meters", QString::number(g.Meters), "--preg", "450,320", "--now", "2026-11-15T10:07",
                    "--speed", "0"});
    ASSERT_TRUE(sim.Ready) << sim.StdErr().toStdString();
    Session s(QStringLiteral("[KOMUNIKACIA]\nDevice=%1\nPauseW=200\n").arg(sim.Serial));
    EXPECT_TRUE(s.Engine->Description().startsWith(sim.Serial + ":1200,N,8,1"));
    ExpectIdentifiedAndLive(s, g);
}

INSTANTIATE_TEST_SUITE_P(Generations, LinkPerGeneration,
                         ::testing::Values(Generation{1, 2, 2}, Generation{2, 2, 2}, Generation{3, 4, 8}),
                         [](const auto& info) { return "Generation" + std::to_string(info.param.Number); });

// Each result code of the chain, produced by a real fault on the line.
struct FaultCase {
    const char* Fault;
    uint8_t Code;
};

class ResultCodeFromFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ResultCodeFromFault, ReachesTheStatusAndChangesNothing)
{
    const FaultCase f = GetParam();
    SimProcess sim({"--udp", "127.0.0.1:0", "--generation", "3", "--speed", "0", "--seed", "5",
                    QStringLiteral("--%1").arg(f.Fault), "1"});
    ASSERT_TRUE(sim.Ready);
    Session s(UdpIni(sim, "Timeout=400\n"));
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(f.Code); }, 5000)) << f.Fault;
    // A reply that fails a check never reaches the decoder.
    EXPECT_TRUE(s.Replies.empty());
    EXPECT_EQ(s.Engine->Generation(), 0);
    EXPECT_FALSE(s.Engine->ValueKem->IsValid());
    for (uint8_t code : s.Codes)
        EXPECT_EQ(code, f.Code);
    EXPECT_EQ(s.Engine->Root()->CodeText(f.Code).isEmpty(), false);
}

INSTANTIATE_TEST_SUITE_P(Faults, ResultCodeFromFault,
                         ::testing::Values(FaultCase{"loss", 1}, FaultCase{"tiny", 3}, FaultCase{"long", 4},
                                           FaultCase{"short", 5}, FaultCase{"corrupt", 6},
                                           FaultCase{"misaddress", 7}),
                         [](const auto& info) { return std::string(info.param.Fault); });

TEST(ResultCodes, WrongDataLengthIsCaughtWhereTheLengthIsFixed)
{
    // The identification has no fixed length, so its padded reply passes; the
    // information block's does not.
    SimProcess sim({"--udp", "127.0.0.1:0", "--generation", "3", "--speed", "0", "--wronglength", "1"});
    ASSERT_TRUE(sim.Ready);
    Session s(UdpIni(sim));
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(9); }, 5000));
    EXPECT_TRUE(s.SentCommand(1));
    EXPECT_FALSE(s.Engine->ValueKem->IsValid());
    EXPECT_EQ(s.Engine->Schedule().PollStep(), 0) << "a refused information block must not advance the schedule";
}

TEST(ResultCodes, AReplyWithNothingOutstandingIsRefused)
{
    // A regulator that sends every reply twice: the copy arrives while the
    // client listens with no request outstanding.
    SimProcess sim({"--udp", "127.0.0.1:0", "--generation", "3", "--speed", "0", "--duplicate", "1",
                    "--duplicate-ms", "80"});
    ASSERT_TRUE(sim.Ready);
    Session s(UdpIni(sim));
    ASSERT_TRUE(PumpUntil([&] { return s.Replied(0); }, 3000));
    s.Engine->ComBuf->Listen();
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(8); }, 3000));
    EXPECT_EQ(s.Engine->Root()->CodeChar(8), QChar('K'));
    // The session carries on: the information block still arrives.
    EXPECT_TRUE(PumpUntil([&] { return s.Engine->ValueKem->IsValid(); }, 4000));
}

TEST(ResultCodes, APortThatCannotBeOpenedGivesCodeTwoOnceThenTimeouts)
{
    Session s(QStringLiteral("[KOMUNIKACIA]\nDevice=/dev/qdr-no-such-port\nTimeout=200\n"));
    ASSERT_TRUE(PumpUntil([&] { return s.Codes.size() >= 3; }, 6000));
    EXPECT_EQ(s.Codes[0], 2);
    EXPECT_EQ(std::count(s.Codes.begin(), s.Codes.end(), uint8_t(2)), 1);
    EXPECT_EQ(s.Codes[1], 1);
    EXPECT_EQ(s.Engine->Root()->CodeText(2), QString("Chyba komunikacneho rozhrania"));
}

TEST(Link, RecoversFromAFaultyLineAndReachesTheLiveBlock)
{
    // A mixture of every fault at a modest rate: the schedule asks again and
    // the session gets through identification, information and live data.
    SimProcess sim({"--udp", "127.0.0.1:0", "--generation", "3", "--speed", "0", "--seed", "11", "--loss", "0.1",
                    "--corrupt", "0.1", "--misaddress", "0.05", "--short", "0.05", "--late", "0.05",
                    "--late-ms", "500"});
    ASSERT_TRUE(sim.Ready);
    Session s(UdpIni(sim, "Timeout=300\n"));
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValueKem->IsValid() && s.Replied(8); }, 15000));
    EXPECT_EQ(s.Engine->Generation(), 3);
    EXPECT_EQ(s.Engine->ValuePregV->GetValue(), 400);
}

// Brings the loopback interface of this thread's network namespace up.
bool LoopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0)
        ::close(fd);
    return up;
}

TEST(Unattended, UdpWorksAsSoonAsTheNetworkComesUp)
{
    // A network namespace of its own whose only interface, the loopback, is
    // down: the site PC has booted before its network. The worker thread and
    // the simulator are made after the switch and live in it too.
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    SimProcess sim({"--udp", "0.0.0.0:0", "--speed", "0"});
    ASSERT_TRUE(sim.Ready) << sim.StdErr().toStdString();
    const QString port = sim.Udp.section(QLatin1Char(':'), -1);
    Session s(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:%1\nTimeout=300\n").arg(port));
    ASSERT_TRUE(PumpUntil([&] { return s.Codes.size() >= 3; }, 6000));
    for (uint8_t code : s.Codes)
        EXPECT_EQ(code, 2) << "each exchange without a network says so";
    const size_t failed = s.Codes.size();
    ASSERT_TRUE(LoopbackUp());
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValueKem->IsValid(); }, 6000)) << "no restart needed";
    EXPECT_EQ(s.Codes.back(), 0);
    EXPECT_GE(s.Codes.size(), failed + 2);
}

TEST(Unattended, UdpFollowsAHostNameToItsNewAddress)
{
    // A mount namespace of its own whose /etc/hosts is a file of the test:
    // the regulator's name first stands for an address where nothing
    // answers, then for the simulator's. The worker thread is made after the
    // switch and lives in it too.
    QTemporaryDir dir;
    const QString hosts = dir.filePath(QStringLiteral("hosts"));
    const auto point = [&](const char* address) {
        QFile f(hosts);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               f.write(QByteArray("127.0.0.1 localhost\n") + address + " qdr-regulator\n") > 0;
    };
    ASSERT_TRUE(point("127.0.0.3"));
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(QFile::encodeName(hosts).constData(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "needs root for a mount namespace";
    SimProcess sim({"--udp", "127.0.0.1:0", "--speed", "0"});
    ASSERT_TRUE(sim.Ready) << sim.StdErr().toStdString();
    const QString port = sim.Udp.section(QLatin1Char(':'), -1);
    Session s(QStringLiteral("[KOMUNIKACIA]\nIP=qdr-regulator:%1\nTimeout=300\n").arg(port));
    ASSERT_TRUE(PumpUntil([&] { return s.Codes.size() >= 3; }, 15000));
    for (uint8_t code : s.Codes)
        EXPECT_EQ(code, 1) << "nothing answers at the first address";
    // The name service now gives the regulator's new address.
    ASSERT_TRUE(point("127.0.0.1"));
    EXPECT_TRUE(PumpUntil([&] { return s.Engine->ValueKem->IsValid(); }, 30000)) << "the name is looked up again";
    ::umount("/etc/hosts");
}

TEST(Unattended, ASerialLineThatNeverGoesQuietEndsEveryExchangeWithACode)
{
    // The simulator sends a byte of noise every 5 ms; a loaded machine can
    // hold it up for longer than the usual 10 ms pause that ends a purge, so
    // the pause here is one a loaded machine hardly outlasts, and the reply,
    // once the line is quiet, comes well after it and well within the
    // time-out that follows it.
    SimProcess sim({"--serial", "--fast", "--noise", "--turnaround", "350", "--speed", "0"});
    ASSERT_TRUE(sim.Ready);
    Session s(QStringLiteral("[KOMUNIKACIA]\nDevice=%1\nTimeout=600\nPauseW=150\n").arg(sim.Serial));
    // Counted, not timed: an unbounded purge would end no exchange at all,
    // while a bounded one ends each within its time-out however loaded the
    // machine is, so the deadline only has to outlast a slow machine.
    ASSERT_TRUE(PumpUntil([&] { return s.Codes.size() >= 3; }, 30000)) << "the purge is bounded by the reply time-out";
    for (uint8_t code : s.Codes)
        EXPECT_EQ(code, 2);
    auto* root = dynamic_cast<TComThreadInterface*>(s.Engine->Root());
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(root->Thread->LineNoisy.load());
    // Quiet again: the next exchanges succeed.
    sim.Command("noise off");
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValueKem->IsValid(); }, 30000));
    EXPECT_FALSE(root->Thread->LineNoisy.load());
}

TEST(Unattended, ADownloadThatMakesNoProgressIsShownWithMonthRecordAndWhy)
{
    // Records of four meters do not fit the slots of command 3.
    SimProcess sim({"--udp", "127.0.0.1:0", "--generation", "1", "--meters", "4", "--now", "2026-11-01T05:00",
                    "--lost", "2900", "--speed", "0"});
    ASSERT_TRUE(sim.Ready);
    Session s(UdpIni(sim));
    s.Engine->SetStallMs(1500);
    std::vector<QString> shown;
    s.Engine->OnDownloadStatus = [&](const QString& text) { shown.push_back(text); };
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->Stall().Stalled; }, 10000));
    EXPECT_EQ(s.Engine->Stall().Month, 2026 * 12 + 9);
    EXPECT_EQ(s.Engine->Stall().Record, 2901);
    EXPECT_TRUE(s.Engine->DownloadStatus().startsWith(QStringLiteral("2026OCT stojí pri zázname 2901: ")))
        << s.Engine->DownloadStatus().toStdString();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), s.Engine->DownloadStatus());
}

} // namespace
