// qdrtool run and its MQTT publisher as a site meets them: a broker that
// takes every connection and drops it at once (the service must still stop
// and reload within 2 s), and the names the publisher goes by.
#include "support/Broker.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A listening loopback socket; port 0 when it could not be made.
int Listen(int backlog, uint16_t& port, sockaddr_in& a)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, backlog) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    return fd;
}

// A "broker" on loopback that accepts every connection and closes it at
// once, counting them.
class DroppingBroker {
public:
    DroppingBroker()
    {
        sockaddr_in a{};
        Fd = Listen(16, Port, a);
        if (Port == 0)
            return;
        Thread = std::thread([this] {
            while (!Stop) {
                pollfd p{Fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                const int c = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    ::close(c);
                    ++Accepted;
                }
            }
        });
    }
    ~DroppingBroker()
    {
        Stop = true;
        if (Thread.joinable())
            Thread.join();
        ::close(Fd);
    }
    DroppingBroker(const DroppingBroker&) = delete;
    DroppingBroker& operator=(const DroppingBroker&) = delete;

    uint16_t Port = 0;
    std::atomic<int> Accepted{0};

private:
    int Fd = -1;
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

// A "broker" that never answers: its queue of connections waiting to be
// accepted is full, so a connection to it stays in its first step until
// the system gives up (minutes).
class SilentBroker {
public:
    SilentBroker()
    {
        sockaddr_in a{};
        Fd = Listen(0, Port, a);
        if (Port == 0)
            return;
        for (int& f : Fillers) {
            f = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
    }
    ~SilentBroker()
    {
        for (const int f : Fillers)
            ::close(f);
        ::close(Fd);
    }
    SilentBroker(const SilentBroker&) = delete;
    SilentBroker& operator=(const SilentBroker&) = delete;

    uint16_t Port = 0;

private:
    int Fd = -1;
    int Fillers[3] = {-1, -1, -1};
};

// A broker of a few lines speaking MQTT 5 (or, old, only 3.1.1), as far as
// a client needs: it takes the connection and publications, and refuses
// every subscription (which mosquitto's access list never does: it takes
// the subscription and delivers nothing).
class RefusingBroker {
public:
    explicit RefusingBroker(bool old)
        : Old(old)
    {
        sockaddr_in a{};
        Fd = Listen(4, Port, a);
        if (Port == 0)
            return;
        Thread = std::thread([this] { Serve(); });
    }
    ~RefusingBroker()
    {
        Stop = true;
        if (Thread.joinable())
            Thread.join();
        ::close(Fd);
    }
    RefusingBroker(const RefusingBroker&) = delete;
    RefusingBroker& operator=(const RefusingBroker&) = delete;

    uint16_t Port = 0;
    std::atomic<int> Refused{0};
    std::atomic<int> Connections{0};

private:
    void Serve()
    {
        int client = -1;
        std::string in;
        while (!Stop) {
            pollfd p{client >= 0 ? client : Fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (client < 0) {
                client = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
                in.clear();
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(client, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(client);
                client = -1;
                continue;
            }
            in.append(buffer, size_t(n));
            // Whole packets: the type, the remaining length (7 bits a byte).
            for (;;) {
                size_t at = 1;
                size_t length = 0;
                bool whole = false;
                for (int shift = 0; at < in.size() && shift < 28 && !whole; shift += 7) {
                    const auto b = uint8_t(in[at++]);
                    length |= size_t(b & 0x7F) << shift;
                    whole = !(b & 0x80);
                }
                if (!whole || in.size() < at + length)
                    break;
                const auto type = uint8_t(in[0]);
                // CONNECT's protocol level follows "\0\4MQTT".
                const bool five = type >> 4 == 1 && length > 6 && in[at + 6] == 5;
                std::string reply;
                if (type >> 4 == 1 && Old && five) {
                    // "Unacceptable protocol version", as 3.1.1 says it.
                    reply = std::string("\x20\x02\x00\x01", 4);
                } else if (type >> 4 == 1) {
                    ++Connections;
                    reply = five ? std::string("\x20\x03\x00\x00\x00", 5) : std::string("\x20\x02\x00\x00", 4);
                } else if (type >> 4 == 8) {
                    reply = std::string(Old ? "\x90\x03" : "\x90\x04", 2) + in.substr(at, 2) +
                            (Old ? std::string("\x80", 1) : std::string("\x00\x87", 2));
                    ++Refused;
                } else if (type >> 4 == 3 && (type & 0x06) != 0) {
                    const size_t topic = size_t(uint8_t(in[at])) << 8 | uint8_t(in[at + 1]);
                    reply = std::string("\x40\x02", 2) + in.substr(at + 2 + topic, 2);
                } else if (type >> 4 == 12) {
                    reply = std::string("\xD0\x00", 2);
                }
                if (!reply.empty() && ::write(client, reply.data(), reply.size()) < 0)
                    break;
                in.erase(0, at + length);
            }
        }
        if (client >= 0)
            ::close(client);
    }

    bool Old = false;
    int Fd = -1;
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

// qdrtool run with its standard error read as it comes.
class Service {
public:
    Service(const QString& cwd, const QStringList& args)
    {
        P.setWorkingDirectory(cwd);
        P.start(QStringLiteral(QDRTOOL_PATH), QStringList{QStringLiteral("run")} + args);
        P.waitForStarted(5000);
    }
    ~Service()
    {
        if (P.state() != QProcess::NotRunning) {
            P.kill();
            P.waitForFinished(5000);
        }
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const QString& Err()
    {
        Text += QString::fromUtf8(P.readAllStandardError());
        return Text;
    }
    // Waits at most ms for a line matching pattern after the first 'from'
    // characters of the log.
    bool AwaitLine(const QString& pattern, int ms, qsizetype from = 0)
    {
        const QRegularExpression re(QStringLiteral("(^|\n)") + pattern, QRegularExpression::MultilineOption);
        QElapsedTimer t;
        t.start();
        while (!re.match(Err(), from).hasMatch()) {
            if (t.elapsed() > ms || P.state() == QProcess::NotRunning)
                return re.match(Err(), from).hasMatch();
            P.waitForReadyRead(50);
        }
        return true;
    }
    void Signal(int s) { ::kill(pid_t(P.processId()), s); }
    // The exit status; -1 when it did not end within ms.
    int Finish(int ms)
    {
        if (!P.waitForFinished(ms))
            return -1;
        Err();
        return P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -2;
    }

    QProcess P;
    QString Text;
};

QStringList Sim()
{
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), QStringLiteral("3"),
            QStringLiteral("--now"), QStringLiteral("2026-11-01T03:00"), QStringLiteral("--speed"), QStringLiteral("0"),
            QStringLiteral("--lost"), QStringLiteral("2950")};
}

QString Ini(const SimProcess& sim, uint16_t brokerPort, const QString& more = {})
{
    return QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[MQTT]\nHost=127.0.0.1\nPort=%2\n").arg(sim.Udp).arg(brokerPort) + more;
}

} // namespace

TEST(RunMqtt, StopsAndReloadsWithinTwoSecondsWhileTheBrokerDropsEveryConnectionOrNeverAnswers)
{
    REQUIRE_TOOL();
    SimProcess sim(Sim());
    ASSERT_TRUE(sim.Ready);
    DroppingBroker first;
    DroppingBroker second;
    SilentBroker silent;
    ASSERT_TRUE(first.Port != 0 && second.Port != 0 && silent.Port != 0);
    SiteDir site(Ini(sim, first.Port));
    Service run(site.Path(), {});
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up\n"), 15000)) << run.Err().toStdString();
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("mqtt-unreachable broker=127.0.0.1:%1 ").arg(first.Port), 15000))
        << run.Err().toStdString();
    // Tried again (after 1 s, then 2 s): the client is between attempts or
    // in one.
    QElapsedTimer t;
    t.start();
    while (first.Accepted < 3 && t.elapsed() < 20000)
        QThread::msleep(50);
    ASSERT_GE(first.Accepted, 3);

    // Another broker: the old publisher stops, the new one starts, and the
    // reload is over within 2 s.
    site.WriteIni(Ini(sim, second.Port));
    const qsizetype logged = run.Err().size();
    t.restart();
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded "), 10000, logged)) << run.Err().toStdString();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("mqtt-unreachable broker=127.0.0.1:%1 ").arg(second.Port), 10000, logged))
        << run.Err().toStdString();
    const int before = first.Accepted;
    t.restart();
    while (second.Accepted < 2 && t.elapsed() < 15000)
        QThread::msleep(50);
    EXPECT_GE(second.Accepted, 2);
    EXPECT_EQ(first.Accepted, before) << "the old client still tries";

    // A broker that never answers: given up after the keep-alive (5 s) and
    // tried again, the client is making a connection when the stop comes.
    site.WriteIni(Ini(sim, silent.Port, QStringLiteral("KeepAlive=5\n")));
    const qsizetype reloaded = run.Err().size();
    t.restart();
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded "), 10000, reloaded)) << run.Err().toStdString();
    EXPECT_LT(t.elapsed(), 2000);
    QThread::sleep(9);

    t.restart();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10000), 0) << run.Err().toStdString();
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_TRUE(run.Err().endsWith(QStringLiteral("stop signal=SIGTERM\n"))) << run.Err().toStdString();
}

TEST(RunMqtt, TheNodeIsTheSiteFoldersNameAndNamesNotKeptAsWrittenAreRefused)
{
    REQUIRE_TOOL();
    SimProcess sim(Sim());
    Broker broker;
    ASSERT_TRUE(sim.Ready && broker.Running);
    // The configuration lies elsewhere than the site's folder, and the
    // service starts in a third.
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("Plant North"));
    const QString etc = root.filePath(QStringLiteral("etc"));
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(etc));
    const QString config = etc + QStringLiteral("/qdrwin.ini");
    auto write = [&](const QString& text) {
        QFile f(config);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.toUtf8());
    };
    const QStringList args{QStringLiteral("--config"), config, QStringLiteral("--dir"), folder};

    // Two sites whose nodes were made the same would throw each other off
    // the broker: a node not kept as written is refused at start.
    for (const char* node : {"plant/north", "plant+north", "Plant"}) {
        write(Ini(sim, broker.Port, QStringLiteral("Node=%1\n").arg(QLatin1String(node))));
        const ToolRun refused = RunTool(root.path(), QStringList{QStringLiteral("run")} + args, 15000);
        EXPECT_EQ(refused.Exit, 2) << refused.Text().toStdString();
        EXPECT_TRUE(refused.Err.contains(QStringLiteral("config-refused reason=\"telemetry: MQTT Node=%1: ").arg(QLatin1String(node))))
            << refused.Err.toStdString();
    }

    write(Ini(sim, broker.Port));
    Service run(root.path(), args);
    const QString status = QStringLiteral("qdrwin/plant_north/status");
    Watch watch(broker, status);
    ASSERT_GE(watch.WaitFor(status, "online", 20000), 0) << run.Err().toStdString();
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("mqtt-connected "), 10000)) << run.Err().toStdString();

    // On reload the configuration in use is kept.
    for (const QString& bad : {QStringLiteral("Node=plant/north\n"), QStringLiteral("Topic=homeassistant/plant\n")}) {
        write(Ini(sim, broker.Port, bad));
        const qsizetype logged = run.Err().size();
        run.Signal(SIGHUP);
        ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-refused reason=\"telemetry: MQTT [^\n]*kept\"\n"), 10000, logged))
            << run.Err().toStdString();
        EXPECT_FALSE(run.Err().mid(logged).contains(QStringLiteral("mqtt-"))) << run.Err().toStdString();
    }
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10000), 0) << run.Err().toStdString();
    EXPECT_EQ(broker.Retained(status).value(status), "offline");
}

TEST(RunMqtt, ABrokerThatRefusesTheSubscriptionIsSaidOnceAndOneOfMqtt311IsSpokenTo)
{
    REQUIRE_TOOL();
    SimProcess sim(Sim());
    ASSERT_TRUE(sim.Ready);
    for (const bool old : {false, true}) {
        RefusingBroker broker(old);
        ASSERT_TRUE(broker.Port != 0);
        SiteDir site(Ini(sim, broker.Port));
        Service run(site.Path(), {});
        ASSERT_TRUE(run.AwaitLine(QStringLiteral("mqtt-connected "), 15000)) << run.Err().toStdString();
        EXPECT_TRUE(run.AwaitLine(QStringLiteral("mqtt-refused broker=127.0.0.1:%1 what=subscription reason=%2\n")
                                      .arg(broker.Port)
                                      .arg(old ? QStringLiteral("refused") : QStringLiteral("\"Not authorized\"")),
                                  10000))
            << run.Err().toStdString();
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Finish(10000), 0) << run.Err().toStdString();
        EXPECT_EQ(broker.Connections, 1);
        EXPECT_EQ(broker.Refused, 1);
        EXPECT_EQ(run.Err().count(QStringLiteral("mqtt-")), 3) << "connected, refused, stopped\n" << run.Err().toStdString();
    }
}
