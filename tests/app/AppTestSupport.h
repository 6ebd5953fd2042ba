#pragma once
#include "support/Pump.h"
// A regulator played by the test on a loopback UDP socket, and an engine
// wired to it whose 100 ms ticks the test drives itself, so that a second of
// schedule time costs only the exchanges it causes.
#include "app/Engine.h"
#include "app/Settings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline uint8_t Sum8(const uint8_t* p, size_t n)
{
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s = static_cast<uint8_t>(s + p[i]);
    return s;
}

inline void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, size_t at, uint32_t v)
{
    Put16(b, at, static_cast<uint16_t>(v));
    Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
inline uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

// Reply data blocks as a regulator would fill them.
inline Bytes IdentBlock(const std::string& text)
{
    // Built whole from one string: growing or filling a vector from a short
    // literal trips GCC 12's -Warray-bounds and -Wstringop-overflow (false
    // positives) in Release builds.
    const std::string all = std::string("\x01\x02\x03\x04\x05\x06") + text;
    return Bytes(all.begin(), all.end());
}
inline Bytes InfoBlock(uint8_t meters, uint16_t vt = 500, uint16_t nt = 400)
{
    Bytes b(24, 0);
    Put32(b, 0, (uint32_t(2024 * 12 + 2) << 16) | 1500); // init
    Put32(b, 12, (uint32_t(2024 * 12 + 3) << 16) | 61);  // reset
    b[16] = meters;
    b[17] = 6;
    b[18] = 12;
    b[19] = 0x06;
    Put16(b, 20, vt);
    Put16(b, 22, nt);
    return b;
}
// The month table w0..w4 the measurement blocks carry: month 0 (current),
// month 1, the records of each and the lost ones.
inline Bytes MonthTable(uint16_t month0, uint16_t month1, uint16_t count0, uint16_t count1, uint16_t lost)
{
    Bytes t(10, 0);
    Put16(t, 0, month0);
    Put16(t, 2, month1);
    Put16(t, 4, count0);
    Put16(t, 6, count1);
    Put16(t, 8, lost);
    return t;
}
inline Bytes MeasurementBlock(uint8_t command, const Bytes& table = Bytes(10, 0))
{
    const size_t n = command == 2 ? 35 : command == 5 ? 43 : command == 8 ? 70 : 88;
    Bytes b(n, 0);
    if (command != 5)
        std::copy(table.begin(), table.end(), b.begin() + (command == 2 ? 25 : 60));
    if (command == 2) {
        Put16(b, 7, 321);
        Put16(b, 9, 300);
        b[11] = 2;
        b[12] = 1;
    } else if (command == 8 || command == 10) {
        Put16(b, 6, 654);
        Put16(b, 8, 600);
    }
    return b;
}

struct TRequest {
    uint8_t Address = 0;
    uint8_t Command = 0;
    Bytes Data;
    int Step = 0; // schedule step (or ms on a real timer) at which it arrived
};

// The regulator end of the link: a socket bound to 127.0.0.1 that records
// every well-formed request and answers through Answer.
class TTestRegulator {
public:
    TTestRegulator()
    {
        Fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
    }
    ~TTestRegulator() { ::close(Fd); }
    TTestRegulator(const TTestRegulator&) = delete;
    TTestRegulator& operator=(const TTestRegulator&) = delete;

    // Reads queued requests and answers them. Malformed frames are counted.
    void Serve(int step)
    {
        uint8_t buf[512];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(Fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0)
                return;
            Peer = from;
            if (n < 4 || buf[0] + 2 != n || Sum8(buf + 1, buf[0]) != buf[n - 1]) {
                ++Malformed;
                continue;
            }
            TRequest r{buf[1], buf[2], Bytes(buf + 3, buf + n - 1), step};
            Requests.push_back(r);
            if (Answer)
                if (const std::optional<Bytes> data = Answer(r))
                    Reply(*data, r.Address);
        }
    }
    void Reply(const Bytes& data, uint8_t address = 0)
    {
        Bytes f;
        f.push_back(static_cast<uint8_t>(data.size() + 1));
        f.push_back(static_cast<uint8_t>(address | 0x80));
        f.insert(f.end(), data.begin(), data.end());
        f.push_back(Sum8(f.data() + 1, data.size() + 1));
        ::sendto(Fd, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&Peer), sizeof Peer);
    }
    std::vector<uint8_t> Commands() const
    {
        std::vector<uint8_t> c;
        for (const TRequest& r : Requests)
            c.push_back(r.Command);
        return c;
    }

    int Fd = -1;
    uint16_t Port = 0;
    sockaddr_in Peer{};
    int Malformed = 0;
    std::vector<TRequest> Requests;
    std::function<std::optional<Bytes>(const TRequest&)> Answer;
};

// A regulator that answers everything with blocks of the given generation;
// flags switch single answers off.
struct TRegulatorModel {
    uint8_t Generation = 3;
    uint8_t Meters = 4;
    bool AnswerIdent = true;
    bool AnswerInfo = true;
    bool AnswerAll = true;
    // Command 9 answers as for a record the regulator does not hold (index 0).
    bool NoRecords = false;
    // The archive month table of the measurement blocks.
    Bytes Table = Bytes(10, 0);

    std::optional<Bytes> operator()(const TRequest& r) const
    {
        if (!AnswerAll)
            return std::nullopt;
        switch (r.Command) {
        case 0:
            if (!AnswerIdent)
                return std::nullopt;
            return IdentBlock(Generation == 3 ? "QDR TEST 2002" : Generation == 2 ? "QDR TEST 2000" : "QDR TEST 1999");
        case 1:
            if (!AnswerInfo)
                return std::nullopt;
            return InfoBlock(Meters);
        case 2:
        case 5:
        case 8:
        case 10:
            return MeasurementBlock(r.Command, Table);
        case 3: {
            Bytes b(size_t(r.Data.at(4)) * 6, 0);
            return b;
        }
        case 4: {
            Bytes b(4 + 2 * 15, 0);
            Put32(b, 0, 0x12345678);
            return b;
        }
        case 7:
            return Bytes(r.Data.begin(), r.Data.end());
        case 9: {
            Bytes b(32, 0xFF);
            Put16(b, 0, Get16(r.Data, 0));
            Put16(b, 2, NoRecords ? 0 : Get16(r.Data, 2));
            return b;
        }
        default:
            return std::nullopt;
        }
    }
};

inline TSettings UdpSettings(uint16_t port, uint16_t timeout = 250)
{
    TSettings s;
    s.IP = QStringLiteral("127.0.0.1:%1").arg(port);
    s.Host = QStringLiteral("127.0.0.1");
    s.UdpPort = port;
    s.Timeout = timeout;
    return s;
}

// An engine on a loopback regulator. timerPeriod 0: the test steps the ticks.
class TEngineRig {
public:
    explicit TEngineRig(const std::function<void(TSettings&)>& adjust = {}, uint16_t timerPeriod = 0)
    {
        TSettings s = UdpSettings(Regulator.Port);
        if (adjust)
            adjust(s);
        Engine = std::make_unique<TEngine>(s, timerPeriod, Folder.path());
        Engine->OnStatus = [this](uint8_t code) { Codes.push_back(code); };
        Engine->OnSent = [this](uint8_t) { ++Sent; };
        Regulator.Answer = [this](const TRequest& r) { return Model(r); };
    }
    ~TEngineRig()
    {
        Notifier.reset();
        Engine.reset();
    }
    // For engines on their own timer: the regulator answers from the event
    // loop, also while the engine waits inside one of its own.
    void ServeFromEventLoop()
    {
        Clock.start();
        Notifier = std::make_unique<QSocketNotifier>(Regulator.Fd, QSocketNotifier::Read);
        QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] {
            Regulator.Serve(static_cast<int>(Clock.elapsed()));
        });
    }
    TEngineRig(const TEngineRig&) = delete;
    TEngineRig& operator=(const TEngineRig&) = delete;

    // One 100 ms tick of schedule time; an exchange it starts is run to its end.
    bool Step()
    {
        ++Steps;
        const int sent = Sent;
        const size_t codes = Codes.size();
        Engine->ComBuf->Tick(nullptr);
        if (Sent == sent)
            return true;
        return PumpUntil(
            [&] {
                Regulator.Serve(Steps);
                return Codes.size() > codes && Engine->ComBuf->RootIdle();
            },
            3000);
    }
    bool Run(int steps)
    {
        for (int i = 0; i < steps; ++i)
            if (!Step())
                return false;
        return true;
    }
    // Steps until the engine knows the regulator and its information block.
    bool Identify(int maxSteps = 40)
    {
        for (int i = 0; i < maxSteps; ++i) {
            if (Engine->Generation() != 0 && Engine->Schedule().PollStep() != 0)
                return true;
            if (!Step())
                return false;
        }
        return Engine->Generation() != 0 && Engine->Schedule().PollStep() != 0;
    }
    // Identifies, then steps until a measurement block (and with it the
    // month table) has been decoded.
    bool Prime(int maxSteps = 40)
    {
        if (!Identify(maxSteps))
            return false;
        for (int i = 0; i < maxSteps; ++i) {
            if (Engine->GridAr->IsValid())
                return true;
            if (!Step())
                return false;
        }
        return Engine->GridAr->IsValid();
    }
    // Commands of the requests that arrived after the given index.
    std::vector<uint8_t> CommandsFrom(size_t first) const
    {
        std::vector<uint8_t> c;
        for (size_t i = first; i < Regulator.Requests.size(); ++i)
            c.push_back(Regulator.Requests[i].Command);
        return c;
    }

    TTestRegulator Regulator;
    TRegulatorModel Model;
    // The engine's archive folder, removed with the rig.
    QTemporaryDir Folder;
    std::unique_ptr<TEngine> Engine;
    std::vector<uint8_t> Codes;
    std::unique_ptr<QSocketNotifier> Notifier;
    QElapsedTimer Clock;
    int Sent = 0;
    int Steps = 0;
};
