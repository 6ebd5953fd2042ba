// qdrtool fetch as a site runs it: a folder with qdrwin.ini, the simulated
// regulator, and what the tool promises its callers: the exit statuses, the
// files as the progress, the lines it prints and the save when it is stopped.
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include "core/FolderLock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

namespace {

using FetchResult = ToolRun;

FetchResult Fetch(const QString& dir, const QStringList& args = {}, int ms = 60000)
{
    return RunTool(dir, QStringList{QStringLiteral("fetch")} + args, ms);
}

QByteArray Contents(const QString& name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

uint16_t Word(const QByteArray& b, int at)
{
    return static_cast<uint16_t>(uint8_t(b.at(at)) | (uint8_t(b.at(at + 1)) << 8));
}

// Records held: the header (12 bytes) gives the record size at offset 2.
int RecordsIn(const QByteArray& file)
{
    if (file.size() < 12 || Word(file, 2) == 0)
        return -1;
    return int((file.size() - 12) / Word(file, 2));
}

// 26 records of October are still held (2950 lost), 12 of November are
// complete at 3:00 on the 1st.
QStringList ShortMonths()
{
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), QStringLiteral("1"),
            QStringLiteral("--now"), QStringLiteral("2026-11-01T03:00"), QStringLiteral("--speed"), QStringLiteral("0"),
            QStringLiteral("--lost"), QStringLiteral("2950")};
}

QString UdpSite(const SimProcess& sim) { return QStringLiteral("[KOMUNIKACIA]\nIP=%1\n").arg(sim.Udp); }

} // namespace

TEST(FetchTool, FetchesBothMonthsThenOnlyWhatIsNew)
{
    REQUIRE_TOOL();
    SimProcess sim(ShortMonths());
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpSite(sim));
    const FetchResult first = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    ASSERT_EQ(first.Exit, 0) << first.Text().toStdString();
    EXPECT_TRUE(first.Err.isEmpty()) << first.Err.toStdString();
    const QStringList lines = first.Out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().startsWith(QStringLiteral("done: 2026OCT 26 records, 2026NOV 12 records, 38 fetched")))
        << lines.last().toStdString();
    EXPECT_TRUE(first.Out.contains(QStringLiteral("2026OCT  26/26 records  complete\n2026NOV  12/12 records  complete")))
        << "one line per finished month, the older first\n" << first.Out.toStdString();
    EXPECT_FALSE(first.Out.contains(QLatin1Char('\r'))) << "no terminal, no updating line";

    const QByteArray oct = Contents(site.Path(QStringLiteral("2026oct.qdr")));
    const QByteArray nov = Contents(site.Path(QStringLiteral("2026nov.qdr")));
    ASSERT_EQ(oct.size(), 12 + 26 * 6);
    ASSERT_EQ(nov.size(), 12 + 12 * 6);
    EXPECT_EQ(Word(oct, 4), 2950) << "the first record held is at the position of the first not lost";
    EXPECT_EQ(Word(nov, 12), 1440) << "the first interval of the month";
    EXPECT_EQ(Word(nov, 12 + 11 * 6), 1440 + 11 * 15);

    // The regulator's clock moves on by an hour: four more records.
    sim.Command("advance 60");
    const FetchResult second = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    ASSERT_EQ(second.Exit, 0) << second.Text().toStdString();
    EXPECT_TRUE(second.Out.contains(QStringLiteral("done: 2026OCT 26 records, 2026NOV 16 records, 4 fetched")))
        << second.Out.toStdString();
    EXPECT_EQ(Contents(site.Path(QStringLiteral("2026oct.qdr"))), oct) << "a finished month is not written again";
    const QByteArray nov2 = Contents(site.Path(QStringLiteral("2026nov.qdr")));
    EXPECT_EQ(nov2.left(nov.size()).mid(12), nov.mid(12)) << "what was filed stays as it was";
    EXPECT_EQ(nov2.size(), 12 + 16 * 6);

    const FetchResult third = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    ASSERT_EQ(third.Exit, 0) << third.Text().toStdString();
    EXPECT_TRUE(third.Out.contains(QStringLiteral(", 0 fetched"))) << third.Out.toStdString();
    EXPECT_EQ(Contents(site.Path(QStringLiteral("2026nov.qdr"))), nov2);
}

TEST(FetchTool, StoppedBySigtermItSavesWhatItHasAndALaterRunFinishes)
{
    REQUIRE_TOOL();
    // About 1000 records: several seconds of download.
    SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"),
                    QStringLiteral("2"), QStringLiteral("--now"), QStringLiteral("2026-11-01T00:30"),
                    QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--lost"), QStringLiteral("1976")});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpSite(sim));
    QProcess p;
    p.setWorkingDirectory(site.Path());
    p.start(QStringLiteral(QDRTOOL_PATH), {QStringLiteral("fetch")});
    ASSERT_TRUE(p.waitForStarted(5000));
    // Wait for the download to be under way, then stop it.
    QElapsedTimer t;
    t.start();
    QByteArray out;
    while (!out.contains("2026OCT") && t.elapsed() < 15000) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("2026OCT")) << out.toStdString();
    QThread::msleep(1500);
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(10000));
    FetchResult stopped;
    CollectTool(p, stopped);
    EXPECT_EQ(stopped.Exit, 143) << stopped.Text().toStdString();
    EXPECT_TRUE(stopped.Err.contains(QStringLiteral("interrupted"))) << stopped.Err.toStdString();
    const int saved = RecordsIn(Contents(site.Path(QStringLiteral("2026oct.qdr"))));
    EXPECT_GT(saved, 0) << "what was fetched before the signal is on disk";
    EXPECT_LT(saved, 1000);

    const FetchResult rest = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    ASSERT_EQ(rest.Exit, 0) << rest.Text().toStdString();
    EXPECT_TRUE(rest.Out.contains(QStringLiteral("done: 2026OCT 1000 records, 2026NOV 2 records, %1 fetched").arg(1002 - saved)))
        << rest.Out.toStdString() << " saved " << saved;
    EXPECT_EQ(RecordsIn(Contents(site.Path(QStringLiteral("2026oct.qdr")))), 1000);
}

TEST(FetchTool, FailuresGiveTheirStatusAndOneLineReason)
{
    REQUIRE_TOOL();
    {
        SilentPeer silent;
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:%1\nTimeout=300\n").arg(silent.Port));
        QElapsedTimer t;
        t.start();
        const FetchResult r = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("2")});
        EXPECT_EQ(r.Exit, 1) << r.Text().toStdString();
        EXPECT_TRUE(r.Err.startsWith(QStringLiteral("qdrtool: no answer from the regulator within 2 s"))) << r.Err.toStdString();
        EXPECT_EQ(r.Err.count(QLatin1Char('\n')), 1);
        EXPECT_LT(t.elapsed(), 8000);
        EXPECT_FALSE(r.Out.contains(QStringLiteral("done:")));
    }
    {
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nDevice=/nonexistent/ttyQDR\n"));
        const FetchResult r = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("5")});
        EXPECT_EQ(r.Exit, 3) << r.Text().toStdString();
        EXPECT_TRUE(r.Err.contains(QStringLiteral("/nonexistent/ttyQDR"))) << r.Err.toStdString();
    }
    {
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=nosuchhost.invalid:10001\n"));
        const FetchResult r = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("5")});
        EXPECT_EQ(r.Exit, 3) << r.Text().toStdString();
        EXPECT_TRUE(r.Err.endsWith(QStringLiteral("qdrtool: cannot resolve nosuchhost.invalid\n"))) << r.Err.toStdString();
    }
    {
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:9\n"));
        QFile plain(site.Path(QStringLiteral("plain")));
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
        plain.close();
        const FetchResult notFolder = Fetch(site.Path(), {QStringLiteral("--dir"), QStringLiteral("plain")});
        EXPECT_EQ(notFolder.Exit, 4) << notFolder.Text().toStdString();
        EXPECT_TRUE(notFolder.Err.contains(QStringLiteral("not a folder"))) << notFolder.Err.toStdString();
        const FetchResult missing = Fetch(site.Path(), {QStringLiteral("--dir"), site.Path(QStringLiteral("absent"))});
        EXPECT_EQ(missing.Exit, 4);
        // Nothing was left behind by the write check.
        EXPECT_EQ(QDir(site.Path()).entryList(QDir::Files | QDir::Hidden).size(), 2);

        for (const QStringList& args : {QStringList{QStringLiteral("--timeout"), QStringLiteral("0")},
                                        QStringList{QStringLiteral("--timeout")}, QStringList{QStringLiteral("--count"), QStringLiteral("1")},
                                        QStringList{QStringLiteral("--config"), QStringLiteral("absent.ini")}}) {
            const FetchResult r = Fetch(site.Path(), args);
            EXPECT_EQ(r.Exit, 2) << args.join(QLatin1Char(' ')).toStdString() << "\n" << r.Text().toStdString();
            EXPECT_EQ(r.Err.count(QLatin1Char('\n')), 1);
        }
    }
}

TEST(FetchTool, MonthlyFileNamesCannotBeTurnedAgainstTheSite)
{
    REQUIRE_TOOL();
    SimProcess sim(ShortMonths());
    ASSERT_TRUE(sim.Ready);
    const QByteArray oct = QByteArrayLiteral("2026oct.qdr");
    // A link, a FIFO (which once hung the run past SIGTERM) and, as root, a
    // device under the name of October's file: refused at once, naming it,
    // with nothing written through it.
    using Maker = std::function<bool(SiteDir&)>;
    const std::vector<std::pair<Maker, QString>> traps = {
        {[&](SiteDir& s) { return ::symlink("target", QFile::encodeName(s.Path(oct)).constData()) == 0; }, QStringLiteral("symbolic link")},
        {[&](SiteDir& s) { return ::mkfifo(QFile::encodeName(s.Path(oct)).constData(), 0666) == 0; }, QStringLiteral("FIFO")},
        {[&](SiteDir& s) { return ::mknod(QFile::encodeName(s.Path(oct)).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         QStringLiteral("character device")},
    };
    for (const auto& [make, kind] : traps) {
        SiteDir site(UdpSite(sim));
        QFile target(site.Path(QStringLiteral("target")));
        ASSERT_TRUE(target.open(QIODevice::WriteOnly));
        target.write("precious");
        target.close();
        if (!make(site))
            continue; // a device needs root
        QElapsedTimer t;
        t.start();
        const FetchResult r = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")}, 20000);
        EXPECT_EQ(r.Exit, 4) << r.Text().toStdString();
        EXPECT_TRUE(r.Err.contains(QStringLiteral("2026oct.qdr is a ") + kind)) << r.Err.toStdString();
        EXPECT_LT(t.elapsed(), 8000);
        EXPECT_EQ(Contents(site.Path(QStringLiteral("target"))), QByteArray("precious"));
        const QFileInfo left(site.Path(oct));
        EXPECT_FALSE(left.isFile() && !left.isSymLink()) << "the name was not replaced";
    }

    // A file of October that cannot be read whole is kept, beside one kept
    // before; the month then starts afresh, and this is said.
    SiteDir site(UdpSite(sim));
    const QByteArray junk(100, 'x');
    for (const auto& [name, bytes] : {std::pair{oct, junk}, std::pair{oct + ".unreadable", QByteArray("older")}}) {
        QFile f(site.Path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    const FetchResult r = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    ASSERT_EQ(r.Exit, 0) << r.Text().toStdString();
    EXPECT_EQ(Contents(site.Path(oct + ".unreadable")), QByteArray("older"));
    EXPECT_EQ(Contents(site.Path(oct + ".unreadable.1")), junk);
    EXPECT_TRUE(r.Err.contains(QStringLiteral("kept as ") + site.Path(oct + ".unreadable.1"))) << r.Err.toStdString();
    EXPECT_EQ(RecordsIn(Contents(site.Path(oct))), 26);
}

TEST(FetchTool, AFolderAnotherProgramHoldsEndsWithStatusThreeNamingIt)
{
    REQUIRE_TOOL();
    SimProcess sim(ShortMonths());
    ASSERT_TRUE(sim.Ready);
    SiteDir site(UdpSite(sim));
    TFolderLock window;
    ASSERT_EQ(window.Take(site.Path(), QStringLiteral("qdrwin")), TFolderLock::Taken);
    const FetchResult held = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    EXPECT_EQ(held.Exit, 3) << held.Text().toStdString();
    EXPECT_TRUE(held.Err.contains(QStringLiteral("is in use by qdrwin (PID %1)").arg(::getpid()))) << held.Err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(site.Path(QStringLiteral("2026nov.qdr"))));
    // Once it is let go, the folder is fetched into.
    window.Release();
    const FetchResult free = Fetch(site.Path(), {QStringLiteral("--timeout"), QStringLiteral("10")});
    EXPECT_EQ(free.Exit, 0) << free.Text().toStdString();
}
