// The metrics endpoint against what the network may send it: raw requests
// to an endpoint served by this test's own event loop (the protocol, the
// budgets, the retried port), and a crowd of trickling and body-streaming
// clients against the outputs in a process of their own, timing honest
// scrapes meanwhile and reading that process's resident memory.
#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"
#include "support/Broker.h"
#include "support/Pump.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"
#include "telemetry/MetricsServer.h"
#include "telemetry/TelemetryModel.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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
class Served {
public:
    explicit Served(const QString& site)
    {
        // AddressSanitizer keeps freed memory aside (256 MB by default),
        // which a churn of connections would show as growth.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        env.insert(QStringLiteral("ASAN_OPTIONS"), asan + (asan.isEmpty() ? "" : ":") + "quarantine_size_mb=1");
        Proc.setProcessEnvironment(env);
        Proc.setStandardErrorFile(site + QStringLiteral("/driver.log"));
        Proc.start(QStringLiteral(TELEMETRY_DRIVER_PATH), {site});
        QByteArray out;
        for (int i = 0; Proc.waitForStarted(5000) && i < 100 && !out.contains("READY"); ++i) {
            Proc.waitForReadyRead(100);
            out += Proc.readAllStandardOutput();
        }
        Ready = out.contains("READY");
        LogFile = site + QStringLiteral("/driver.log");
    }
    ~Served()
    {
        if (Proc.processId() > 0)
            ::kill(pid_t(Proc.processId()), SIGTERM);
        if (!Proc.waitForFinished(5000)) {
            Proc.kill();
            Proc.waitForFinished(5000);
        }
    }
    qint64 ResidentKb() const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(Proc.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        return -1;
    }
    QByteArray Log() const
    {
        QFile f(LogFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QProcess Proc;
    QString LogFile;
    bool Ready = false;
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
        EXPECT_TRUE(s.Page.contains("qdr_link_up{")) << s.Page.toStdString();
        EXPECT_LT(s.Ms, 1000);
    }
    std::printf("[ memory ] resident %lld kB before, at most %lld kB under load; %lld MB streamed, %d trickling connections\n",
                static_cast<long long>(before), static_cast<long long>(peak), static_cast<long long>(streamed >> 20), trickled);
    EXPECT_LT(peak - before, 5 * 1024);
    // The crowd was cut and came back, and the log said so.
    EXPECT_GT(trickled, 200);
    EXPECT_TRUE(served.Log().contains("metrics-crowded")) << served.Log().toStdString();
}
