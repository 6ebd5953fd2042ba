// The built qdrsim executable, driven as the client and the end-to-end tests
// drive it: over UDP loopback and over a pseudo-terminal, with stdin control.
#include "SimCalendar.h"
#include "SimFrame.h"
#include "SimOptions.h"
#include "SimServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int in[2];
        int out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        Pid = fork();
        if (Pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            std::vector<char*> argv;
            static std::string path = QDRSIM_PATH;
            argv.push_back(path.data());
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        In = in[1];
        Out = out[0];
    }
    ~SimProcess()
    {
        if (Pid > 0 && !Exited) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (In >= 0)
            close(In);
        if (Out >= 0)
            close(Out);
    }

    // One line of stdout, or "" after the time-out.
    std::string Line(int ms = 5000)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const size_t nl = Buffer.find('\n');
            if (nl != std::string::npos) {
                std::string l = Buffer.substr(0, nl);
                Buffer.erase(0, nl + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                return "";
            pollfd p{Out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                return "";
            char buf[256];
            const ssize_t n = read(Out, buf, sizeof buf);
            if (n <= 0)
                return "";
            Buffer.append(buf, static_cast<size_t>(n));
        }
    }
    void Send(const std::string& line)
    {
        ASSERT_EQ(write(In, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    void CloseStdin()
    {
        close(In);
        In = -1;
    }
    // Exit status, or -1 if still running after the time-out.
    int Wait(int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(Pid, &status, WNOHANG) == Pid) {
                Exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }
    pid_t Pid = -1;

private:
    int In = -1;
    int Out = -1;
    bool Exited = false;
    std::string Buffer;
};

class Udp {
public:
    explicit Udp(uint16_t port)
    {
        Fd = socket(AF_INET, SOCK_DGRAM, 0);
        Peer.sin_family = AF_INET;
        Peer.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &Peer.sin_addr);
    }
    ~Udp() { close(Fd); }
    TSimBytes Exchange(const TSimBytes& request, int ms = 2000)
    {
        sendto(Fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&Peer), sizeof Peer);
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return {};
        uint8_t buf[1024];
        const ssize_t n = recv(Fd, buf, sizeof buf, 0);
        return n > 0 ? TSimBytes(buf, buf + n) : TSimBytes{};
    }

private:
    int Fd;
    sockaddr_in Peer{};
};

uint16_t PortOf(const std::string& line)
{
    const size_t colon = line.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

// Checks a reply frame and returns its data.
TSimBytes ReplyData(const TSimBytes& r, uint8_t address = 0)
{
    EXPECT_GE(r.size(), 3u);
    if (r.size() < 3)
        return {};
    EXPECT_EQ(r.size(), r[0] + 2u);
    EXPECT_EQ(r[1], address | 0x80);
    EXPECT_EQ(TSimFrame::Checksum(r.data() + 1, r[0]), r[r[0] + 1u]);
    return TSimBytes(r.begin() + 2, r.begin() + r[0] + 1);
}

} // namespace

TEST(SimProcess, UdpRoundTripAndControlLines)
{
    SimProcess sim({"--udp", "127.0.0.1:0", "--now", "2024-03-01T10:07", "--speed", "0", "--seed", "4"});
    const std::string where = sim.Line();
    ASSERT_EQ(where.rfind("UDP 127.0.0.1:", 0), 0u) << where;
    ASSERT_EQ(sim.Line(), "READY");
    Udp udp(PortOf(where));

    const TSimBytes id = ReplyData(udp.Exchange({2, 0, 0, 0}));
    ASSERT_GE(id.size(), 10u);
    EXPECT_EQ(std::string(id.end() - 4, id.end()), "2002");

    TSimBytes table = ReplyData(udp.Exchange({2, 0, 8, 8}));
    ASSERT_EQ(table.size(), 70u);
    EXPECT_EQ(SimGet16(&table[64]), 40) << "40 intervals complete at 10:07";

    sim.Send("advance 30\n");
    EXPECT_EQ(sim.Line(), "OK advance 30 now 2024-03-01T10:37:00");
    table = ReplyData(udp.Exchange({2, 0, 8, 8}));
    EXPECT_EQ(SimGet16(&table[64]), 42);
    sim.Send("restart\n");
    EXPECT_EQ(sim.Line(), "OK restart");
    table = ReplyData(udp.Exchange({2, 0, 8, 8}));
    EXPECT_EQ(SimGet16(&table[64]), 0);

    sim.Send("preg 321 123\n");
    EXPECT_EQ(sim.Line(), "OK preg 321 123");
    EXPECT_EQ(ReplyData(udp.Exchange({6, 0, 7, 0, 0, 0, 0, 7})), (TSimBytes{0x41, 0x01, 0x7B, 0x00}));

    sim.Send("fault loss 1\n");
    EXPECT_EQ(sim.Line(), "OK fault loss 1");
    EXPECT_TRUE(udp.Exchange({2, 0, 1, 1}, 300).empty());
    sim.Send("fault loss 0\nfault corrupt 1\n");
    EXPECT_EQ(sim.Line(), "OK fault loss 0");
    EXPECT_EQ(sim.Line(), "OK fault corrupt 1");
    const TSimBytes bad = udp.Exchange({2, 0, 1, 1});
    ASSERT_EQ(bad.size(), 27u);
    EXPECT_NE(TSimFrame::Checksum(bad.data() + 1, bad[0]), bad[26]);
    sim.Send("fault corrupt 0\n");
    EXPECT_EQ(sim.Line(), "OK fault corrupt 0");

    // Requests it cannot take go unanswered.
    EXPECT_TRUE(udp.Exchange({2, 0, 1, 2}, 300).empty()) << "bad checksum";
    EXPECT_TRUE(udp.Exchange({2, 1, 1, 2}, 300).empty()) << "another address";

    // End of stdin leaves it running; SIGTERM ends it cleanly.
    sim.CloseStdin();
    EXPECT_EQ(ReplyData(udp.Exchange({2, 0, 1, 1})).size(), 24u);
    EXPECT_EQ(sim.Wait(200), -1);
    kill(sim.Pid, SIGTERM);
    EXPECT_EQ(sim.Wait(3000), 0);
}

TEST(SimProcess, LateRepliesComeAfterTheirDelay)
{
    SimProcess sim({"--udp", "127.0.0.1:0", "--speed", "0", "--late", "1", "--late-ms", "400"});
    const uint16_t port = PortOf(sim.Line());
    ASSERT_EQ(sim.Line(), "READY");
    Udp udp(port);
    const auto t0 = Clock::now();
    EXPECT_TRUE(udp.Exchange({2, 0, 1, 1}, 250).empty());
    EXPECT_EQ(ReplyData(udp.Exchange({}, 1000)).size(), 24u) << "the late reply still arrives";
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(390));
    sim.Send("quit\n");
    EXPECT_EQ(sim.Line(), "OK quit");
    EXPECT_EQ(sim.Wait(3000), 0);
}

namespace {

int OpenRaw(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

TSimBytes ReadFor(int fd, size_t want, int ms)
{
    TSimBytes got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            uint8_t buf[512];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
    }
    return got;
}

} // namespace

TEST(SimProcess, SerialLineWithEchoAndLinePacing)
{
    SimProcess sim({"--serial", "--echo", "--speed", "0", "--generation", "1"});
    const std::string where = sim.Line();
    ASSERT_EQ(where.rfind("SERIAL /dev/", 0), 0u) << where;
    ASSERT_EQ(sim.Line(), "READY");
    const std::string path = where.substr(7);

    // Two sessions in turn: the line survives a client closing it.
    for (int session = 0; session < 2; ++session) {
        const int fd = OpenRaw(path);
        ASSERT_GE(fd, 0);
        const auto t0 = Clock::now();
        ASSERT_EQ(write(fd, "\x02\x00\x01\x01", 4), 4);
        const TSimBytes got = ReadFor(fd, 4 + 27, 3000);
        const auto took = Clock::now() - t0;
        ASSERT_EQ(got.size(), 31u);
        EXPECT_EQ(TSimBytes(got.begin(), got.begin() + 4), (TSimBytes{2, 0, 1, 1})) << "the echo comes first";
        const TSimBytes reply(got.begin() + 4, got.end());
        EXPECT_EQ(ReplyData(reply).size(), 24u);
        // 31 bytes at 1200 baud plus the 30 ms turnaround: about 290 ms.
        EXPECT_GE(took, std::chrono::milliseconds(280));
        close(fd);
    }
    kill(sim.Pid, SIGINT);
    EXPECT_EQ(sim.Wait(3000), 0);
}

TEST(SimProcess, FastSerialAnswersAtOnceAndResynchronises)
{
    SimProcess sim({"--serial", "--fast", "--turnaround", "0", "--speed", "0"});
    const std::string where = sim.Line();
    ASSERT_EQ(sim.Line(), "READY");
    const int fd = OpenRaw(where.substr(7));
    ASSERT_GE(fd, 0);
    // A stray byte ahead of the request is skipped.
    const auto t0 = Clock::now();
    ASSERT_EQ(write(fd, "\x00\x02\x00\x08\x08", 5), 5);
    const TSimBytes got = ReadFor(fd, 72, 2000);
    EXPECT_EQ(ReplyData(got).size(), 70u);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(200));
    close(fd);
}

TEST(SimProcess, BadArgumentsAreRefused)
{
    SimProcess sim({"--interval", "7"});
    EXPECT_EQ(sim.Wait(3000), 2);
    SimProcess help({"--help"});
    EXPECT_NE(help.Line().find("qdrsim"), std::string::npos);
    EXPECT_EQ(help.Wait(3000), 0);
}

TEST(SimOptions, ParsesTheRegulatorAndFaultSettings)
{
    const char* argv[] = {"qdrsim", "--generation", "2", "--meters", "5", "--kinds", "0x12", "--preg", "250,120",
                          "--now", "2023-12-31T23:50", "--interval", "5", "--lost", "7", "--corrupt", "0.25",
                          "--late-ms", "2000", "--udp", "127.0.0.2:0", "--gaps", "5,20-31,7"};
    TSimOptions o;
    std::string error;
    ASSERT_TRUE(SimParseOptions(static_cast<int>(std::size(argv)), argv, o, error)) << error;
    EXPECT_EQ(o.Regulator.Generation, 2);
    EXPECT_EQ(o.Regulator.MeterCount(), 5);
    EXPECT_EQ(o.Regulator.Kinds, 0x12);
    EXPECT_EQ(o.Regulator.PregVT, 250);
    EXPECT_EQ(o.Regulator.PregNT, 120);
    EXPECT_EQ(o.Regulator.IntervalMinutes, 5);
    EXPECT_EQ(o.Regulator.Lost, 7);
    EXPECT_DOUBLE_EQ(o.Faults[sfCorrupt], 0.25);
    EXPECT_EQ(o.LateMs, 2000);
    EXPECT_EQ(o.UdpAddress, "127.0.0.2");
    EXPECT_EQ(o.UdpPort, 0);
    EXPECT_EQ(SimCivilText(o.Regulator.Now), "2023-12-31T23:50:00");
    using Run = std::pair<uint16_t, uint16_t>;
    EXPECT_EQ(o.Regulator.Gaps, (std::vector<Run>{{5, 5}, {20, 31}, {7, 7}}));

    TSimOptions d;
    const char* none[] = {"qdrsim"};
    ASSERT_TRUE(SimParseOptions(1, none, d, error));
    EXPECT_EQ(d.Regulator.MeterCount(), 4);
    EXPECT_EQ(d.UdpPort, 10001);

    for (std::vector<const char*> bad : {std::vector<const char*>{"qdrsim", "--preg", "250"},
                                         {"qdrsim", "--generation", "4"},
                                         {"qdrsim", "--loss", "1.5"},
                                         {"qdrsim", "--now", "2023-02-30T10:00"},
                                         {"qdrsim", "--udp", "10001"},
                                         {"qdrsim", "--meters"},
                                         {"qdrsim", "--gaps", "5,"},
                                         {"qdrsim", "--gaps", "9-3"},
                                         {"qdrsim", "--gaps", "0"},
                                         {"qdrsim", "--frobnicate"}}) {
        TSimOptions b;
        EXPECT_FALSE(SimParseOptions(static_cast<int>(bad.size()), bad.data(), b, error)) << bad[1];
    }
}

TEST(SimControl, LinesSteerTheRunningRegulator)
{
    TSimOptions o;
    o.Speed = 0;
    int64_t start = 0;
    ASSERT_TRUE(SimParseCivil("2024-03-01T10:07", start));
    o.Regulator.Now = start;
    TSimServer s(o);
    std::string reply;
    EXPECT_TRUE(s.Control("advance 15", reply));
    EXPECT_EQ(s.SimNow(), start + 900);
    EXPECT_FALSE(s.Control("advance -5", reply));
    EXPECT_FALSE(s.Control("advance", reply));
    EXPECT_EQ(s.SimNow(), start + 900);
    EXPECT_TRUE(s.Control("fault tiny 0.5", reply));
    EXPECT_DOUBLE_EQ(s.Faults().Get(sfTiny), 0.5);
    EXPECT_FALSE(s.Control("fault tiny 2", reply));
    EXPECT_FALSE(s.Control("fault tiny x", reply));
    EXPECT_FALSE(s.Control("fault wobble 0.5", reply));
    EXPECT_DOUBLE_EQ(s.Faults().Get(sfTiny), 0.5);
    EXPECT_TRUE(s.Control("preg 200 100", reply));
    EXPECT_EQ(s.Regulator().RegulatedPower(1), 100);
    EXPECT_FALSE(s.Control("preg 200", reply));
    EXPECT_FALSE(s.Control("preg 0 100", reply));
    EXPECT_TRUE(s.Control("restart", reply));
    EXPECT_EQ(s.Regulator().MonthTable().Count0, 0);
    EXPECT_TRUE(s.Control("status", reply));
    EXPECT_NE(reply.find("table 24290 24289 0 2784 0"), std::string::npos) << reply;
    EXPECT_FALSE(s.Control("jump", reply));
    EXPECT_FALSE(s.QuitRequested());
    EXPECT_TRUE(s.Control("quit", reply));
    EXPECT_TRUE(s.QuitRequested());
}
