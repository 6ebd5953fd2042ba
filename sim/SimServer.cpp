#include "SimServer.h"

#include "SimCalendar.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::string Hex(const TSimBytes& b)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

bool MakeRaw(int fd, bool setSpeed)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (setSpeed) {
        cfsetispeed(&t, B1200);
        cfsetospeed(&t, B1200);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A serial frame left incomplete for this long is dropped: the regulator
// resynchronises on the next request.
constexpr auto kFrameGap = std::chrono::milliseconds(300);
// Lateness of a paced byte that counts as a stall of this process.
constexpr auto kStallSlack = std::chrono::milliseconds(2);

} // namespace

TSimServer::TSimServer(const TSimOptions& options)
    : Opt(options), Model(options.Regulator), FaultGen(options.Regulator.Seed),
      RealStart(TClock::now()), SimStart(options.Regulator.Now)
{
    for (int f = 0; f < sfCount; ++f)
        FaultGen.Set(static_cast<TSimFault>(f), Opt.Faults[f]);
}

TSimServer::~TSimServer()
{
    if (LinkFd >= 0)
        close(LinkFd);
    if (SlaveFd >= 0)
        close(SlaveFd);
}

int64_t TSimServer::SimNow() const
{
    const double real = std::chrono::duration<double>(TClock::now() - RealStart).count();
    return SimStart + static_cast<int64_t>(std::floor(real * Opt.Speed)) + Advanced;
}

TSimServer::TClock::duration TSimServer::ByteTime() const
{
    if (IsUdp || Opt.Fast)
        return TClock::duration::zero();
    // 1200 baud, start + 8 data + stop bits.
    return std::chrono::duration_cast<TClock::duration>(std::chrono::microseconds(8333));
}

void TSimServer::Log(const std::string& text) const
{
    if (!Opt.Log)
        return;
    std::fprintf(stderr, "[%s] %s\n", SimCivilText(SimNow()).c_str(), text.c_str());
    std::fflush(stderr);
}

bool TSimServer::Open(std::string& where)
{
    switch (Opt.Transport) {
    case TSimTransport::Udp: return OpenUdp(where);
    case TSimTransport::Serial: return OpenPty(where);
    case TSimTransport::Device: return OpenDevice(where);
    }
    return false;
}

bool TSimServer::OpenUdp(std::string& where)
{
    IsUdp = true;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Opt.UdpPort);
    if (inet_pton(AF_INET, Opt.UdpAddress.c_str(), &a.sin_addr) != 1) {
        where = "not an IPv4 address: " + Opt.UdpAddress;
        return false;
    }
    LinkFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (LinkFd < 0 || bind(LinkFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        where = std::string("cannot bind UDP: ") + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(LinkFd, reinterpret_cast<sockaddr*>(&a), &len);
    where = "UDP " + Opt.UdpAddress + ":" + std::to_string(ntohs(a.sin_port));
    return true;
}

bool TSimServer::OpenPty(std::string& where)
{
    IsUdp = false;
    LinkFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (LinkFd < 0 || grantpt(LinkFd) != 0 || unlockpt(LinkFd) != 0) {
        where = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(LinkFd, name, sizeof name) != 0) {
        where = "cannot name the pseudo-terminal";
        return false;
    }
    SlaveFd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (SlaveFd < 0 || !MakeRaw(SlaveFd, true)) {
        where = std::string("cannot set up ") + name + ": " + std::strerror(errno);
        return false;
    }
    fcntl(LinkFd, F_SETFL, fcntl(LinkFd, F_GETFL) | O_NONBLOCK);
    where = std::string("SERIAL ") + name;
    return true;
}

bool TSimServer::OpenDevice(std::string& where)
{
    IsUdp = false;
    LinkFd = open(Opt.DevicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (LinkFd < 0 || !MakeRaw(LinkFd, true)) {
        where = "cannot open " + Opt.DevicePath + ": " + std::strerror(errno);
        return false;
    }
    where = "SERIAL " + Opt.DevicePath;
    return true;
}

int TSimServer::Run(volatile std::sig_atomic_t* stopFlag)
{
    sigset_t none;
    sigemptyset(&none);
    while (!Quit && !(stopFlag && *stopFlag)) {
        Flush();
        const auto now = TClock::now();
        auto wake = now + std::chrono::seconds(1);
        for (const TOut& o : Outgoing)
            wake = std::min(wake, o.At);
        if (Opt.Noise && !IsUdp) {
            Noise();
            wake = std::min(wake, NextNoise);
        }
        if (Assembler.Pending() != 0)
            wake = std::min(wake, LastRx + kFrameGap);
        const auto wait = std::max(TClock::duration::zero(), wake - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};

        pollfd fds[2] = {{LinkFd, POLLIN, 0}, {StdinOpen ? 0 : -1, POLLIN, 0}};
        const int r = ppoll(fds, 2, &ts, &none);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::perror("qdrsim: poll");
            return 1;
        }
        if (fds[0].revents & POLLIN)
            ReadLink();
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            ReadStdin();
        if (!IsUdp && Assembler.Pending() != 0 && TClock::now() - LastRx >= kFrameGap) {
            Log("partial request dropped");
            Assembler.Reset();
        }
    }
    return 0;
}

void TSimServer::Noise()
{
    const auto now = TClock::now();
    if (now < NextNoise)
        return;
    const uint8_t byte = 0x55;
    if (write(LinkFd, &byte, 1) < 0 && errno != EAGAIN)
        Log("noise not written");
    // One byte per byte time of the line, at least every 5 ms when unpaced.
    NextNoise = now + std::max<TClock::duration>(ByteTime(), std::chrono::milliseconds(5));
}

void TSimServer::ReadLink()
{
    uint8_t buf[2048];
    if (IsUdp) {
        for (;;) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const ssize_t n = recvfrom(LinkFd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
            if (n < 0)
                return;
            const auto now = TClock::now();
            TSimRequest req;
            size_t used = 0;
            TSimParse p = TSimFrame::ParseRequest(buf, static_cast<size_t>(n), req, used);
            TSimBytes raw(buf, buf + n);
            Handle(p, req, raw, now, &peer);
        }
    }
    const ssize_t n = read(LinkFd, buf, sizeof buf);
    if (n <= 0)
        return;
    const auto now = TClock::now();
    const auto bt = ByteTime();
    if (Assembler.Pending() != 0 && now - LastRx >= kFrameGap)
        Assembler.Reset();
    LastRx = now;
    // Bytes arrive on the wire one after another; each is complete (and, on a
    // two-wire bus, seen back by the sender) one byte time after the previous.
    for (ssize_t i = 0; i < n; ++i) {
        WireFree = std::max(WireFree, now) + bt;
        if (Opt.Echo)
            Outgoing.push_back({WireFree, TSimBytes{buf[i]}, {}});
        Assembler.Feed(buf + i, 1, [&](TSimParse p, const TSimRequest& req, const TSimBytes& raw) {
            Handle(p, req, raw, WireFree, nullptr);
        });
    }
}

void TSimServer::Handle(TSimParse parse, const TSimRequest& request, const TSimBytes& raw,
                        TClock::time_point complete, const sockaddr_in* peer)
{
    Log("RX " + Hex(raw));
    if (parse == TSimParse::Incomplete || parse == TSimParse::BadCount) {
        Log("-- no reply: malformed request");
        return;
    }
    if (parse == TSimParse::BadChecksum) {
        Log("-- no reply: bad checksum");
        return;
    }
    if (TClock::now() < MutedUntil) {
        Log("-- no reply: muted");
        return;
    }
    const bool early = Opt.MinGapMs > 0 && AnyRequest && complete - LastRequest < std::chrono::milliseconds(Opt.MinGapMs);
    AnyRequest = true;
    LastRequest = complete;
    if (early) {
        Log("-- no reply: sooner than --min-gap after the previous request");
        return;
    }
    Model.SetClock(SimNow());
    const TSimAnswer answer = Model.Answer(request);
    if (!answer.Reply) {
        Log("-- no reply: " + answer.Why);
        return;
    }
    const TSimBytes frame = TSimFrame::BuildReply(Model.Config().Address, answer.Data);
    const TSimFaultDraw draw = FaultGen.Draw();
    const TSimFaulted out = FaultGen.Apply(draw, frame);
    const std::string faults = draw.Any() ? " (" + draw.Text() + ")" : "";
    if (!out.Send) {
        Log("TX lost" + faults);
        return;
    }
    Log("TX " + Hex(out.Bytes) + faults);
    const int delay = out.Late ? Opt.LateMs : Opt.TurnaroundMs;
    ScheduleReply(out.Bytes, complete + std::chrono::milliseconds(delay), peer);
    if (out.Duplicate)
        ScheduleReply(out.Bytes, complete + std::chrono::milliseconds(delay + Opt.DuplicateMs), peer);
}

void TSimServer::ScheduleReply(const TSimBytes& bytes, TClock::time_point start, const sockaddr_in* peer)
{
    if (IsUdp) {
        TOut o{start, bytes, {}};
        if (peer)
            o.Peer = *peer;
        Outgoing.push_back(std::move(o));
        return;
    }
    const auto bt = ByteTime();
    const auto duration = bt * static_cast<long>(bytes.size());
    // A reply never overlaps another one still on its way out (a late reply,
    // say): it waits until the line is free.
    const auto now = TClock::now();
    Blocks.erase(std::remove_if(Blocks.begin(), Blocks.end(), [&](const TBlock& b) { return b.End < now; }),
                 Blocks.end());
    bool moved = true;
    while (moved) {
        moved = false;
        for (const TBlock& b : Blocks) {
            if (start < b.End && start + duration > b.Start) {
                start = b.End;
                moved = true;
            }
        }
    }
    Blocks.push_back({start, start + duration});
    WireFree = std::max(WireFree, start + duration);
    if (bt == TClock::duration::zero()) {
        Outgoing.push_back({start, bytes, {}});
        return;
    }
    for (size_t k = 0; k < bytes.size(); ++k)
        Outgoing.push_back({start + bt * static_cast<long>(k + 1), TSimBytes{bytes[k]}, {}});
}

void TSimServer::Flush()
{
    const auto now = TClock::now();
    std::stable_sort(Outgoing.begin(), Outgoing.end(), [](const TOut& a, const TOut& b) { return a.At < b.At; });
    size_t done = 0;
    for (; done < Outgoing.size() && Outgoing[done].At <= now; ++done) {
        const TOut& o = Outgoing[done];
        if (IsUdp) {
            sendto(LinkFd, o.Bytes.data(), o.Bytes.size(), 0, reinterpret_cast<const sockaddr*>(&o.Peer),
                   sizeof o.Peer);
        } else {
            // A wire cannot squeeze bytes together: when this process was held
            // up past a byte's time, everything after it moves by as much, so
            // every gap of silence (which the client's purge and end-of-block
            // timing rely on) keeps its length.
            const auto late = now - o.At;
            if (late > kStallSlack) {
                for (size_t k = done + 1; k < Outgoing.size(); ++k)
                    Outgoing[k].At += late;
                for (TBlock& b : Blocks) {
                    b.Start += late;
                    b.End += late;
                }
                WireFree += late;
            }
            size_t off = 0;
            while (off < o.Bytes.size()) {
                const ssize_t w = write(LinkFd, o.Bytes.data() + off, o.Bytes.size() - off);
                if (w <= 0) {
                    // Nobody is reading the line and its buffer is full: the
                    // bytes are lost, as on a bus with no listener.
                    if (w < 0 && errno == EINTR)
                        continue;
                    Log("line buffer full: " + std::to_string(o.Bytes.size() - off) + " byte(s) dropped");
                    break;
                }
                off += static_cast<size_t>(w);
            }
        }
    }
    Outgoing.erase(Outgoing.begin(), Outgoing.begin() + static_cast<std::ptrdiff_t>(done));
}

void TSimServer::ReadStdin()
{
    char buf[1024];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        // End of input only closes the control channel; the simulator keeps
        // serving until it is told or signalled to stop.
        StdinOpen = false;
        return;
    }
    StdinBuffer.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = StdinBuffer.find('\n')) != std::string::npos) {
        std::string line = StdinBuffer.substr(0, nl);
        StdinBuffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::string reply;
        if (Control(line, reply)) {
            std::printf("OK %s\n", reply.c_str());
            std::fflush(stdout);
        } else {
            std::fprintf(stderr, "ERROR %s\n", reply.c_str());
            std::fflush(stderr);
        }
    }
}

bool TSimServer::Control(const std::string& line, std::string& reply)
{
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::string extra;
    auto noMore = [&]() { return !(in >> extra); };
    if (cmd == "quit" && noMore()) {
        Quit = true;
        reply = "quit";
        return true;
    }
    if (cmd == "fault") {
        std::string name;
        std::string p;
        if (in >> name >> p && noMore()) {
            char* end = nullptr;
            const double v = std::strtod(p.c_str(), &end);
            if (*end == '\0' && FaultGen.Set(name, v)) {
                reply = "fault " + name + " " + p;
                return true;
            }
        }
        reply = "usage: fault loss|corrupt|misaddress|short|tiny|long|late P (0..1): " + line;
        return false;
    }
    if (cmd == "advance") {
        long long minutes = -1;
        if (in >> minutes && minutes >= 0 && minutes <= 10000000 && noMore()) {
            Advanced += minutes * 60;
            Model.SetClock(SimNow());
            reply = "advance " + std::to_string(minutes) + " now " + SimCivilText(SimNow());
            return true;
        }
        reply = "usage: advance MINUTES (0 or more): " + line;
        return false;
    }
    if (cmd == "restart" && noMore()) {
        Model.SetClock(SimNow());
        Model.RestartNumbering();
        reply = "restart";
        return true;
    }
    if (cmd == "meters") {
        int meters = -1;
        if (in >> meters && meters >= 0 && meters <= TSimRegulator::kMaxMeters && noMore()) {
            Model.SetClock(SimNow());
            Model.SetMeters(meters);
            reply = "meters " + std::to_string(meters) + " record size " + std::to_string(Model.RecordSize());
            return true;
        }
        reply = "usage: meters N (0..12): " + line;
        return false;
    }
    if (cmd == "noise") {
        std::string state;
        if (in >> state && (state == "on" || state == "off") && noMore()) {
            Opt.Noise = state == "on";
            reply = "noise " + state;
            return true;
        }
        reply = "usage: noise on|off: " + line;
        return false;
    }
    if (cmd == "preg") {
        long vt = 0;
        long nt = 0;
        if (in >> vt >> nt && vt >= 1 && vt <= 65534 && nt >= 1 && nt <= 65534 && noMore()) {
            Model.SetClock(SimNow());
            Model.SetRegulatedPower(static_cast<uint16_t>(vt), static_cast<uint16_t>(nt));
            reply = "preg " + std::to_string(vt) + " " + std::to_string(nt);
            return true;
        }
        reply = "usage: preg VT NT (kW, 1..65534): " + line;
        return false;
    }
    if (cmd == "load") {
        std::string text;
        TSimLoad load;
        if (in >> text && SimParseLoad(text, load) && noMore()) {
            Model.SetClock(SimNow());
            Model.SetLoad(load);
            reply = "load " + text;
            return true;
        }
        reply = "usage: load ramp:P|steady:P|noisy:P|off: " + line;
        return false;
    }
    if (cmd == "mute") {
        long seconds = -1;
        if (in >> seconds && seconds >= 0 && seconds <= 86400 && noMore()) {
            MutedUntil = TClock::now() + std::chrono::seconds(seconds);
            reply = "mute " + std::to_string(seconds);
            return true;
        }
        reply = "usage: mute SECONDS (0..86400): " + line;
        return false;
    }
    if (cmd == "status" && noMore()) {
        Model.SetClock(SimNow());
        const TSimMonthTable t = Model.MonthTable();
        reply = "status clock " + SimCivilText(SimNow()) + " table " + std::to_string(t.Month0) + " " +
                std::to_string(t.Month1) + " " + std::to_string(t.Count0) + " " + std::to_string(t.Count1) +
                " " + std::to_string(t.Lost) + " preg " + std::to_string(Model.RegulatedPower(0)) + " " +
                std::to_string(Model.RegulatedPower(1));
        return true;
    }
    reply = "unknown control line: " + line;
    return false;
}
