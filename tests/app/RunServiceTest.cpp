// qdrtool run as systemd runs it on a site: a folder with qdrwin.ini, the
// simulated regulator over UDP or a pseudo-terminal, the notification socket
// systemd would listen on, and signals. What it promises: the archive filed
// while it follows the live values, a new record filed within 15 s, the log's
// events, an outage ridden out, SIGHUP and SIGTERM, the folder held.
#include "support/Broker.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

// The socket systemd would give as NOTIFY_SOCKET: every datagram the
// service sends, in order.
class NotifySocket {
public:
    NotifySocket()
    {
        Path = Dir.filePath(QStringLiteral("notify"));
        Fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(Path);
        std::memcpy(a.sun_path, p.constData(), size_t(std::min<qsizetype>(p.size(), sizeof a.sun_path - 1)));
        Bound = ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~NotifySocket() { ::close(Fd); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Every message so far.
    const QStringList& Messages()
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            Got << QString::fromUtf8(buf, int(n));
        }
        return Got;
    }
    // The index of the first message from 'from' on that starts with prefix, or -1.
    int Find(const QString& prefix, int from = 0)
    {
        const QStringList& m = Messages();
        for (int i = std::max(0, from); i < m.size(); ++i)
            if (m[i].startsWith(prefix))
                return i;
        return -1;
    }
    QString Path;
    bool Bound = false;

private:
    QTemporaryDir Dir;
    int Fd = -1;
    QStringList Got;
};

// qdrtool run in a folder, its standard error read as it comes.
class Service {
public:
    // command: what to start instead of qdrtool run (the program, then its
    // arguments), for a service in a namespace of its own.
    Service(const QString& dir, NotifySocket* notify = nullptr, const QString& path = {}, QStringList command = {})
        : Notify(notify)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!path.isEmpty())
            env.insert(QStringLiteral("PATH"), path + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
        if (notify) {
            env.insert(QStringLiteral("NOTIFY_SOCKET"), notify->Path);
            // A keep-alive every second.
            env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("2000000"));
        }
        P.setProcessEnvironment(env);
        P.setWorkingDirectory(dir);
        if (command.isEmpty())
            command = QStringList{QStringLiteral(QDRTOOL_PATH), QStringLiteral("run")};
        P.start(command.takeFirst(), command);
        P.waitForStarted(5000);
    }
    ~Service()
    {
        if (P.state() != QProcess::NotRunning) {
            ::kill(pid_t(P.processId()), SIGKILL);
            P.waitForFinished(5000);
        }
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const QString& Err()
    {
        P.waitForReadyRead(0);
        Text += QString::fromUtf8(P.readAllStandardError());
        return Text;
    }
    // Waits until the log holds a line matching pattern (after the first
    // 'from' characters); false after ms.
    bool AwaitLine(const QString& pattern, int ms, qsizetype from = 0)
    {
        const QRegularExpression re(QStringLiteral("(^|\\n)") + pattern, QRegularExpression::MultilineOption);
        return Await([&] { return re.match(Err(), from).hasMatch(); }, ms);
    }
    bool Await(const std::function<bool()>& done, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            P.waitForReadyRead(100);
            // Read as systemd would: a full socket blocks the sender.
            if (Notify)
                Notify->Messages();
        }
        return true;
    }
    // Never to pid 0 (the test's own process group) once the service is gone.
    void Signal(int s)
    {
        if (P.processId() > 0)
            ::kill(pid_t(P.processId()), s);
    }
    // The exit status, -1 when it did not end within ms, -2 when it crashed.
    int Finish(int ms)
    {
        if (!P.waitForFinished(ms))
            return -1;
        Err();
        return P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -2;
    }
    qint64 Pid() const { return P.processId(); }

    QProcess P;
    QString Text;
    NotifySocket* Notify = nullptr;
};

QByteArray Contents(const QString& name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Records held: the header (12 bytes) gives the record size at offset 2.
int RecordsIn(const QString& name)
{
    const QByteArray b = Contents(name);
    if (b.size() < 12)
        return -1;
    const int size = uint8_t(b.at(2)) | (uint8_t(b.at(3)) << 8);
    return size == 0 ? -1 : int((b.size() - 12) / size);
}

// Record times (the first word of each record) of a monthly file.
std::vector<int> Times(const QString& name)
{
    const QByteArray b = Contents(name);
    std::vector<int> times;
    if (b.size() < 12)
        return times;
    const int size = uint8_t(b.at(2)) | (uint8_t(b.at(3)) << 8);
    for (qsizetype at = 12; size > 0 && at + size <= b.size(); at += size)
        times.push_back(uint8_t(b.at(at)) | (uint8_t(b.at(at + 1)) << 8));
    return times;
}

QStringList Sim(const QString& now, const QString& speed, const QString& lost, const QString& generation = QStringLiteral("3"))
{
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), generation,
            QStringLiteral("--now"), now, QStringLiteral("--speed"), speed, QStringLiteral("--lost"), lost};
}

QString UdpIni(const SimProcess& sim, const QString& extra = {})
{
    return QStringLiteral("[KOMUNIKACIA]\nIP=%1\n").arg(sim.Udp) + extra;
}

std::string Log(Service& s) { return s.Err().toStdString(); }

} // namespace

TEST(RunService, FilesTheArchiveAndEachNewRecordWhileFollowingTheRegulator)
{
    REQUIRE_TOOL();
    // 26 records of October still held, 12 of November; the clock stands
    // until the test moves it.
    SimProcess sim(Sim(QStringLiteral("2026-11-01T03:00"), QStringLiteral("0"), QStringLiteral("2950")));
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpIni(sim, QStringLiteral("[INE]\nMiesto=Plant A\n")));
    NotifySocket notify;
    ASSERT_TRUE(notify.Bound);
    Service run(site.Path(), &notify);

    ASSERT_TRUE(run.Await([&] { return notify.Find(QStringLiteral("READY=1")) >= 0; }, 10000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up\\n"), 15000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("identified ident=\"[^\"]+\" generation=3 meters=4\\n"), 15000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("month-filed month=2026OCT records=26\\n"), 30000)) << Log(run);
    const QString oct = site.Path(QStringLiteral("2026oct.qdr"));
    const QString nov = site.Path(QStringLiteral("2026nov.qdr"));
    ASSERT_TRUE(run.Await([&] { return RecordsIn(nov) == 12; }, 15000)) << Log(run);
    EXPECT_EQ(RecordsIn(oct), 26);
    // Live values go on while and after the archive comes: the status says so.
    ASSERT_TRUE(run.Await([&] { return notify.Find(QStringLiteral("STATUS=Plant A: live, 2026NOV 12/12 records")) >= 0; }, 10000))
        << notify.Messages().join(QLatin1Char('|')).toStdString();
    ASSERT_TRUE(run.Await([&] { return notify.Find(QStringLiteral("WATCHDOG=1")) >= 0; }, 5000));

    // The regulator files the next interval: in the monthly file within 15 s.
    sim.Command("advance 15");
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(run.Await([&] { return RecordsIn(nov) == 13; }, 15000)) << Log(run);
    EXPECT_LT(t.elapsed(), 15000);
    const std::vector<int> times = Times(nov);
    ASSERT_EQ(times.size(), 13u);
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(times[i], 1440 + int(i) * 15) << "record " << i;

    // The folder is held: a second service is refused, naming the first.
    const ToolRun second = RunTool(site.Path(), {QStringLiteral("run")}, 15000);
    EXPECT_EQ(second.Exit, 3) << second.Text().toStdString();
    EXPECT_TRUE(second.Err.contains(QStringLiteral("folder-held folder=%1 holder=\"qdrtool run (PID %2)\"")
                                        .arg(site.Path()).arg(run.Pid())))
        << second.Err.toStdString();

    const int before = notify.Messages().size();
    run.Signal(SIGTERM);
    t.restart();
    EXPECT_EQ(run.Finish(10000), 0) << Log(run);
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_GE(notify.Find(QStringLiteral("STOPPING=1"), before), 0);
    EXPECT_TRUE(run.Err().endsWith(QStringLiteral("stop signal=SIGTERM\n"))) << Log(run);
    EXPECT_FALSE(run.Err().contains(QStringLiteral("write-failed"))) << Log(run);
    EXPECT_EQ(RecordsIn(nov), 13);
}

TEST(RunService, SighupTakesAChangedSiteAndKeepsTheOldConfigurationForABrokenOne)
{
    REQUIRE_TOOL();
    SimProcess sim(Sim(QStringLiteral("2026-11-01T03:00"), QStringLiteral("0"), QStringLiteral("2950")));
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpIni(sim, QStringLiteral("[INE]\nMiesto=Plant A\n")));
    NotifySocket notify;
    Service run(site.Path(), &notify);
    ASSERT_TRUE(run.Await([&] { return notify.Find(QStringLiteral("STATUS=Plant A: live")) >= 0; }, 20000))
        << Log(run) << notify.Messages().join(QLatin1Char('|')).toStdString();

    site.WriteIni(UdpIni(sim, QStringLiteral("[INE]\nMiesto=Plant B\n")));
    int from = notify.Messages().size();
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded changed=site\\n"), 10000)) << Log(run);
    int reloading = -1;
    ASSERT_TRUE(run.Await([&] { return (reloading = notify.Find(QStringLiteral("RELOADING=1"), from)) >= 0; }, 5000));
    EXPECT_GE(notify.Find(QStringLiteral("READY=1"), reloading), 0);
    EXPECT_GE(notify.Find(QStringLiteral("STATUS=Plant B: live"), reloading), 0)
        << notify.Messages().join(QLatin1Char('|')).toStdString();

    // A port that is no number: refused, and the service goes on as it was.
    site.WriteIni(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:99999\n[INE]\nMiesto=Plant C\n"));
    from = notify.Messages().size();
    const qsizetype logged = run.Err().size();
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-refused reason=\"KOMUNIKACIA IP=127.0.0.1:99999: [^\\n]*kept\"\\n"), 10000, logged))
        << Log(run);
    ASSERT_TRUE(run.Await([&] { return (reloading = notify.Find(QStringLiteral("RELOADING=1"), from)) >= 0; }, 5000));
    EXPECT_GE(notify.Find(QStringLiteral("READY=1"), reloading), 0);
    EXPECT_EQ(notify.Find(QStringLiteral("STATUS=Plant C"), from), -1);
    sim.Command("advance 15");
    EXPECT_TRUE(run.Await([&] { return RecordsIn(site.Path(QStringLiteral("2026nov.qdr"))) == 13; }, 15000))
        << "still polling the old link\n" << Log(run);
    EXPECT_FALSE(run.Err().mid(logged).contains(QStringLiteral("link-down"))) << Log(run);

    run.Signal(SIGINT);
    EXPECT_EQ(run.Finish(10000), 0) << Log(run);
}

TEST(RunService, SigtermDuringADownloadSavesWhatCameWithinTwoSeconds)
{
    REQUIRE_TOOL();
    // About 1000 records of October: several seconds of download.
    SimProcess sim(Sim(QStringLiteral("2026-11-01T00:30"), QStringLiteral("0"), QStringLiteral("1976"), QStringLiteral("2")));
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpIni(sim));
    const QString oct = site.Path(QStringLiteral("2026oct.qdr"));
    {
        Service run(site.Path());
        ASSERT_TRUE(run.AwaitLine(QStringLiteral("identified "), 15000)) << Log(run);
        QThread::msleep(1500);
        run.Signal(SIGTERM);
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(run.Finish(10000), 0) << Log(run);
        EXPECT_LT(t.elapsed(), 2000);
        EXPECT_FALSE(run.Err().contains(QStringLiteral("month-filed"))) << "stopped before the month was whole\n" << Log(run);
    }
    const int saved = RecordsIn(oct);
    EXPECT_GT(saved, 0) << "what came before the signal is on disk";
    EXPECT_LT(saved, 1000);
    // The next run carries on from the files.
    Service again(site.Path());
    ASSERT_TRUE(again.AwaitLine(QStringLiteral("month-filed month=2026OCT records=1000\\n"), 60000)) << Log(again);
    EXPECT_EQ(RecordsIn(oct), 1000);
    again.Signal(SIGTERM);
    EXPECT_EQ(again.Finish(10000), 0);
}

TEST(RunService, RidesOutARegulatorStoppedFor90SecondsAndLosesNothing)
{
    REQUIRE_TOOL();
    // A record every 15 s of real time.
    const QDateTime start(QDate(2026, 11, 1), QTime(3, 0));
    auto sim = std::make_unique<SimProcess>(Sim(start.toString(QStringLiteral("yyyy-MM-ddTHH:mm")), QStringLiteral("60"), QStringLiteral("2950")));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(sim->Ready);
    const QString endpoint = sim->Udp;
    SiteDir site(UdpIni(*sim));
    Service run(site.Path());
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("month-filed month=2026OCT "), 30000)) << Log(run);
    const QString nov = site.Path(QStringLiteral("2026nov.qdr"));
    ASSERT_TRUE(run.Await([&] { return RecordsIn(nov) >= 12; }, 15000)) << Log(run);
    const int before = RecordsIn(nov);

    sim.reset();
    const qsizetype stopped = run.Err().size();
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("link-down reason=\"no reply within 1200 ms\"\\n"), 20000, stopped)) << Log(run);
    QThread::sleep(80);
    // The regulator comes back on the same address, its clock having run on
    // (a minute ahead rather than behind, so no record it reported goes away).
    const QDateTime now = start.addSecs((clock.elapsed() / 1000 + 2) * 60);
    sim = std::make_unique<SimProcess>(QStringList{QStringLiteral("--udp"), endpoint, QStringLiteral("--generation"), QStringLiteral("3"),
                                                   QStringLiteral("--now"), now.toString(QStringLiteral("yyyy-MM-ddTHH:mm")),
                                                   QStringLiteral("--speed"), QStringLiteral("60"), QStringLiteral("--lost"), QStringLiteral("2950")});
    ASSERT_TRUE(sim->Ready) << "the simulator could not have its address back";
    const qsizetype resumed = run.Err().size();
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up\\n"), 20000, resumed)) << Log(run);
    // After a minute's silence the regulator is identified anew.
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("identified ident=\"[^\"]+\" generation=3 meters=4\\n"), 20000, resumed)) << Log(run);

    // The intervals of the outage are filed, with no gap.
    EXPECT_TRUE(run.Await([&] { return RecordsIn(nov) >= before + 6; }, 20000)) << RecordsIn(nov) << "\n" << Log(run);
    const std::vector<int> times = Times(nov);
    for (size_t i = 0; i < times.size(); ++i)
        ASSERT_EQ(times[i], 1440 + int(i) * 15) << "record " << i;
    EXPECT_FALSE(run.Err().contains(QStringLiteral("records-lost"))) << Log(run);
    EXPECT_FALSE(run.Err().contains(QStringLiteral("recordsize-changed"))) << Log(run);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10000), 0);
}

TEST(RunService, ASerialPortThatAppearsLaterIsOpenedWithoutARestart)
{
    REQUIRE_TOOL();
    SimProcess sim({QStringLiteral("--serial"), QStringLiteral("--fast"), QStringLiteral("--generation"), QStringLiteral("1"),
                    QStringLiteral("--now"), QStringLiteral("2026-11-01T03:00"), QStringLiteral("--speed"), QStringLiteral("0"),
                    QStringLiteral("--lost"), QStringLiteral("2950")});
    ASSERT_TRUE(sim.Ready);
    ASSERT_FALSE(sim.Serial.isEmpty());
    SiteDir site;
    const QString port = site.Path(QStringLiteral("ttyQDR"));
    site.WriteIni(QStringLiteral("[KOMUNIKACIA]\nDevice=%1\nTimeout=300\n").arg(port));
    NotifySocket notify;
    Service run(site.Path(), &notify);
    // Ready at once: the folder is held and the configuration read.
    ASSERT_TRUE(run.Await([&] { return notify.Find(QStringLiteral("READY=1")) >= 0; }, 10000)) << Log(run);
    ASSERT_TRUE(run.Await([&] { return notify.Find(QStringLiteral("STATUS=port %1 missing, retrying").arg(port)) >= 0; }, 10000))
        << notify.Messages().join(QLatin1Char('|')).toStdString();
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-down reason=\"cannot open serial port %1: ").arg(QRegularExpression::escape(port)), 20000))
        << Log(run);

    // The adapter is plugged in.
    ASSERT_EQ(::symlink(QFile::encodeName(sim.Serial).constData(), QFile::encodeName(port).constData()), 0);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up\\n"), 30000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("identified ident=\"[^\"]+\" generation=1 "), 15000)) << Log(run);
    EXPECT_TRUE(run.Await([&] { return RecordsIn(site.Path(QStringLiteral("2026nov.qdr"))) == 12; }, 30000)) << Log(run);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10000), 0) << Log(run);
}

// GET /metrics from the endpoint: the body, empty when nothing answers.
QByteArray Metrics(uint16_t port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return {};
    s.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray reply;
    while (s.waitForReadyRead(3000))
        reply += s.readAll();
    return reply.mid(reply.indexOf("\r\n\r\n") + 4);
}

TEST(RunService, CarriesLiveValuesAlertsAndTelemetryThroughReloads)
{
    REQUIRE_TOOL();
    Broker broker;
    ASSERT_TRUE(broker.Running);
    const uint16_t metrics = FreePort();
    // The simulator's clock stands weeks behind the host's: a clock-drift
    // alert, once the host's clock is known to be right.
    QTemporaryDir bin;
    {
        QFile f(bin.filePath(QStringLiteral("timedatectl")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\necho yes\n");
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    SimProcess sim(Sim(QStringLiteral("2026-11-01T03:00"), QStringLiteral("0"), QStringLiteral("2950")));
    ASSERT_TRUE(sim.Ready);
    const auto ini = [&](const QString& ip, const QString& mqttPort) {
        return QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[MQTT]\nHost=127.0.0.1\nPort=%2\nNode=plant\n"
                              "[METRIKY]\nListen=127.0.0.1:%3\n[ALARMY]\nHodiny=120\n")
            .arg(ip, mqttPort)
            .arg(metrics);
    };
    const QString port = QString::number(broker.Port);
    SiteDir site(ini(sim.Udp, port));
    Watch alerts(broker, QStringLiteral("qdrwin/plant/alert"), true);
    Service run(site.Path(), nullptr, bin.path());

    ASSERT_TRUE(run.AwaitLine(QStringLiteral("mqtt-connected"), 15000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("metrics-listening"), 15000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("alert clock-drift "), 30000)) << Log(run);
    ASSERT_TRUE(run.Await([&] { alerts.Sub.waitForReadyRead(50); return !alerts.Messages().empty(); }, 10000));
    EXPECT_TRUE(alerts.Messages().front().Payload.contains("\"kind\":\"clock-drift\"")) << alerts.Messages().front().Payload.constData();
    ASSERT_TRUE(run.Await([&] { return Metrics(metrics).contains("\nqdr_link_up 1\n"); }, 10000))
        << Metrics(metrics).left(2000).constData();

    // A changed link makes a new engine; the broker's session and the
    // endpoint stay, and follow the new one.
    const QString udpPort = sim.Udp.section(QLatin1Char(':'), -1);
    site.WriteIni(ini(QStringLiteral("localhost:") + udpPort, port));
    qsizetype logged = run.Err().size();
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded changed=link"), 10000, logged)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up"), 15000, logged)) << Log(run);
    EXPECT_FALSE(run.Err().mid(logged).contains(QStringLiteral("mqtt-"))) << Log(run);
    EXPECT_TRUE(run.Await([&] { return Metrics(metrics).contains("\nqdr_link_up 1\n"); }, 10000));

    // A broker port that is no port: refused as any unusable setting is.
    site.WriteIni(ini(sim.Udp, QStringLiteral("99999")));
    logged = run.Err().size();
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-refused reason=[^\\n]*kept"), 10000, logged)) << Log(run);
    EXPECT_FALSE(run.Err().mid(logged).contains(QStringLiteral("mqtt-"))) << Log(run);

    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10000), 0) << Log(run);
    EXPECT_EQ(broker.Retained(QStringLiteral("qdrwin/plant/status")).value(QStringLiteral("qdrwin/plant/status")), "offline");

    // At start, an unusable section is a configuration the service cannot use.
    site.WriteIni(ini(sim.Udp, QStringLiteral("99999")));
    const ToolRun refused = RunTool(site.Path(), {QStringLiteral("run")}, 15000);
    EXPECT_EQ(refused.Exit, 2) << refused.Text().toStdString();
}

TEST(RunService, ReloadsOneAtATimeAndNeverTakesAGarbledOrHalfWrittenFile)
{
    REQUIRE_TOOL();
    Broker broker;
    ASSERT_TRUE(broker.Running);
    SimProcess sim(Sim(QStringLiteral("2026-11-01T03:00"), QStringLiteral("0"), QStringLiteral("2950")));
    ASSERT_TRUE(sim.Ready);
    const auto ini = [&](const QString& topic, const QString& extra) {
        return UdpIni(sim, QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\nTopic=%2\n").arg(broker.Port).arg(topic) + extra);
    };
    SiteDir site(ini(QStringLiteral("site/a"), {}));
    Service run(site.Path());
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("mqtt-connected"), 15000)) << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("month-filed month=2026OCT "), 30000)) << Log(run);
    const QString nov = site.Path(QStringLiteral("2026nov.qdr"));

    // Two SIGHUPs 4 ms apart while the publisher has a broker to leave: the
    // first reload ends before the second begins, and the second finds
    // nothing more to change.
    site.WriteIni(ini(QStringLiteral("site/b"), {}));
    qsizetype logged = run.Err().size();
    run.Signal(SIGHUP);
    QThread::msleep(4);
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded changed=nothing\\n"), 15000, logged)) << Log(run);
    QStringList reloads;
    for (const QString& line : run.Err().mid(logged).split(QLatin1Char('\n')))
        if (line.startsWith(QStringLiteral("config-")))
            reloads << line;
    EXPECT_EQ(reloads, QStringList({QStringLiteral("config-reloaded changed=mqtt"), QStringLiteral("config-reloaded changed=nothing")}))
        << Log(run);
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("mqtt-connected"), 15000, logged)) << Log(run);

    // Each section a reload changes is named.
    site.WriteIni(ini(QStringLiteral("site/b"), QStringLiteral("[ALARMY]\nRezerva=20\n[METRIKY]\nListen=127.0.0.1:%1\n[ZMLUVA]\nModel=max\n").arg(FreePort())));
    logged = run.Err().size();
    run.Signal(SIGHUP);
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded changed=metrics,alerts,contract\\n"), 10000, logged)) << Log(run);

    // Garbage, a file without its link, and a file still being written are
    // each refused; the regulator is followed as before.
    const QByteArray good = ini(QStringLiteral("site/b"), {}).toUtf8();
    const auto refused = [&](const std::function<void()>& write, const QString& reason) {
        const qsizetype from = run.Err().size();
        write();
        return run.AwaitLine(QStringLiteral("config-refused reason=\"[^\"\\n]*%1[^\"\\n]*; the configuration in use is kept\"\\n").arg(reason), 10000, from);
    };
    const auto put = [&](const QByteArray& bytes) {
        QFile f(site.Path(QStringLiteral("qdrwin.ini")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    };
    EXPECT_TRUE(refused([&] { put(QByteArray("\x00\xff garbage", 10)); run.Signal(SIGHUP); }, QStringLiteral("has no section KOMUNIKACIA")))
        << Log(run);
    EXPECT_TRUE(refused([&] { put("[INE]\nMiesto=Plant Z\n"); run.Signal(SIGHUP); }, QStringLiteral("has no section KOMUNIKACIA")))
        << Log(run);
    EXPECT_TRUE(refused([&] {
        put(good.left(20));
        run.Signal(SIGHUP);
        QThread::msleep(300);
        put(good);
    }, QStringLiteral("changed while it was read"))) << Log(run);
    sim.Command("advance 15");
    EXPECT_TRUE(run.Await([&] { return RecordsIn(nov) == 13; }, 15000)) << "still polling the same link\n" << Log(run);
    EXPECT_FALSE(run.Err().contains(QStringLiteral("link-down"))) << Log(run);
    EXPECT_FALSE(run.Err().contains(QStringLiteral("Miesto=Plant Z"))) << Log(run);

    run.Signal(SIGTERM);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(run.Finish(10000), 0) << Log(run);
    EXPECT_LT(t.elapsed(), 2000);
}

TEST(RunService, AMonthThatCannotBeSavedOutlivesAReopenedLink)
{
    REQUIRE_TOOL();
    if (::geteuid() != 0)
        GTEST_SKIP() << "a small file system of its own needs root";
    SimProcess sim(Sim(QStringLiteral("2026-11-01T03:00"), QStringLiteral("0"), QStringLiteral("2950")));
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpIni(sim));
    // The site's folder is a file system of its own that the test fills
    // (touch full) and empties again (touch free).
    const QString script = QStringLiteral(
        "mkdir disk && mount -t tmpfs -o size=1m tmpfs disk || exit 97;"
        "( until [ -e full ]; do kill -0 $$ 2>/dev/null || exit; sleep 0.1; done;"
        "  dd if=/dev/zero of=disk/fill bs=4k 2>/dev/null; touch filled;"
        "  until [ -e free ]; do kill -0 $$ 2>/dev/null || exit; sleep 0.1; done;"
        "  rm -f disk/fill ) &"
        "exec \"$0\" run --dir disk --config qdrwin.ini");
    Service run(site.Path(), nullptr, {},
                {QStringLiteral("unshare"), QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                 QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral(QDRTOOL_PATH)});
    if (run.Finish(500) == 97 || run.Err().contains(QStringLiteral("unshare")))
        GTEST_SKIP() << "no mount namespace here: " << Log(run);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("month-filed month=2026OCT "), 30000)) << Log(run);
    // The month's file as the service sees it, inside its namespace.
    const QString nov = QStringLiteral("/proc/%1/root%2").arg(run.Pid()).arg(site.Path(QStringLiteral("disk/2026nov.qdr")));
    ASSERT_TRUE(run.Await([&] { return RecordsIn(nov) == 12; }, 15000)) << Log(run);

    QFile(site.Path(QStringLiteral("full"))).open(QIODevice::WriteOnly);
    ASSERT_TRUE(run.Await([&] { return QFileInfo::exists(site.Path(QStringLiteral("filled"))); }, 10000));
    qsizetype logged = run.Err().size();
    sim.Command("advance 30");
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("write-failed file=2026nov.qdr reason=\"[^\\n]*No space left on device\"\\n"), 20000, logged))
        << Log(run);

    // A reload that opens the link anew while the month cannot be saved:
    // its records go to the new link's engine, which saves them once the
    // disk has room again.
    site.WriteIni(UdpIni(sim, QStringLiteral("Timeout=1300\n")));
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("config-reloaded changed=link\\n"), 10000, logged)) << Log(run);
    QFile(site.Path(QStringLiteral("free"))).open(QIODevice::WriteOnly);
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("write-resumed file=2026nov.qdr\\n"), 45000, logged)) << Log(run);
    EXPECT_EQ(RecordsIn(nov), 14) << Log(run);
    const std::vector<int> times = Times(nov);
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(times[i], 1440 + int(i) * 15) << "record " << i;
    // And the service goes on past the next retry of its writes.
    sim.Command("advance 15");
    EXPECT_TRUE(run.Await([&] { return RecordsIn(nov) == 15; }, 45000)) << Log(run);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(10000), 0) << Log(run);
}
