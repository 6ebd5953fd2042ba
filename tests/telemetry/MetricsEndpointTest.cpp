// The metrics endpoint against what the network may send it: raw requests
// to an endpoint served by this test's own event loop (the protocol, the
// budgets, the retried port), and a crowd of trickling and body-streaming
// clients against the outputs in a process of their own, timing honest
// scrapes meanwhile and reading that process's resident memory; and the
// page itself against the simulator's own model: series that a rename
// leaves alone, the site apart from the meters.
#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"
#include "e2e/ExpectedArchive.h"
#include "support/Broker.h"
#include "support/Pump.h"
#include "support/ServiceChild.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"
#include "telemetry/MetricsServer.h"
#include "telemetry/Telemetry.h"
#include "telemetry/TelemetryModel.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString Version = QStringLiteral("test");

TSettings EndpointSettings(const SiteDir& site)
{
    TMIniFile ini(site.Path(QStringLiteral("qdrwin.ini")));
    return TSettings::Read(ini);
}

// An endpoint on an engine that polls nothing, its link on a regulator that
// would not answer anyway: the page stays what an engine that has not heard
// from its regulator shows.
struct Endpoint {
    explicit Endpoint(const QString& address = QStringLiteral("127.0.0.1"), uint16_t port = FreePort())
        : Site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:%1\n[METRIKY]\nListen=%2:%3\n").arg(Silent.Port).arg(address).arg(port))
        , Settings(EndpointSettings(Site))
        , Engine(Settings, 0)
        , Model(Engine, Settings)
        , Server(Model, Settings.Metrics, Version)
    {
        Server.OnLog = [this](const TLogLine& line) { Log << line.Line(); };
    }
    QStringList Lines(const QString& event) const { return Log.filter(QRegularExpression(QStringLiteral("^%1( |$)").arg(event))); }

    SilentPeer Silent;
    SiteDir Site;
    TSettings Settings;
    TEngine Engine;
    TTelemetryModel Model;
    TMetricsServer Server;
    QStringList Log;
};

// One answer at the start of bytes: Status 0 while it is not whole. A HEAD's
// answer has no body whatever its Content-Length says.
struct Answer {
    int Status = 0;
    QByteArray Head;
    QByteArray Body;
    qsizetype Size = 0;
};

Answer First(const QByteArray& bytes, bool head = false)
{
    Answer a;
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0 || !bytes.startsWith("HTTP/1.1 "))
        return a;
    a.Head = bytes.left(end + 2);
    const QByteArray lower = a.Head.toLower();
    const qsizetype at = lower.indexOf("\r\ncontent-length:");
    const qsizetype length = at < 0 ? 0 : lower.mid(at + 17, lower.indexOf('\r', at + 2) - at - 17).trimmed().toLongLong();
    const qsizetype body = head ? 0 : length;
    if (bytes.size() < end + 4 + body)
        return a;
    a.Status = bytes.mid(9, 3).toInt();
    a.Body = bytes.mid(end + 4, body);
    a.Size = end + 4 + body;
    return a;
}

// A client of an endpoint served by this process: everything waits by
// serving the event loop, which serves the endpoint too.
class Peer {
public:
    explicit Peer(uint16_t port)
    {
        Socket.connectToHost(QHostAddress::LocalHost, port);
        PumpUntil([&] { return Socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    void Send(const QByteArray& bytes) { Socket.write(bytes); }
    // Until done(what came) holds or the endpoint closes; false after ms.
    bool Until(const std::function<bool(const QByteArray&)>& done, int ms)
    {
        return PumpUntil(
            [&] {
                In += Socket.readAll();
                return done(In) || Closed();
            },
            ms);
    }
    // The next whole answer, taken off what came.
    Answer Next(bool head = false)
    {
        Until([&](const QByteArray& in) { return First(in, head).Status != 0; }, 10000);
        const Answer a = First(In, head);
        In.remove(0, a.Size);
        return a;
    }
    bool Closed()
    {
        In += Socket.readAll();
        return Socket.state() == QAbstractSocket::UnconnectedState;
    }

    QTcpSocket Socket;
    QByteArray In;
};

// What POSIX gives a client without an event loop: the crowd and the
// scraper run in this process while the endpoint runs in another.
int Connect(uint16_t port, bool blocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One scrape as Prometheus makes it, from connecting to the last byte.
struct Scrape {
    int Status = 0;
    QByteArray Page;
    qint64 Ms = -1;
};

Scrape ScrapeOnce(uint16_t port)
{
    Scrape s;
    const auto start = std::chrono::steady_clock::now();
    const int fd = Connect(port, true);
    if (fd < 0)
        return s;
    const timeval limit{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const QByteArray request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\nConnection: close\r\n\r\n";
    QByteArray in;
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buffer[16384];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            in.append(buffer, n);
    }
    ::close(fd);
    s.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    const Answer a = First(in);
    s.Status = a.Status;
    s.Page = a.Body;
    return s;
}

// The outputs of a site in a process of their own, as the service runs
// them, so that its resident memory is theirs alone.
QProcessEnvironment SmallQuarantine()
{
    // AddressSanitizer keeps freed memory aside (256 MB by default),
    // which a churn of connections would show as growth.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), asan + (asan.isEmpty() ? "" : ":") + "quarantine_size_mb=1");
    return env;
}

struct Served : ServiceChild {
    explicit Served(const QString& site)
        : ServiceChild(QStringLiteral(TELEMETRY_DRIVER_PATH), {site}, site + QStringLiteral("/driver.log"), "READY", SmallQuarantine())
    {
    }
};

// A client that never finishes its request: a byte a second of a header
// line without end, or a body or a header of 4 KiB every 20 ms. Whatever
// closes it, it comes back.
struct Pest {
    enum Kind { Trickle, Body, Header } What;
    int Fd = -1;
    bool Opened = false;
    qint64 Next = 0;
    int Connections = 0;

    QByteArray Opening() const
    {
        switch (What) {
        case Trickle: return "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        case Body: return "POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000000\r\n\r\n";
        case Header: return "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        }
        return {};
    }
    QByteArray Piece() const
    {
        if (What == Trickle)
            return "a";
        return What == Body ? QByteArray(4096, 'b') : "X-Pad: " + QByteArray(4087, 'h') + "\r\n";
    }
    int Pace() const { return What == Trickle ? 1000 : 20; }

    void Close()
    {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
    // One turn at time now (ms); returns the bytes it got out.
    qint64 Turn(uint16_t port, qint64 now)
    {
        char sink[4096];
        if (Fd >= 0) {
            const ssize_t got = ::recv(Fd, sink, sizeof sink, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != ENOTCONN))
                Close();
        }
        if (now < Next)
            return 0;
        Next = now + Pace();
        if (Fd < 0) {
            Fd = Connect(port, false);
            Opened = false;
            ++Connections;
            return 0;
        }
        const QByteArray bytes = Opened ? Piece() : Opening();
        const ssize_t sent = ::send(Fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0)
            Opened = true;
        else if (errno != EAGAIN && errno != ENOTCONN)
            Close();
        return std::max<ssize_t>(sent, 0);
    }
};

// The samples of a page, "name{labels}" to value.
struct TSamples : std::map<QByteArray, QByteArray> {
    std::string operator()(const QByteArray& series) const
    {
        const auto it = find(series);
        return it == end() ? "absent" : it->second.toStdString();
    }
};

TSamples Samples(const QByteArray& page)
{
    TSamples out;
    for (const QByteArray& line : page.split('\n'))
        if (!line.isEmpty() && !line.startsWith('#'))
            out[line.left(line.lastIndexOf(' '))] = line.mid(line.lastIndexOf(' ') + 1);
    return out;
}

// What promtool check metrics says of a page: nothing when it is clean.
QByteArray Promtool(const QByteArray& page)
{
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    promtool.write(page);
    promtool.closeWriteChannel();
    if (!promtool.waitForFinished(30000))
        return "promtool did not finish";
    return promtool.readAll() + (promtool.exitCode() == 0 ? QByteArray() : QByteArrayLiteral("exit code not 0"));
}

// The highest record of measurement 00 in the simulator's current month
// (the first of equal ones) and when its interval began.
std::pair<uint16_t, int64_t> MonthPeak(TSimRegulator& r, const QTimeZone& zone)
{
    const uint16_t month = r.MonthTable().Month0;
    std::pair<uint16_t, int64_t> peak{0, -1};
    for (uint16_t i = 1; i <= r.NumberedRecords(month); ++i) {
        const std::optional<TSimBytes> rec = r.Record(month, i);
        const uint16_t v = rec ? uint16_t((*rec)[2] | (*rec)[3] << 8) : 0xFFFF;
        if (v == 0xFFFF || (peak.second >= 0 && v <= peak.first))
            continue;
        // The record's start: minutes into the month from day 0, local time.
        const int minutes = (*rec)[0] | (*rec)[1] << 8;
        const QDate day(month / 12, month % 12 + 1, minutes / 1440);
        peak = {v, QDateTime(day, QTime(minutes % 1440 / 60, minutes % 60), zone).toSecsSinceEpoch()};
    }
    return peak;
}
} // namespace

TEST(MetricsEndpoint, GetAndHeadOfTheTwoPathsOnOneConnectionAndCloseAndHttp10Honoured)
{
    Endpoint e;
    ASSERT_TRUE(e.Server.Start()) << e.Server.Problem.toStdString();
    const QByteArray page = RenderMetrics(e.Model, Version);
    {
        // Pipelined on one keep-alive connection: every answer in order, a
        // body within the budget read and thrown away.
        Peer p(e.Server.Port());
        p.Send("HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
               "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
               "GET /?from=browser HTTP/1.1\r\n\r\n"
               "GET /metrics/x HTTP/1.1\r\n\r\n"
               "POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
               "HEAD /nothing HTTP/1.1\r\n\r\n"
               "GET /metrics HTTP/1.1\r\n\r\n");
        const Answer head = p.Next(true);
        EXPECT_EQ(head.Status, 200) << head.Head.toStdString();
        EXPECT_TRUE(head.Head.contains("\r\nContent-Length: " + QByteArray::number(page.size()) + "\r\n"))
            << head.Head.toStdString();
        EXPECT_TRUE(head.Head.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
        const Answer get = p.Next();
        EXPECT_EQ(get.Status, 200);
        EXPECT_EQ(get.Body, page) << page.toStdString() << "---\n" << get.Body.toStdString();
        const Answer root = p.Next();
        EXPECT_EQ(root.Status, 200);
        EXPECT_TRUE(root.Body.contains("/metrics")) << root.Body.toStdString();
        EXPECT_EQ(p.Next().Status, 404);
        const Answer post = p.Next();
        EXPECT_EQ(post.Status, 405);
        EXPECT_TRUE(post.Head.contains("\r\nAllow: GET, HEAD\r\n")) << post.Head.toStdString();
        EXPECT_EQ(p.Next(true).Status, 404);
        EXPECT_EQ(p.Next().Body, page);
        EXPECT_FALSE(p.Closed());
    }
    // Asked to close, or HTTP/1.0 without keep-alive: the answer and then
    // the end at once, not the idle time later.
    for (const QByteArray& request : {QByteArray("GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n"),
                                     QByteArray("GET /metrics HTTP/1.0\r\n\r\n")}) {
        Peer p(e.Server.Port());
        QElapsedTimer t;
        t.start();
        p.Send(request);
        const Answer a = p.Next();
        EXPECT_EQ(a.Body, page) << request.toStdString();
        EXPECT_TRUE(a.Head.contains("\r\nConnection: close\r\n"));
        EXPECT_TRUE(p.Until([](const QByteArray&) { return false; }, 10000) || p.Closed());
        EXPECT_LT(t.elapsed(), 2000) << request.toStdString();
    }
}

TEST(MetricsEndpoint, ARequestEndsAt16KiBInAllAndFiveSecondsFromItsFirstByte)
{
    Endpoint e;
    ASSERT_TRUE(e.Server.Start());
    {
        // A body beyond the budget is refused before it comes.
        Peer p(e.Server.Port());
        p.Send("POST /metrics HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n");
        EXPECT_EQ(p.Next().Status, 413);
        EXPECT_TRUE(p.Until([](const QByteArray&) { return false; }, 3000) || p.Closed());
    }
    {
        // A head that grows a kilobyte at a time, each read small: cut once
        // the request as a whole passes 16 KiB.
        Peer p(e.Server.Port());
        p.Send("GET /metrics HTTP/1.1\r\n");
        qint64 sent = 0;
        while (!p.Closed() && sent < 64 * 1024) {
            p.Send("X-Pad: " + QByteArray(1015, 'h') + "\r\n");
            sent += 1024;
            p.Until([](const QByteArray&) { return false; }, 20);
        }
        EXPECT_TRUE(p.Closed());
        EXPECT_LE(sent, 24 * 1024);
        EXPECT_EQ(First(p.In).Status, 431) << p.In.toStdString();
    }
    {
        // A byte every 250 ms: cut 5 s after the first, however busy it is.
        Peer p(e.Server.Port());
        QElapsedTimer t;
        t.start();
        p.Send("GET /metrics HTTP/1.1\r\nX-Slow: ");
        while (!p.Closed() && t.elapsed() < 12000) {
            p.Until([](const QByteArray&) { return false; }, 250);
            p.Send("a");
        }
        EXPECT_TRUE(p.Closed());
        EXPECT_GE(t.elapsed(), TMetricsServer::RequestMs - 100);
        EXPECT_LE(t.elapsed(), TMetricsServer::RequestMs + 2000);
    }
    // Nothing of theirs is left behind.
    EXPECT_TRUE(PumpUntil([&] { return e.Server.Connections() == 0; }, 3000)) << e.Server.Connections();
}

TEST(MetricsEndpoint, APortTakenIsTriedAgainUntilItIsFreeAndAllInterfacesAreSaid)
{
    const uint16_t port = FreePort();
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, port));
    {
        Endpoint e(QStringLiteral("127.0.0.1"), port);
        e.Server.RetryMs = 300;
        EXPECT_FALSE(e.Server.Start());
        Pump(1200);
        EXPECT_FALSE(e.Server.Listening());
        EXPECT_EQ(e.Lines(QStringLiteral("metrics-failed")).size(), 1) << e.Log.join('\n').toStdString();
        holder.close();
        ASSERT_TRUE(PumpUntil([&] { return e.Server.Listening(); }, 3000)) << e.Log.join('\n').toStdString();
        const QStringList listening = e.Lines(QStringLiteral("metrics-listening"));
        ASSERT_EQ(listening.size(), 1) << e.Log.join('\n').toStdString();
        EXPECT_FALSE(listening[0].contains(QStringLiteral("exposed"))) << listening[0].toStdString();
        Peer p(port);
        p.Send("GET /metrics HTTP/1.1\r\n\r\n");
        EXPECT_EQ(p.Next().Status, 200);
        Pump(700);
        EXPECT_EQ(e.Log.size(), 2) << "nothing more once it listens\n" << e.Log.join('\n').toStdString();
    }
    // Every interface is said; [::] takes IPv4 as well.
    for (const char* address : {"0.0.0.0", "[::]"}) {
        Endpoint everywhere{QString::fromLatin1(address)};
        ASSERT_TRUE(everywhere.Server.Start()) << everywhere.Server.Problem.toStdString();
        EXPECT_EQ(everywhere.Log.join('\n').toStdString(),
                  QStringLiteral("metrics-listening listen=%1 exposed=all-interfaces").arg(everywhere.Settings.Metrics.Listen).toStdString());
        Peer p(everywhere.Server.Port());
        p.Send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(p.Next().Status, 200) << address;
    }
}

TEST(MetricsEndpoint, AHundredTricklersAndFourStreamsNeitherKeepScrapesOutNorGrowTheService)
{
    SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), QStringLiteral("3"),
                    QStringLiteral("--meters"), QStringLiteral("4"), QStringLiteral("--now"), QStringLiteral("2026-12-01T03:07"),
                    QStringLiteral("--lost"), QStringLiteral("2870"), QStringLiteral("--speed"), QStringLiteral("0")});
    ASSERT_TRUE(sim.Ready);
    const uint16_t port = FreePort();
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[METRIKY]\nListen=127.0.0.1:%2\n").arg(sim.Udp).arg(port));
    Served served(site.Path());
    ASSERT_TRUE(served.Ready) << served.Log().toStdString();
    // Settled: the archive filed, the page whole.
    QElapsedTimer t;
    t.start();
    while (!ScrapeOnce(port).Page.contains("qdr_archive_records{") && t.elapsed() < 60000)
        QThread::msleep(200);
    ASSERT_LT(t.elapsed(), 60000) << served.Log().toStdString();
    QThread::sleep(2);
    const qint64 before = served.ResidentKb();

    std::vector<Pest> pests;
    for (int i = 0; i < 100; ++i)
        pests.push_back({Pest::Trickle});
    for (const Pest::Kind kind : {Pest::Body, Pest::Body, Pest::Header, Pest::Header})
        pests.push_back({kind});
    constexpr int Seconds = 30, ScrapeEveryMs = 5000;
    std::atomic<bool> done{false};
    std::vector<Scrape> scrapes;
    std::thread scraper([&] {
        for (int n = 1; n * ScrapeEveryMs <= Seconds * 1000; ++n) {
            std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(ScrapeEveryMs));
            scrapes.push_back(ScrapeOnce(port));
        }
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    qint64 streamed = 0, peak = before;
    for (qint64 lastRead = 0; !done; QThread::msleep(5)) {
        for (Pest& pest : pests)
            streamed += pest.Turn(port, clock.elapsed()) * (pest.What != Pest::Trickle);
        if (clock.elapsed() - lastRead >= 1000) {
            lastRead = clock.elapsed();
            peak = std::max(peak, served.ResidentKb());
        }
    }
    scraper.join();
    peak = std::max(peak, served.ResidentKb());
    int trickled = 0;
    for (Pest& pest : pests) {
        trickled += pest.What == Pest::Trickle ? pest.Connections : 0;
        pest.Close();
    }

    ASSERT_EQ(int(scrapes.size()), Seconds * 1000 / ScrapeEveryMs);
    for (const Scrape& s : scrapes) {
        std::printf("[ timing ] a scrape under load took %lld ms\n", static_cast<long long>(s.Ms));
        EXPECT_EQ(s.Status, 200);
        EXPECT_TRUE(s.Page.contains("\nqdr_link_up ")) << s.Page.toStdString();
        EXPECT_LT(s.Ms, 1000);
    }
    std::printf("[ memory ] resident %lld kB before, at most %lld kB under load; %lld MB streamed, %d trickling connections\n",
                static_cast<long long>(before), static_cast<long long>(peak), static_cast<long long>(streamed >> 20), trickled);
    EXPECT_LT(peak - before, 5 * 1024);
    // The crowd was cut and came back, and the log said so.
    EXPECT_GT(trickled, 200);
    EXPECT_TRUE(served.Log().contains("metrics-crowded")) << served.Log().toStdString();
}

TEST(MetricsEndpoint, TheLimitInDangerWhileAlertsFollowAndMqttWhereItIsConfigured)
{
    Endpoint e;
    TSamples page = Samples(RenderMetrics(e.Model, Version));
    EXPECT_FALSE(page.count("qdr_limit_danger"));
    EXPECT_FALSE(page.count("qdr_mqtt_connected")) << "no MQTT configured";
    for (const bool danger : {true, false}) {
        e.Model.LimitDanger = danger;
        EXPECT_EQ(Samples(RenderMetrics(e.Model, Version))("qdr_limit_danger"), danger ? "1" : "0");
    }
    // Configured, its broker away.
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:%1\n[MQTT]\nHost=127.0.0.1\nPort=%2\nNode=zavod\n")
                     .arg(e.Silent.Port)
                     .arg(FreePort()));
    const TSettings settings = EndpointSettings(site);
    TEngine engine(settings, 0);
    const std::unique_ptr<TTelemetry> telemetry = StartTelemetry(engine, settings);
    page = Samples(RenderMetrics(telemetry->Model(), Version));
    EXPECT_EQ(page("qdr_mqtt_connected"), "0");
}

TEST(MetricsEndpoint, WhatTheSimulatorSaysWithTheSiteApartAndARenameThatTouchesOnlyTheChannelInfo)
{
    // Meter 2 measures reactive power: the active meters' families are
    // whole on both sides of it. The night's regulated power is low enough
    // for the regulator to keep appliances 1 to 3 off.
    const QStringList args{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), QStringLiteral("3"),
                           QStringLiteral("--meters"), QStringLiteral("4"), QStringLiteral("--kinds"), QStringLiteral("0x2"),
                           QStringLiteral("--preg"), QStringLiteral("450,55"), QStringLiteral("--now"), QStringLiteral("2026-12-01T03:07"),
                           QStringLiteral("--lost"), QStringLiteral("2870"), QStringLiteral("--seed"), QStringLiteral("3"),
                           QStringLiteral("--speed"), QStringLiteral("0")};
    TSimMirror mirror(args);
    ASSERT_TRUE(mirror.Valid) << mirror.Error;
    SimProcess sim(args);
    ASSERT_TRUE(sim.Ready);
    Broker broker;
    ASSERT_TRUE(broker.Running);
    const uint16_t port = FreePort();
    const auto ini = [&](const QString& meter) {
        return QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[INE]\nMiesto=Závod Test\nTimeZone=Europe/Bratislava\n[ELEKTROMERY]\nEM01=%2\n"
                              "[SPOTREBICE]\nRO01=Pec\n[MQTT]\nHost=127.0.0.1\nPort=%3\nNode=zavod\n[METRIKY]\nListen=127.0.0.1:%4\n")
            .arg(sim.Udp, meter)
            .arg(broker.Port)
            .arg(port);
    };
    SiteDir site(ini(QStringLiteral("Kompresory")));
    Served served(site.Path());
    ASSERT_TRUE(served.Ready) << served.Log().toStdString();
    const auto settled = [&](const QByteArray& wanted) {
        QByteArray page;
        QElapsedTimer t;
        t.start();
        while (!(page = ScrapeOnce(port).Page).contains(wanted) && t.elapsed() < 60000)
            QThread::msleep(200);
        return page;
    };
    const QByteArray page = settled("\nqdr_month_peak_watts ");
    ASSERT_TRUE(page.contains("\nqdr_mqtt_connected 1\n")) << page.toStdString() << served.Log().toStdString();
    TSimRegulator& r = mirror.Regulator();
    const int64_t now = r.GetClock();
    TSamples s = Samples(page);
    const auto watts = [](double kilo) { return QByteArray::number(kilo * 1000).toStdString(); };

    // The site on its info alone, names on the info families alone, and
    // measurement 00 apart from the meters.
    for (const auto& [key, value] : s) {
        EXPECT_EQ(key.contains("site="), key.startsWith("qdr_info{")) << key.toStdString();
        EXPECT_EQ(key.contains("name="), key.contains("_info{")) << key.toStdString();
        EXPECT_TRUE(!key.contains("channel=\"00\"") || key.startsWith("qdr_channel_info{")) << key.toStdString();
    }
    const QByteArray info = "qdr_info{site=\"zavod\",name=\"Závod Test\",";
    EXPECT_EQ(std::count_if(s.begin(), s.end(), [&](const auto& sample) { return sample.first.startsWith(info); }), 1)
        << page.toStdString();
    EXPECT_EQ(s("qdr_channel_info{channel=\"00\",name=\"Hlavné meranie\",kind=\"total\"}"), "1");
    EXPECT_EQ(s("qdr_channel_info{channel=\"01\",name=\"Kompresory\",kind=\"active\"}"), "1");
    EXPECT_EQ(s("qdr_channel_info{channel=\"02\",name=\"Elektromer 2\",kind=\"reactive\"}"), "1");
    EXPECT_EQ(s("qdr_site_power_watts"), watts(r.SitePower(now)));
    EXPECT_EQ(s("qdr_site_interval_average_watts"), watts(r.SiteAverage(now)));
    EXPECT_EQ(s("qdr_power_watts{channel=\"03\"}"), watts(r.MeterPower(3, now)));
    EXPECT_EQ(s("qdr_interval_average_watts{channel=\"01\"}"), watts(r.MeterAverage(1, now)));
    EXPECT_EQ(s("qdr_reactive_power_var{channel=\"02\"}"), watts(r.MeterPower(2, now)));
    EXPECT_EQ(s("qdr_interval_average_var{channel=\"02\"}"), watts(r.MeterAverage(2, now)));

    // What a dashboard needs beside.
    EXPECT_EQ(s("qdr_interval_length_seconds"), "900");
    EXPECT_EQ(s("qdr_interval_elapsed_seconds"), "420");
    const auto [peak, peakStart] = MonthPeak(r, QTimeZone("Europe/Bratislava"));
    EXPECT_EQ(s("qdr_month_peak_watts"), watts(peak));
    EXPECT_EQ(s("qdr_month_peak_start_timestamp_seconds"), std::to_string(peakStart));
    const int tariff = r.Tariff(now);
    EXPECT_EQ(s("qdr_regulated_power_in_force_watts"), tariff == 0 ? "450000" : "55000");
    EXPECT_EQ(s("qdr_tariff{tariff=\"VT\"}"), tariff == 0 ? "1" : "0");
    EXPECT_EQ(s("qdr_tariff{tariff=\"NT\"}"), tariff == 1 ? "1" : "0");
    EXPECT_EQ(s("qdr_appliance_info{appliance=\"01\",name=\"Pec\"}"), "1");
    EXPECT_EQ(s("qdr_appliance_info{appliance=\"08\",name=\"Spotrebič 8\"}"), "1");
    ASSERT_EQ(r.Stage(now), 3);
    for (int n = 1; n <= TSimRegulator::kAppliances; ++n)
        EXPECT_EQ(s(QStringLiteral("qdr_appliance_disconnected{appliance=\"%1\"}").arg(n, 2, 10, QLatin1Char('0')).toUtf8()),
                  r.Stage(now) >= n ? "1" : "0")
            << n;
    EXPECT_EQ(Promtool(page), QByteArray());

    // A meter renamed: the same series, but for the channel's info.
    site.WriteIni(ini(QStringLiteral("Vzduch")));
    ::kill(pid_t(served.Proc.processId()), SIGHUP);
    const TSamples renamed = Samples(settled("name=\"Vzduch\""));
    const auto series = [](const std::map<QByteArray, QByteArray>& samples) {
        std::set<std::string> out;
        for (const auto& sample : samples)
            if (!sample.first.startsWith("qdr_channel_info{channel=\"01\""))
                out.insert(sample.first.toStdString());
        return out;
    };
    EXPECT_EQ(series(renamed), series(s));
    EXPECT_EQ(renamed.count("qdr_channel_info{channel=\"01\",name=\"Vzduch\",kind=\"active\"}"), 1u);
    EXPECT_EQ(renamed.count("qdr_channel_info{channel=\"01\",name=\"Kompresory\",kind=\"active\"}"), 0u);

    // The interval closes: each measurement's average and its start.
    sim.Command("advance 15");
    mirror.Advance(15);
    s = Samples(settled("\nqdr_last_interval_start_timestamp_seconds "));
    EXPECT_EQ(s("qdr_last_interval_start_timestamp_seconds"),
              std::to_string(QDateTime::fromString(QStringLiteral("2026-12-01T03:00:00+01:00"), Qt::ISODate).toSecsSinceEpoch()));
    EXPECT_EQ(s("qdr_site_last_interval_average_watts"), watts(r.SiteAverage(now)));
    EXPECT_EQ(s("qdr_last_interval_average_watts{channel=\"04\"}"), watts(r.MeterAverage(4, now)));
    EXPECT_EQ(s("qdr_last_interval_average_var{channel=\"02\"}"), watts(r.MeterAverage(2, now)));
}
