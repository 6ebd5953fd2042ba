// qdrtool fetch as a site runs it from cron: a folder with qdrwin.ini, the
// simulated regulator as a separate process, and the monthly files compared
// byte for byte with what the simulator's own model says they must hold.
#include "e2e/ExpectedArchive.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"
#include "support/Pump.h"
#include "support/SimProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

#include <map>
#include <random>

#include <gtest/gtest.h>

namespace {

bool ToolBuilt() { return QFileInfo::exists(QStringLiteral(QDRTOOL_PATH)); }

struct FetchRun {
    int Exit = -1;       // -1 still running at the deadline, -2 killed or crashed
    QString Out;
    QString Err;
    qint64 Ms = 0;
    QString Text() const { return QStringLiteral("exit %1 after %2 ms\n%3\n%4").arg(Exit).arg(Ms).arg(Out, Err); }
    QString LastLine() const
    {
        const QStringList lines = Out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines.isEmpty() ? QString() : lines.last();
    }
};

// A simulator process, the same regulator rebuilt in the test, and a site
// folder whose qdrwin.ini points at the simulator.
class Rig {
public:
    Rig(const QStringList& simArgs, const QString& iniExtra = {}, bool serial = false)
        : Sim(simArgs + QStringList{QStringLiteral("--log")})
        , Mirror(simArgs)
    {
        Ready = Sim.Ready && Mirror.Valid && MirrorAgrees();
        const QString link = serial ? QStringLiteral("Device=%1").arg(Sim.Serial) : QStringLiteral("IP=%1").arg(Sim.Udp);
        Site.WriteIni(QStringLiteral("[KOMUNIKACIA]\n%1\nAdr=0\n%2").arg(link, iniExtra));
    }

    // The "OK ..." line the simulator answers a control line with.
    QByteArray Reply(const QByteArray& line)
    {
        Sim.Command(line);
        QByteArray out;
        for (int i = 0; i < 100 && !out.contains('\n'); ++i) {
            Sim.Proc.waitForReadyRead(50);
            out += Sim.Proc.readAllStandardOutput();
        }
        return out.startsWith("OK") ? out : QByteArray();
    }

    QString Why() { return QString::fromStdString(Mirror.Error) + QString::fromUtf8(Sim.StdErr()); }

    // Sends a control line and waits for the simulator to confirm it; then
    // checks that the simulator and its mirror in the test report the same
    // month table, so the expectations follow the regulator the tool talks to.
    bool Control(const QByteArray& line)
    {
        return !Reply(line).isEmpty() && MirrorAgrees();
    }
    bool MirrorAgrees()
    {
        const QByteArray status = Reply("status");
        const TSimMonthTable t = Mirror.Regulator().MonthTable();
        const QByteArray table = QStringLiteral(" table %1 %2 %3 %4 %5 ")
                                     .arg(t.Month0)
                                     .arg(t.Month1)
                                     .arg(t.Count0)
                                     .arg(t.Count1)
                                     .arg(t.Lost)
                                     .toLatin1();
        if (status.contains(table))
            return true;
        ADD_FAILURE() << "simulator: " << status.constData() << "mirror:" << table.constData();
        return false;
    }

    // Starts qdrtool fetch in the site folder; Finish or Kill ends it.
    void Start(const QStringList& extra = {})
    {
        Drain();
        LogMark = SimLog.size();
        Tool = std::make_unique<QProcess>();
        Tool->setWorkingDirectory(Site.Path());
        Tool->start(QStringLiteral(QDRTOOL_PATH), QStringList{QStringLiteral("fetch")} + extra);
        Tool->waitForStarted(5000);
        Clock.start();
    }
    // Serves the event loop (the simulator's pipes keep draining) until the
    // tool ends or ms pass.
    bool WaitTool(int ms)
    {
        while (Tool->state() != QProcess::NotRunning) {
            if (Clock.elapsed() > ms)
                return false;
            Tool->waitForFinished(20);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return true;
    }
    FetchRun Finish(int ms = 60000)
    {
        FetchRun r;
        if (!WaitTool(ms)) {
            Tool->kill();
            Tool->waitForFinished(3000);
        } else {
            r.Exit = Tool->exitStatus() == QProcess::NormalExit ? Tool->exitCode() : -2;
        }
        r.Ms = Clock.elapsed();
        r.Out = QString::fromUtf8(Tool->readAllStandardOutput());
        r.Err = QString::fromUtf8(Tool->readAllStandardError());
        Drain();
        return r;
    }
    FetchRun Fetch(const QStringList& extra = {}, int ms = 60000)
    {
        Start(extra);
        return Finish(ms);
    }
    // SIGKILL after ms; false when the tool had already ended by itself.
    bool KillAfter(int ms)
    {
        if (WaitTool(ms))
            return false;
        Tool->kill();
        Tool->waitForFinished(3000);
        Drain();
        return true;
    }

    // SIGKILL ms after the folder first changes (a monthly file appears or
    // is replaced); false when the tool ended by itself first.
    bool KillAfterSave(int ms)
    {
        const auto before = Snapshot();
        while (Snapshot() == before) {
            if (Tool->state() == QProcess::NotRunning || Clock.elapsed() > 60000)
                return false;
            Tool->waitForFinished(3);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        return KillAfter(int(Clock.elapsed()) + ms);
    }
    std::map<QString, std::pair<ino_t, int64_t>> Snapshot() const
    {
        std::map<QString, std::pair<ino_t, int64_t>> s;
        for (const QString& name : QDir(Site.Path()).entryList({QStringLiteral("*.qdr")}, QDir::Files))
            s[name] = Identity(name);
        return s;
    }

    // Archive requests (command 3 or 9) the simulator received since the
    // last Start.
    int ArchiveRequests()
    {
        Drain();
        int n = 0;
        for (const QByteArray& line : SimLog.mid(LogMark).split('\n')) {
            const int at = line.indexOf("] RX ");
            if (at < 0)
                continue;
            const QList<QByteArray> bytes = line.mid(at + 5).trimmed().split(' ');
            if (bytes.size() > 2 && (bytes[2] == "03" || bytes[2] == "09"))
                ++n;
        }
        return n;
    }

    // How often each fault hit a reply to an archive request (or to any
    // request) since the last Start ("loss" -> 2, ...).
    std::map<QString, int> ArchiveFaults() { return Faults(true); }
    std::map<QString, int> Faults(bool archiveOnly)
    {
        Drain();
        std::map<QString, int> hits;
        bool archive = false;
        for (const QByteArray& line : SimLog.mid(LogMark).split('\n')) {
            if (line.contains("] RX ")) {
                const QList<QByteArray> bytes = line.mid(line.indexOf("] RX ") + 5).trimmed().split(' ');
                archive = !archiveOnly || (bytes.size() > 2 && (bytes[2] == "03" || bytes[2] == "09"));
            } else if (archive && line.contains("] TX ") && line.endsWith(')')) {
                const QByteArray list = line.mid(line.lastIndexOf('(') + 1).chopped(1);
                for (const QByteArray& f : list.split(','))
                    ++hits[QString::fromLatin1(f)];
            }
        }
        return hits;
    }

    // Every file in the folder but the configuration, by name.
    std::map<QString, QByteArray> Files() const
    {
        std::map<QString, QByteArray> files;
        const QStringList names = QDir(Site.Path()).entryList(QDir::Files | QDir::Hidden);
        for (const QString& name : names) {
            // The configuration, and the lock by which a run holds the folder.
            if (name == QLatin1String("qdrwin.ini") || name == QLatin1String(".qdrwin.lock"))
                continue;
            QFile f(Site.Path(name));
            files[name] = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
        }
        return files;
    }
    // Inode and modification time: a rewrite changes one or the other.
    std::pair<ino_t, int64_t> Identity(const QString& name) const
    {
        struct stat st {};
        if (::stat(QFile::encodeName(Site.Path(name)).constData(), &st) != 0)
            return {0, 0};
        return {st.st_ino, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }

    SimProcess Sim;
    TSimMirror Mirror;
    SiteDir Site;
    bool Ready = false;
    std::unique_ptr<QProcess> Tool;
    QElapsedTimer Clock;

private:
    void Drain() { SimLog += Sim.StdErr(); }
    QByteArray SimLog;
    qsizetype LogMark = 0;
};

// Where a file differs from its expectation, in the format's own terms.
QString Difference(const TExpectedMonth& want, const QByteArray& got)
{
    const QByteArray expected = want.Bytes();
    if (got == expected)
        return {};
    const QString fault = MonthFileFault(want.FileName(), got);
    if (!fault.isEmpty())
        return fault;
    static const char* const fields[] = {"header size", "record size", "Origin", "Month", "Shift", "KindMask"};
    for (int w = 0; w < 6; ++w)
        if (WordAt(got, 2 * w) != WordAt(expected, 2 * w))
            return QStringLiteral("%1: %2 is %3, expected %4")
                .arg(want.FileName(), QLatin1String(fields[w]))
                .arg(WordAt(got, 2 * w))
                .arg(WordAt(expected, 2 * w));
    const int size = want.RecordSize;
    const int gotRecords = (int(got.size()) - 12) / size;
    for (int i = 0; i < std::min(gotRecords, want.Held()); ++i)
        if (got.mid(12 + i * size, size) != expected.mid(12 + i * size, size))
            return QStringLiteral("%1: position %2 holds the record of time %3, expected time %4")
                .arg(want.FileName())
                .arg(want.Origin + i)
                .arg(WordAt(got, 12 + i * size))
                .arg(WordAt(expected, 12 + i * size));
    return QStringLiteral("%1: %2 records, expected %3").arg(want.FileName()).arg(gotRecords).arg(want.Held());
}

// The folder holds exactly these monthly files and the files kept aside
// (and nothing else but the configuration), each byte for byte.
void ExpectFolder(const Rig& rig, const std::vector<TExpectedMonth>& want, const std::map<QString, QByteArray>& kept = {})
{
    std::map<QString, QByteArray> files = rig.Files();
    for (const auto& [name, bytes] : kept) {
        const auto it = files.find(name);
        if (it == files.end()) {
            ADD_FAILURE() << name.toStdString() << " is missing";
            continue;
        }
        EXPECT_TRUE(it->second == bytes) << name.toStdString() << " is not the file kept";
        files.erase(it);
    }
    for (const TExpectedMonth& m : want) {
        const auto it = files.find(m.FileName());
        if (it == files.end()) {
            ADD_FAILURE() << m.FileName().toStdString() << " is missing";
            continue;
        }
        EXPECT_EQ(Difference(m, it->second).toStdString(), "");
        files.erase(it);
    }
    for (const auto& [name, bytes] : files)
        ADD_FAILURE() << "unexpected file " << name.toStdString() << " (" << bytes.size() << " bytes)";
}

QStringList SimArgs(int generation, const char* now, int lost, const QStringList& more = {})
{
    return QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"),
                       QString::number(generation), QStringLiteral("--now"), QString::fromLatin1(now),
                       QStringLiteral("--lost"), QString::number(lost), QStringLiteral("--kinds"),
                       QStringLiteral("2"), QStringLiteral("--seed"), QStringLiteral("7"), QStringLiteral("--speed"),
                       QStringLiteral("0")} +
           more;
}

// A small archive per generation: a few hours of November and the last
// records of October, the rest of which the regulator has lost. Generation
// 3 fetches one record per request, so its archive is the smaller one. Both
// have intervals without supply: single empty records, runs of them, one as
// the first record held of a month, and for command 3 runs longer than a
// batch, so whole replies of nothing but empty records.
struct Archive {
    int Generation;
    const char* Now;
    int Lost;
    const char* Gaps;
};

void PrintTo(const Archive& a, std::ostream* os)
{
    *os << "generation " << a.Generation << " at " << a.Now << ", " << a.Lost << " lost, gaps " << a.Gaps;
}

QStringList SimArgs(const Archive& a, const QStringList& more = {})
{
    return SimArgs(a.Generation, a.Now, a.Lost, QStringList{QStringLiteral("--gaps"), QLatin1String(a.Gaps)} + more);
}

// Empty records a month's expected file holds.
int EmptyRecords(const TExpectedMonth& m)
{
    int n = 0;
    for (int k = 0; k < m.Held(); ++k)
        n += WordAt(m.Records, k * m.RecordSize) == 0 ? 1 : 0;
    return n;
}

class PerGeneration : public ::testing::TestWithParam<Archive> {};

#define REQUIRE_TOOL()                                                                                                \
    if (!ToolBuilt())                                                                                                 \
    GTEST_SKIP() << "qdrtool is not built (build the qdrtool target)"

TEST_P(PerGeneration, FilesTheArchiveByteForByteAndASecondRunFetchesNothing)
{
    REQUIRE_TOOL();
    const Archive a = GetParam();
    Rig rig(SimArgs(a));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const std::vector<TExpectedMonth> want = ExpectedArchive(rig.Mirror.Regulator());
    ASSERT_EQ(want.size(), 2u);
    ASSERT_EQ(want[0].Origin, a.Lost) << "the lost records are not stored";
    for (const TExpectedMonth& m : want)
        ASSERT_GE(EmptyRecords(m), 3) << m.FileName().toStdString() << " has too few gaps to test them";

    const FetchRun first = rig.Fetch();
    ASSERT_EQ(first.Exit, 0) << first.Text().toStdString();
    EXPECT_TRUE(first.LastLine().startsWith(QLatin1String("done:"))) << first.Text().toStdString();
    ExpectFolder(rig, want);
    const int requests = rig.ArchiveRequests();
    const int held = want[0].Held() + want[1].Held();
    if (a.Generation == 3)
        EXPECT_GE(requests, held) << "command 9 carries one record";
    else
        EXPECT_LT(requests, held) << "command 3 carries several records";

    std::map<QString, std::pair<ino_t, int64_t>> before;
    for (const TExpectedMonth& m : want)
        before[m.FileName()] = rig.Identity(m.FileName());
    const FetchRun second = rig.Fetch();
    ASSERT_EQ(second.Exit, 0) << second.Text().toStdString();
    EXPECT_EQ(rig.ArchiveRequests(), 0) << "everything was filed already";
    ExpectFolder(rig, want);
    for (const TExpectedMonth& m : want)
        EXPECT_EQ(rig.Identity(m.FileName()), before[m.FileName()]) << m.FileName().toStdString() << " was rewritten";
    EXPECT_LT(second.Ms, 10000) << second.Text().toStdString();
    std::printf("[ timing ] generation %d: %d records in %lld ms (%d archive requests), second run %lld ms\n",
                a.Generation, held, static_cast<long long>(first.Ms), requests, static_cast<long long>(second.Ms));
}

TEST_P(PerGeneration, AFaultyLineFilesTheSameBytes)
{
    REQUIRE_TOOL();
    const Archive a = GetParam();
    // Late replies come after the client has given up on them, while a later
    // request may be outstanding: they must not be filed as its answer.
    Rig rig(SimArgs(a,
                    {QStringLiteral("--loss"), QStringLiteral("0.1"), QStringLiteral("--corrupt"),
                     QStringLiteral("0.05"), QStringLiteral("--misaddress"), QStringLiteral("0.1"),
                     QStringLiteral("--short"), QStringLiteral("0.05"), QStringLiteral("--late"),
                     QStringLiteral("0.05"), QStringLiteral("--late-ms"), QStringLiteral("510")}),
            QStringLiteral("Timeout=300\n"));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const FetchRun run = rig.Fetch();
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    ExpectFolder(rig, ExpectedArchive(rig.Mirror.Regulator()));
    const std::map<QString, int> hits = rig.ArchiveFaults();
    QString seen;
    int total = 0;
    for (const auto& [name, n] : hits) {
        seen += QStringLiteral(" %1 %2").arg(name).arg(n);
        total += n;
    }
    EXPECT_GE(total, 4) << "the faults hardly touched the download:" << seen.toStdString();
    EXPECT_GE(hits.size(), 3u) << "too few kinds of fault hit the download:" << seen.toStdString();
    std::printf("[ timing ] generation %d over a faulty line: %lld ms, archive replies hit:%s\n", a.Generation,
                static_cast<long long>(run.Ms), qPrintable(seen));
}

TEST_P(PerGeneration, ErasedSlotsAndTrailingBytesDoNotStopTheDownload)
{
    REQUIRE_TOOL();
    // Erased slots (every byte 0xFF: no time of the month), one of them the
    // first record held of October; command-3 replies padded with 4 bytes.
    Rig rig(SimArgs(GetParam(), {QStringLiteral("--erased"), QStringLiteral("2,2961,2970"), QStringLiteral("--trailing"),
                                 QStringLiteral("4")}));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const FetchRun run = rig.Fetch({QStringLiteral("--timeout"), QStringLiteral("10")});
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    const std::vector<TExpectedMonth> want = ExpectedArchive(rig.Mirror.Regulator());
    ExpectFolder(rig, want);
    // Position 2 of November: filed as an empty record with its channels as sent.
    ASSERT_EQ(want.size(), 2u);
    const QByteArray erased = want[1].Records.mid(want[1].RecordSize, want[1].RecordSize);
    EXPECT_EQ(erased, QByteArray(2, '\0') + QByteArray(want[1].RecordSize - 2, char(0xFF)));
}

TEST(DownloadStall, ADownloadThatCannotGoOnEndsNamingTheMonthAndRecord)
{
    REQUIRE_TOOL();
    // Four meters make 10-byte records, which the 6-byte slots of command 3
    // cannot carry: the regulator answers every request, nothing is filed,
    // and the run ends once --timeout has passed without progress.
    Rig rig(SimArgs(1, "2026-11-01T05:00", 2900, {QStringLiteral("--meters"), QStringLiteral("4")}));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const FetchRun run = rig.Fetch({QStringLiteral("--timeout"), QStringLiteral("3")}, 30000);
    EXPECT_EQ(run.Exit, 1) << run.Text().toStdString();
    EXPECT_TRUE(run.Err.startsWith(QLatin1String("qdrtool: download stalled at 2026OCT record 2901: ")))
        << run.Text().toStdString();
    EXPECT_LT(run.Ms, 15000);
}

TEST(DownloadRecordSize, AMonthWhoseRecordsChangeSizeIsKeptAsideAndFetchedAnew)
{
    REQUIRE_TOOL();
    Rig rig(SimArgs(3, "2026-11-01T05:00", 2970));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    ASSERT_EQ(rig.Fetch().Exit, 0);
    const std::vector<TExpectedMonth> before = ExpectedArchive(rig.Mirror.Regulator());
    ExpectFolder(rig, before);

    // A meter is added and an hour passes: November's records are now 14 bytes.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const QByteArray old = rig.Files()[QStringLiteral("2026nov.qdr")];
        rig.Mirror.Regulator().SetMeters(5 + round);
        ASSERT_TRUE(rig.Control(round == 0 ? "meters 5" : "meters 6"));
        rig.Mirror.Advance(60);
        ASSERT_TRUE(rig.Control("advance 60"));
        const FetchRun run = rig.Fetch({QStringLiteral("--timeout"), QStringLiteral("10")});
        ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
        const QString aside = round == 0 ? QStringLiteral("2026nov.qdr.recordsize") : QStringLiteral("2026nov.qdr.recordsize.1");
        EXPECT_TRUE(run.Out.contains(QStringLiteral("kept in %1").arg(aside))) << run.Text().toStdString();
        std::map<QString, QByteArray> files = rig.Files();
        EXPECT_EQ(files[aside], old) << "the old records are kept as they were";
        files.erase(aside);
        files.erase(QStringLiteral("2026nov.qdr.recordsize"));
        // October was complete and keeps its file; November is whole in the new size.
        const std::vector<TExpectedMonth> now = ExpectedArchive(rig.Mirror.Regulator());
        EXPECT_EQ(files[QStringLiteral("2026oct.qdr")], before[0].Bytes());
        EXPECT_EQ(files[QStringLiteral("2026nov.qdr")], now[1].Bytes());
        EXPECT_EQ(WordAt(files[QStringLiteral("2026nov.qdr")], 2), 2 + 2 * (6 + round));
    }
}

// Replies carry no command code: one that comes after its time-out is taken
// as the answer to whatever is outstanding when it arrives (a live block for
// archive records, an archive reply for the information block). The engine
// as the window runs it, the live block asked for every second between the
// archive requests, over a link whose replies come late or twice, on both
// links, for command 3 (generations 1 and 2) and command 9 (generation 3):
// the files are still the regulator's archive, byte for byte.
struct LateLink {
    bool Serial;
    int Generation;
};

class LateReplies : public ::testing::TestWithParam<LateLink> {};

TEST_P(LateReplies, AreNeverFiledForAnotherRequest)
{
    const LateLink l = GetParam();
    // UDP asks every 100 ms: a reply 510 ms late, after a 300 ms time-out,
    // arrives while a later request waits. The serial line asks once a
    // second: a reply 1100 ms late arrives after the next request went out
    // and before its own answer, 200 ms after it.
    QStringList more{QStringLiteral("--late"), QStringLiteral("0.3"), QStringLiteral("--duplicate"), QStringLiteral("0.1"),
                     QStringLiteral("--late-ms"), QString::fromLatin1(l.Serial ? "1100" : "510")};
    if (l.Serial)
        more << QStringLiteral("--turnaround") << QStringLiteral("200") << QStringLiteral("--fast");
    // A small archive: October's last records and November's first hours.
    QStringList args = SimArgs(l.Generation, l.Generation == 3 ? "2026-11-01T02:00" : "2026-11-01T05:00",
                               l.Generation == 3 ? 2968 : (l.Serial ? 2950 : 2800), more);
    if (l.Serial) {
        args.replace(args.indexOf(QStringLiteral("--udp")), QStringLiteral("--serial"));
        args.removeOne(QStringLiteral("127.0.0.1:0"));
    }
    Rig rig(args, QStringLiteral("Timeout=%1\n").arg(l.Serial ? 400 : 300), l.Serial);
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    TMIniFile cfg(rig.Site.Path(QStringLiteral("qdrwin.ini")));
    auto engine = std::make_unique<TEngine>(TSettings::Read(cfg), 100, rig.Site.Path());
    const auto complete = [&] {
        const TArchiveQDR& a = *engine->Archive;
        int months = 0;
        for (uint8_t i = 0; i < 2 && a.RequestCount == 0; ++i)
            if (a.MonthEntry(i).Month / 12 != 0 && a.MonthProgress(i).Done >= a.MonthEntry(i).Count)
                ++months;
        return months == 2;
    };
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(PumpUntil(complete, 240000)) << "stored " << engine->ArchiveReplies->Stored;
    const qint64 ms = clock.elapsed();
    // The engine saves what it holds as it goes.
    engine.reset();
    ExpectFolder(rig, ExpectedArchive(rig.Mirror.Regulator()));
    const int late = rig.Faults(false)[QStringLiteral("late")];
    EXPECT_GE(late, 3) << "too few late replies to test anything";
    std::printf("[ timing ] late replies, %s, generation %d: %lld ms, %d replies late\n", l.Serial ? "serial" : "UDP",
                l.Generation, static_cast<long long>(ms), late);
}

INSTANTIATE_TEST_SUITE_P(Download, LateReplies,
                         ::testing::Values(LateLink{false, 1}, LateLink{true, 2}, LateLink{false, 3}),
                         [](const auto& info) {
                             return std::string(info.param.Serial ? "Serial" : "Udp") + "Generation" +
                                    std::to_string(info.param.Generation);
                         });

INSTANTIATE_TEST_SUITE_P(Download, PerGeneration,
                         ::testing::Values(Archive{1, "2026-11-01T05:00", 2700, "1,3,7-12,2701,2800-2830,2961,2965-2968,2976"},
                                           Archive{3, "2026-11-01T03:00", 2960, "1,3,7-9,2961,2965-2968,2976"}),
                         [](const auto& info) { return "Generation" + std::to_string(info.param.Generation); });

// Checks every file after a kill: none may be cut short or unreadable, and
// each holds a beginning of what the finished download holds (same header,
// records a prefix), so nothing was misfiled on the way.
void ExpectSoundPrefixes(const Rig& rig, const std::vector<TExpectedMonth>& want, int kill)
{
    for (const auto& [name, bytes] : rig.Files()) {
        if (!name.endsWith(QLatin1String(".qdr"), Qt::CaseInsensitive))
            continue; // not a name a later run loads
        const auto m = std::find_if(want.begin(), want.end(), [&](const auto& e) { return e.FileName() == name; });
        if (m == want.end()) {
            ADD_FAILURE() << "kill " << kill << ": unexpected monthly file " << name.toStdString();
            continue;
        }
        const QString fault = MonthFileFault(name, bytes);
        if (!fault.isEmpty()) {
            ADD_FAILURE() << "kill " << kill << ": " << fault.toStdString();
            continue;
        }
        const QByteArray full = m->Bytes();
        EXPECT_EQ(bytes.left(12), full.left(12)) << "kill " << kill << ": header of " << name.toStdString();
        EXPECT_TRUE(full.mid(12).startsWith(bytes.mid(12)))
            << "kill " << kill << ": " << name.toStdString() << " is not a beginning of the finished file";
    }
}

TEST(DownloadKilled, SigkillAtRandomMomentsLeavesSoundFilesAndTheRerunsFinishTheJob)
{
    REQUIRE_TOOL();
    // October's last 160 records and 136 of November: a fresh run saves
    // October when it is complete and November at the end.
    Rig rig(SimArgs(1, "2026-11-02T10:00", 2976 - 160));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const std::vector<TExpectedMonth> want = ExpectedArchive(rig.Mirror.Regulator());
    ASSERT_EQ(want.size(), 2u);
    // Kills at a random time from the start (start-up or mid-month), or a
    // random moment after a save became visible in the folder (right next
    // to a save, or while the next month is being fetched).
    struct Moment {
        bool AfterSave;
        int From, To;
    };
    const Moment plan[] = {{false, 300, 3500}, {true, 0, 200}, {false, 1500, 3400},
                           {false, 1500, 3400}, {true, 0, 30},  {true, 0, 30}};
    std::mt19937 random(20261102);
    int kills = 0, killsWithFiles = 0;
    for (const Moment& m : plan) {
        rig.Start();
        const int ms = std::uniform_int_distribution<int>(m.From, m.To)(random);
        const bool killed = m.AfterSave ? rig.KillAfterSave(ms) : rig.KillAfter(ms);
        if (!killed) {
            const FetchRun r = rig.Finish();
            ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
            break;
        }
        ++kills;
        bool monthly = false;
        for (const auto& [name, bytes] : rig.Files())
            monthly = monthly || name.endsWith(QLatin1String(".qdr"));
        killsWithFiles += monthly;
        ExpectSoundPrefixes(rig, want, kills);
        if (HasFailure())
            return;
    }
    const FetchRun last = rig.Fetch();
    ASSERT_EQ(last.Exit, 0) << last.Text().toStdString();
    EXPECT_GE(kills, 3);
    EXPECT_GE(killsWithFiles, 2) << "too few kills caught a download with files on disk";
    // Whatever the kills left behind, the finished folder holds the monthly
    // files and nothing else.
    ExpectFolder(rig, want);
    std::printf("[ timing ] %d kills, %d of them with monthly files on disk\n", kills, killsWithFiles);
}

TEST(DownloadReplaced, FewerRecordsThanFiledKeepTheMonthAsReplacedAndFetchItAnew)
{
    REQUIRE_TOOL();
    Rig rig(SimArgs(1, "2026-11-01T05:00", 2970));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    std::vector<TExpectedMonth> want = ExpectedArchive(rig.Mirror.Regulator());
    ASSERT_EQ(want.size(), 2u);
    FetchRun r = rig.Fetch();
    ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
    ExpectFolder(rig, want);
    const QByteArray filed = rig.Files()[want[1].FileName()];

    // The regulator starts counting November from 1 again; an hour later it
    // reports 4 records, fewer than the 20 already filed. Nothing is filed
    // after them: the file is kept and the month begins anew.
    rig.Mirror.Restart();
    ASSERT_TRUE(rig.Control("restart"));
    rig.Mirror.Advance(60);
    ASSERT_TRUE(rig.Control("advance 60"));
    ASSERT_EQ(rig.Mirror.Regulator().MonthTable().Count0, 4);
    TExpectedMonth fresh;
    fresh.Month = want[1].Month;
    fresh.RecordSize = want[1].RecordSize;
    fresh.KindMask = want[1].KindMask;
    fresh.File(rig.Mirror.Regulator(), 1, 4);
    ASSERT_EQ(fresh.Held(), 4);
    want[1] = fresh;

    r = rig.Fetch();
    ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
    ExpectFolder(rig, want, {{QStringLiteral("2026nov.qdr.replaced"), filed}});
    EXPECT_TRUE(r.Out.contains(QStringLiteral("2026NOV  the regulator (\"QDR-1 MAX DEMAND REGULATOR V1.4 1999\") counts "
                                              "only 4 records, fewer than filed; the 20 positions filed are kept in "
                                              "2026nov.qdr.replaced, the month is fetched anew")))
        << r.Text().toStdString();
    EXPECT_TRUE(r.LastLine().startsWith(QStringLiteral("done: 2026OCT 6 records, 2026NOV 4 records"))) << r.Text().toStdString();
}

TEST(DownloadReplaced, ARegulatorReplacedUnderARunningEngineKeepsItsMonthsAndFilesTheNewOnesWhole)
{
    // The last 30 records of November and three days of December.
    Rig rig(SimArgs(1, "2026-12-03T12:00", 2880 - 30), QStringLiteral("Rychlo=1\nTimeout=300\n"));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    TMIniFile cfg(rig.Site.Path(QStringLiteral("qdrwin.ini")));
    auto engine = std::make_unique<TEngine>(TSettings::Read(cfg), 100, rig.Site.Path());
    std::vector<TArchiveQDR::TMovedAside> moved;
    engine->OnMovedAside = [&](const TArchiveQDR::TMovedAside& m) { moved.push_back(m); };
    const auto complete = [&] {
        const TArchiveQDR& a = *engine->Archive;
        int months = 0;
        for (uint8_t i = 0; i < 2 && a.RequestCount == 0; ++i)
            if (a.MonthEntry(i).Month / 12 != 0 && a.MonthProgress(i).Done >= a.MonthEntry(i).Count)
                ++months;
        return months == 2;
    };
    ASSERT_TRUE(PumpUntil(complete, 120000)) << "stored " << engine->ArchiveReplies->Stored;
    engine->Archive->SaveAll();
    ExpectFolder(rig, ExpectedArchive(rig.Mirror.Regulator()));
    const std::map<QString, QByteArray> old = rig.Files();

    // The regulator is stopped; 5 s later one with an emptied archive (3
    // records of December, 10 of November) answers at the same address.
    rig.Sim.Stop();
    Pump(5000);
    QStringList args = SimArgs(1, "2026-12-01T00:45", 2870, {QStringLiteral("--id"), QStringLiteral("NEW REGULATOR")});
    args.replace(args.indexOf(QStringLiteral("127.0.0.1:0")), rig.Sim.Udp);
    SimProcess other(args);
    TSimMirror mirror(args);
    ASSERT_TRUE(other.Ready && mirror.Valid) << QString::fromUtf8(other.StdErr()).toStdString();
    ASSERT_TRUE(PumpUntil([&] { return moved.size() == 2 && complete(); }, 60000))
        << moved.size() << " months moved aside, stored " << engine->ArchiveReplies->Stored;
    engine.reset();

    for (const TArchiveQDR::TMovedAside& m : moved) {
        EXPECT_EQ(m.Reason, QLatin1String(TArchiveQDR::ReplacedReason));
        EXPECT_EQ(m.Was, QStringLiteral("QDR-1 MAX DEMAND REGULATOR V1.4 1999"));
        EXPECT_EQ(m.Now, QStringLiteral("NEW REGULATOR"));
    }
    ExpectFolder(rig, ExpectedArchive(mirror.Regulator()),
                 {{QStringLiteral("2026nov.qdr.replaced"), old.at(QStringLiteral("2026nov.qdr"))},
                  {QStringLiteral("2026dec.qdr.replaced"), old.at(QStringLiteral("2026dec.qdr"))}});
}

TEST(DownloadMonthTurn, FinishesTheOldMonthAndBeginsTheNewOne)
{
    REQUIRE_TOOL();
    // October keeps its last 106 records, November has 4 when the first run
    // ends; the second run is a month later.
    Rig rig(SimArgs(1, "2026-11-01T01:00", 2870));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    std::vector<TExpectedMonth> want = ExpectedArchive(rig.Mirror.Regulator());
    ASSERT_EQ(want.size(), 2u);
    FetchRun r = rig.Fetch();
    ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
    ExpectFolder(rig, want);
    const auto october = rig.Identity(want[0].FileName());

    rig.Mirror.Advance(43200);
    ASSERT_TRUE(rig.Control("advance 43200"));
    const TSimMonthTable table = rig.Mirror.Regulator().MonthTable();
    ASSERT_EQ(table.Month1, want[1].Month) << "November moved to the older entry";
    // November's file goes on from what it holds; the regulator lost
    // November's first 2870 records, so the rest of them follow a gap of
    // empty records. December begins a file of its own.
    want[1].File(rig.Mirror.Regulator(), uint16_t(table.Lost + 1), uint16_t(table.Lost + table.Count1));
    TExpectedMonth december;
    december.Month = table.Month0;
    december.RecordSize = want[1].RecordSize;
    december.KindMask = want[1].KindMask;
    december.File(rig.Mirror.Regulator(), 1, table.Count0);
    ASSERT_EQ(december.Held(), 4);
    want.push_back(december);

    r = rig.Fetch();
    ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
    ExpectFolder(rig, want);
    EXPECT_EQ(rig.Identity(want[0].FileName()), october) << "October is no longer in the regulator's table";
}

TEST(DownloadSerial, APseudoTerminalFilesTheSameBytes)
{
    REQUIRE_TOOL();
    QStringList args = SimArgs(1, "2026-11-01T02:00", 2966);
    args.replace(args.indexOf(QStringLiteral("--udp")), QStringLiteral("--serial"));
    args.removeOne(QStringLiteral("127.0.0.1:0"));
    args << QStringLiteral("--fast");
    Rig rig(args, {}, true);
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const FetchRun r = rig.Fetch();
    ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
    ExpectFolder(rig, ExpectedArchive(rig.Mirror.Regulator()));
    std::printf("[ timing ] serial: %lld ms\n", static_cast<long long>(r.Ms));
}


// The fast download: the next archive request as soon as the last exchange
// ended. The same bytes over every link, clean and with faults and late
// replies (which now arrive while the next fast request waits).
struct FastLink {
    const char* Name;
    bool Serial;
    bool Paced; // 1200 baud with the bus echo
    int Generation;
    bool Faults;
};

class FastDownload : public ::testing::TestWithParam<FastLink> {};

TEST_P(FastDownload, FilesTheSameBytes)
{
    REQUIRE_TOOL();
    const FastLink l = GetParam();
    QStringList more;
    QString ini;
    if (l.Faults) {
        // A late reply arrives after the time-out, while the next fast
        // request is outstanding.
        more << QStringLiteral("--loss") << QStringLiteral("0.1") << QStringLiteral("--corrupt") << QStringLiteral("0.05")
             << QStringLiteral("--short") << QStringLiteral("0.05") << QStringLiteral("--late") << QStringLiteral("0.15")
             << QStringLiteral("--duplicate") << QStringLiteral("0.05") << QStringLiteral("--late-ms")
             << QString::fromLatin1(l.Paced ? "900" : "510");
        ini = QStringLiteral("Timeout=%1\n").arg(l.Paced ? 600 : 300);
    }
    if (l.Serial && !l.Paced)
        more << QStringLiteral("--fast");
    if (l.Paced)
        more << QStringLiteral("--echo");
    if (!l.Serial && !l.Faults)
        more << QStringLiteral("--turnaround") << QStringLiteral("0");
    // Generation 3: October's last records and November's first hours; a
    // paced line carries about two a second, so it gets fewer.
    // A clean UDP line gets about a thousand, so the start-up hardly counts
    // against the pace.
    const int lost = l.Generation == 3 ? (l.Paced ? 2966 : !l.Serial && !l.Faults ? 2000 : 2900) : 2700;
    QStringList args = SimArgs(l.Generation, l.Generation == 3 ? "2026-11-01T03:00" : "2026-11-01T05:00", lost, more);
    if (l.Serial) {
        args.replace(args.indexOf(QStringLiteral("--udp")), QStringLiteral("--serial"));
        args.removeOne(QStringLiteral("127.0.0.1:0"));
    }
    Rig rig(args, ini, l.Serial);
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const std::vector<TExpectedMonth> want = ExpectedArchive(rig.Mirror.Regulator());
    const FetchRun run = rig.Fetch({QStringLiteral("--fast")}, 180000);
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    ExpectFolder(rig, want);
    EXPECT_FALSE(run.Out.contains(QLatin1String("fast download off"))) << run.Text().toStdString();
    const int held = want[0].Held() + want[1].Held();
    if (l.Faults) {
        EXPECT_GE(rig.Faults(true)[QStringLiteral("late")], 2) << "too few late replies to test anything";
    } else if (!l.Serial) {
        // The schedule asks at most one record per 100 ms cycle: it would
        // need held * 100 ms, start-up aside.
        EXPECT_LT(run.Ms, held * 60) << held << " records";
    }
    std::printf("[ timing ] fast, %s: %d records in %lld ms\n", l.Name, held, static_cast<long long>(run.Ms));
}

INSTANTIATE_TEST_SUITE_P(Download, FastDownload,
                         ::testing::Values(FastLink{"UdpGeneration3", false, false, 3, false},
                                           FastLink{"UdpGeneration3Faulty", false, false, 3, true},
                                           FastLink{"SerialGeneration1Faulty", true, false, 1, true},
                                           FastLink{"PacedGeneration3Faulty", true, true, 3, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FastDownloadFallback, ARegulatorThatCannotKeepUpIsAskedOnTheScheduleForTheRestOfTheRun)
{
    REQUIRE_TOOL();
    // Requests sooner than 600 ms after the one before go unanswered: every
    // fast one (the next comes 300 ms after an unanswered one), none of the
    // schedule's, a second apart on a serial line.
    QStringList args = SimArgs(3, "2026-11-01T03:00", 2968,
                               {QStringLiteral("--fast"), QStringLiteral("--min-gap"), QStringLiteral("600")});
    args.replace(args.indexOf(QStringLiteral("--udp")), QStringLiteral("--serial"));
    args.removeOne(QStringLiteral("127.0.0.1:0"));
    Rig rig(args, QStringLiteral("Timeout=300\n"), true);
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    const FetchRun run = rig.Fetch({QStringLiteral("--fast")}, 180000);
    ASSERT_EQ(run.Exit, 0) << run.Text().toStdString();
    ExpectFolder(rig, ExpectedArchive(rig.Mirror.Regulator()));
    EXPECT_EQ(run.Out.count(QLatin1String("fast download off: ")), 1) << run.Text().toStdString();
}

// The engine as the service runs it (the live page, Rychlo=1 in the
// configuration) near the end of a measuring interval: the live blocks keep
// coming every 2 s between the fast archive requests, a write goes first,
// and a regulator that
// answers nothing for a while is a link problem, not a reason to give the
// fast download up.
TEST(FastDownloadLive, LiveValuesStayFreshAndASilentSpellIsNoReasonToFallBack)
{
    // 14 min 30 s into a 15-minute interval, the clock standing; about a
    // thousand records to fetch, 10 ms each at least.
    Rig rig(SimArgs(3, "2026-11-01T02:00", 2000,
                    {QStringLiteral("--offset"), QStringLiteral("870"), QStringLiteral("--turnaround"), QStringLiteral("10")}),
            QStringLiteral("Timeout=300\nRychlo=1\n"));
    ASSERT_TRUE(rig.Ready) << rig.Why().toStdString();
    TMIniFile cfg(rig.Site.Path(QStringLiteral("qdrwin.ini")));
    auto engine = std::make_unique<TEngine>(TSettings::Read(cfg), 100, rig.Site.Path());
    ASSERT_TRUE(engine->Fast());
    struct Watch : TEngineObserver {
        QElapsedTimer Clock;
        std::vector<qint64> Live;
        int Archive = 0;
        int Fallbacks = 0;
        void LiveArrived(const TEngine&, uint8_t) override { Live.push_back(Clock.elapsed()); }
        void RecordsFiled(const TEngine&, uint16_t, uint16_t, uint16_t) override { ++Archive; }
        void FastFellBack(const TEngine&) override { ++Fallbacks; }
    } watch;
    watch.Clock.start();
    engine->AddObserver(&watch);
    const auto complete = [&] {
        const TArchiveQDR& a = *engine->Archive;
        int months = 0;
        for (uint8_t i = 0; i < 2 && a.RequestCount == 0; ++i)
            if (a.MonthEntry(i).Month / 12 != 0 && a.MonthProgress(i).Done >= a.MonthEntry(i).Count)
                ++months;
        return months == 2;
    };
    ASSERT_TRUE(PumpUntil([&] { return engine->ArchiveReplies->Stored >= 300; }, 60000));
    // A write goes first, also between fast requests.
    ASSERT_NE(engine->Archive->RequestCount, 0);
    EXPECT_TRUE(engine->WriteRegulatedPower(500, 400, 5000));
    EXPECT_EQ(engine->ValuePregV->GetDisplay(), QStringLiteral("500"));
    const qint64 muted = watch.Clock.elapsed();
    ASSERT_FALSE(rig.Reply("mute 3").isEmpty());
    ASSERT_TRUE(PumpUntil(complete, 120000)) << "stored " << engine->ArchiveReplies->Stored;
    const qint64 done = watch.Clock.elapsed();
    engine->RemoveObserver(&watch);
    EXPECT_EQ(watch.Fallbacks, 0);
    EXPECT_FALSE(engine->FastFallback());
    // Between the first live block and the end, outside the silent spell
    // (and the time-outs after it), the live blocks come about every 2 s
    // (bounded here well under the 10 s away from an interval's end, with
    // room for a loaded machine); and the archive had most of the line.
    qint64 longest = 0;
    int during = 0;
    for (size_t i = 1; i < watch.Live.size() && watch.Live[i] <= done; ++i) {
        ++during;
        if (watch.Live[i] < muted || watch.Live[i - 1] > muted + 5000)
            longest = std::max(longest, watch.Live[i] - watch.Live[i - 1]);
    }
    EXPECT_GE(during, 4) << "the download was too short to tell";
    EXPECT_LE(longest, 6000) << during << " live blocks";
    EXPECT_GE(watch.Archive, 5 * during) << "the archive did not get most of the line";
    engine.reset();
    ExpectFolder(rig, ExpectedArchive(rig.Mirror.Regulator()));
    std::printf("[ timing ] fast with live turns: %lld ms, %d live blocks, %d archive replies filed, longest live gap %lld ms\n",
                static_cast<long long>(done), during, watch.Archive, static_cast<long long>(longest));
}

} // namespace
