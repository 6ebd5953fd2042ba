// qdrtool run filing the archive as a site runs it: the simulated regulator
// as a process of its own, the service with its outputs on, and what reaches
// the folder watched from outside (inotify) and said in the log.
#include "e2e/ExpectedArchive.h"
#include "support/Broker.h"
#include "support/FileBytes.h"
#include "support/Pump.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <signal.h>
#include <sys/inotify.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace {

// qdrtool run in a folder, its log (standard error) read as it comes.
class RunProcess {
public:
    explicit RunProcess(const QString& dir)
    {
        P.setWorkingDirectory(dir);
        P.start(QStringLiteral(QDRTOOL_PATH), {QStringLiteral("run")});
        P.waitForStarted(5000);
    }
    ~RunProcess()
    {
        if (P.state() != QProcess::NotRunning) {
            ::kill(pid_t(P.processId()), SIGKILL);
            P.waitForFinished(5000);
        }
    }
    RunProcess(const RunProcess&) = delete;
    RunProcess& operator=(const RunProcess&) = delete;

    const QString& Log()
    {
        P.waitForReadyRead(0);
        Text += QString::fromUtf8(P.readAllStandardError());
        return Text;
    }
    // Serves the event loop until the log from 'from' on holds a line
    // matching pattern; false after ms.
    bool AwaitLine(const QString& pattern, int ms, qsizetype from = 0)
    {
        const QRegularExpression re(QStringLiteral("(^|\\n)") + pattern);
        return PumpUntil([&] { return re.match(Log(), from).hasMatch(); }, ms);
    }
    // Never to pid 0 (the test's own process group) once the service is gone.
    void Signal(int signal)
    {
        if (P.processId() > 0)
            ::kill(pid_t(P.processId()), signal);
    }

    QProcess P;
    QString Text;
};

// Every time a file of the folder was written in place or renamed into it,
// by name, in milliseconds of the clock given.
class FolderWrites {
public:
    explicit FolderWrites(const QString& dir)
    {
        Fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        Watch = ::inotify_add_watch(Fd, QFile::encodeName(dir).constData(), IN_MOVED_TO | IN_CLOSE_WRITE);
    }
    ~FolderWrites() { ::close(Fd); }
    FolderWrites(const FolderWrites&) = delete;
    FolderWrites& operator=(const FolderWrites&) = delete;

    bool Valid() const { return Fd >= 0 && Watch >= 0; }
    // Takes in what happened since the last call, stamped now.
    void Read(qint64 now)
    {
        alignas(inotify_event) char buf[8192];
        for (;;) {
            const ssize_t n = ::read(Fd, buf, sizeof buf);
            if (n <= 0)
                return;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->len != 0)
                    Times[QString::fromUtf8(e->name)].push_back(now);
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }
    std::map<QString, std::vector<qint64>> Times;

private:
    int Fd = -1;
    int Watch = -1;
};

QStringList Gen1Args(const char* now, int lost, const QStringList& more = {})
{
    return QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"),
                       QStringLiteral("1"), QStringLiteral("--now"), QString::fromLatin1(now), QStringLiteral("--lost"),
                       QString::number(lost), QStringLiteral("--seed"), QStringLiteral("7"), QStringLiteral("--speed"),
                       QStringLiteral("0")} +
           more;
}

} // namespace

TEST(ServiceArchive, ADownloadOf2000RecordsWithTheOutputsOnIsWrittenEvery30sNeverWithin10s)
{
    REQUIRE_TOOL();
    // November up to the 21st, 20:00: 2000 records, October all lost; each
    // reply a little slow, so the download outlasts a save period.
    const QStringList args = Gen1Args("2026-11-21T20:00", 2976, {QStringLiteral("--turnaround"), QStringLiteral("150")});
    SimProcess sim(args);
    TSimMirror mirror(args);
    ASSERT_TRUE(sim.Ready && mirror.Valid);
    const std::vector<TExpectedMonth> want = ExpectedArchive(mirror.Regulator());
    ASSERT_EQ(want.size(), 1u);
    ASSERT_EQ(want[0].Held(), 2000);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[METRIKY]\nListen=127.0.0.1:%2\n").arg(sim.Udp).arg(FreePort()));
    FolderWrites writes(site.Path());
    ASSERT_TRUE(writes.Valid());

    QElapsedTimer clock;
    clock.start();
    RunProcess run(site.Path());
    const QString name = want[0].FileName();
    const QByteArray bytes = want[0].Bytes();
    const bool whole = PumpUntil(
        [&] {
            writes.Read(clock.elapsed());
            return FileContents(site.Path(name)) == bytes;
        },
        240000);
    const qint64 done = clock.elapsed();
    // The end may wait its 10 s after the save before it.
    Pump(12000);
    writes.Read(clock.elapsed());
    ASSERT_TRUE(whole) << run.Log().toStdString();
    EXPECT_EQ(FileContents(site.Path(name)), bytes);
    const std::vector<qint64>& times = writes.Times[name];
    ASSERT_FALSE(times.empty());
    QString seen;
    for (qint64 t : times)
        seen += QStringLiteral(" %1").arg(t);
    // Stamped as read: a loaded machine may read one event late and the
    // next on time.
    qint64 shortest = 1000000, longest = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        shortest = std::min(shortest, times[i] - times[i - 1]);
        if (times[i - 1] < done)
            longest = std::max(longest, times[i] - times[i - 1]);
    }
    EXPECT_GE(shortest, 8000) << "written within 10 s of the last write:" << seen.toStdString();
    EXPECT_LE(longest, 36000) << "more than 30 s of records only in memory:" << seen.toStdString();
    EXPECT_LE(times.size(), size_t(2 + done / 10000)) << seen.toStdString();
    ASSERT_GE(done - times.front(), 35000) << "the download ended before a save period passed";
    EXPECT_GE(times.size(), 3u) << "not saved while the records arrived:" << seen.toStdString();
    std::printf("[ timing ] 2000 records filed in %lld ms, the month written %zu times:%s\n", static_cast<long long>(done),
                times.size(), qPrintable(seen));
}

TEST(ServiceArchive, AProcessStoppedForAWhileDoesNotTakeTheRegulatorForSilent)
{
    REQUIRE_TOOL();
    SimProcess sim(Gen1Args("2026-11-01T01:00", 2976));
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nTimeout=500\n").arg(sim.Udp));
    RunProcess run(site.Path());
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up\\n"), 20000)) << run.Log().toStdString();
    // Stopped for longer than the link takes to go down and an exchange
    // lasts, then let go on: the regulator answers its first request.
    const qsizetype stopped = run.Log().size();
    run.Signal(SIGSTOP);
    QThread::msleep(15000);
    run.Signal(SIGCONT);
    Pump(5000);
    EXPECT_FALSE(run.Log().mid(stopped).contains(QStringLiteral("link-down"))) << run.Log().toStdString();
    // A regulator that does not answer still takes the link down.
    sim.Stop();
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("link-down reason="), 20000, stopped))
        << run.Log().toStdString();
}

TEST(ServiceArchive, ARegulatorReplacedUnderTheServiceIsSaidAndItsMonthKept)
{
    REQUIRE_TOOL();
    // Three days of December; November's older records lost but its last 10.
    SimProcess sim(Gen1Args("2026-12-03T12:00", 2870));
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nTimeout=300\n").arg(sim.Udp));
    RunProcess run(site.Path());
    ASSERT_TRUE(run.AwaitLine(QStringLiteral("link-up\\n"), 20000)) << run.Log().toStdString();
    ASSERT_TRUE(PumpUntil([&] { return FileContents(site.Path(QStringLiteral("2026dec.qdr"))).size() == 12 + 240 * 6; },
                          120000))
        << run.Log().toStdString();
    const QByteArray december = FileContents(site.Path(QStringLiteral("2026dec.qdr")));

    // Stopped, and 5 s later a regulator with an emptied archive answers.
    const qsizetype replaced = run.Log().size();
    sim.Stop();
    Pump(5000);
    QStringList args = Gen1Args("2026-12-01T00:45", 2870, {QStringLiteral("--id"), QStringLiteral("NEW REGULATOR")});
    args.replace(args.indexOf(QStringLiteral("127.0.0.1:0")), sim.Udp);
    SimProcess other(args);
    TSimMirror mirror(args);
    ASSERT_TRUE(other.Ready && mirror.Valid);
    EXPECT_TRUE(run.AwaitLine(QStringLiteral("regulator-changed was=\"QDR-1 MAX DEMAND REGULATOR V1.4 1999\" "
                                             "now=\"NEW REGULATOR\" kept=2026dec.qdr.replaced month=2026DEC reported=3\\n"),
                              60000, replaced))
        << run.Log().toStdString();
    const std::vector<TExpectedMonth> want = ExpectedArchive(mirror.Regulator());
    ASSERT_EQ(want.size(), 2u);
    EXPECT_TRUE(PumpUntil([&] { return FileContents(site.Path(want[1].FileName())) == want[1].Bytes(); }, 60000))
        << run.Log().toStdString();
    EXPECT_EQ(FileContents(site.Path(QStringLiteral("2026dec.qdr.replaced"))), december);
    run.Signal(SIGTERM);
    run.P.waitForFinished(5000);
    EXPECT_EQ(FileContents(site.Path(want[0].FileName())), want[0].Bytes());
}
