// qdrtool probe as a technician runs it: in a site folder with qdrwin.ini,
// against the simulated regulator over UDP and over a pseudo-terminal.
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include "comm/BlockSerial.h"

#include <QFile>
#include <QRegularExpression>

#include <csignal>

#include <gtest/gtest.h>

TEST(ProbeTool, IdentifiesTheSimulatedRegulatorOverUdp)
{
    REQUIRE_TOOL();
    SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--preg"),
                    QStringLiteral("512,256"), QStringLiteral("--meters"), QStringLiteral("3")});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\r\nIP=%1\r\n").arg(sim.Udp));
    const ToolRun r = RunTool(site.Path(), {QStringLiteral("probe"), QStringLiteral("--count"), QStringLiteral("2")});
    ASSERT_EQ(r.Exit, 0) << r.Out.toStdString() << r.Err.toStdString();
    EXPECT_TRUE(r.Out.contains(sim.Udp)) << "the transport is described";
    EXPECT_TRUE(r.Out.contains(QStringLiteral("identification"))) << r.Out.toStdString();
    EXPECT_TRUE(r.Out.contains(QRegularExpression(QStringLiteral("Generation\\s+3\\n"))));
    EXPECT_TRUE(r.Out.contains(QRegularExpression(QStringLiteral("Meters\\s+3\\n"))));
    EXPECT_TRUE(r.Out.contains(QStringLiteral("VT 512 kW, NT 256 kW")));
    EXPECT_TRUE(r.Out.contains(QStringLiteral("2002")));
    EXPECT_EQ(r.Out.count(QRegularExpression(QStringLiteral("\\blive\\b"))), 2) << r.Out.toStdString();
    EXPECT_TRUE(r.Err.isEmpty()) << r.Err.toStdString();
}

TEST(ProbeTool, IdentifiesTheSimulatedRegulatorOverAPseudoTerminal)
{
    REQUIRE_TOOL();
    SimProcess sim({QStringLiteral("--serial"), QStringLiteral("--generation"), QStringLiteral("2"),
                    QStringLiteral("--fast")});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\r\nDevice=%1\r\nCom=4\r\n").arg(sim.Serial));
    const ToolRun r = RunTool(site.Path(), {QStringLiteral("probe")});
    ASSERT_EQ(r.Exit, 0) << r.Out.toStdString() << r.Err.toStdString();
    EXPECT_TRUE(r.Out.contains(sim.Serial + QStringLiteral(":1200,N,8,1"))) << r.Out.toStdString();
    EXPECT_TRUE(r.Out.contains(QRegularExpression(QStringLiteral("Generation\\s+2\\n"))));
}

TEST(ProbeTool, FailuresGiveAStatusAndOneLineReason)
{
    REQUIRE_TOOL();
    {
        SilentPeer silent;
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:%1\nTimeout=300\n").arg(silent.Port));
        const ToolRun r = RunTool(site.Path(), {QStringLiteral("probe"), QStringLiteral("--timeout"), QStringLiteral("1")});
        EXPECT_EQ(r.Exit, 1);
        EXPECT_TRUE(r.Err.startsWith(QStringLiteral("qdrtool: no answer"))) << r.Err.toStdString();
        EXPECT_EQ(r.Err.count(QLatin1Char('\n')), 1);
        EXPECT_TRUE(r.Out.contains(QStringLiteral("Timeout")));
    }
    {
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nDevice=/nonexistent/ttyQDR\n"));
        const ToolRun r = RunTool(site.Path(), {QStringLiteral("probe"), QStringLiteral("--timeout"), QStringLiteral("2")});
        EXPECT_EQ(r.Exit, 3);
        EXPECT_TRUE(r.Err.contains(QStringLiteral("/nonexistent/ttyQDR"))) << r.Err.toStdString();
        EXPECT_EQ(r.Err.count(QLatin1Char('\n')), 1);
    }
    {
        // A typing error in the host name is no silent regulator. The
        // reserved .invalid domain never resolves.
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=nosuchhost.invalid\n"));
        const ToolRun r = RunTool(site.Path(), {QStringLiteral("probe"), QStringLiteral("--timeout"), QStringLiteral("5")});
        EXPECT_EQ(r.Exit, 3);
        EXPECT_EQ(r.Err, QStringLiteral("qdrtool: cannot resolve nosuchhost.invalid\n"));
        EXPECT_FALSE(r.Out.contains(QStringLiteral("Timeout"))) << r.Out.toStdString();
    }
    {
        SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:99999\n"));
        const ToolRun r = RunTool(site.Path(), {QStringLiteral("probe")});
        EXPECT_EQ(r.Exit, 2);
        EXPECT_TRUE(r.Err.contains(QStringLiteral("bad configuration"))) << r.Err.toStdString();
        const ToolRun missing = RunTool(site.Path(), {QStringLiteral("probe"), QStringLiteral("--config"), QStringLiteral("absent.ini")});
        EXPECT_EQ(missing.Exit, 2);
        EXPECT_TRUE(missing.Err.contains(QStringLiteral("absent.ini"))) << missing.Err.toStdString();
        const ToolRun badOption = RunTool(site.Path(), {QStringLiteral("probe"), QStringLiteral("--count"), QStringLiteral("x")});
        EXPECT_EQ(badOption.Exit, 2);
    }
}

TEST(ProbeTool, APortAnotherClientHoldsIsNotOpened)
{
    REQUIRE_TOOL();
    SimProcess sim({QStringLiteral("--serial"), QStringLiteral("--fast")});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nDevice=%1\n").arg(sim.Serial));
    const QStringList probe{QStringLiteral("probe"), QStringLiteral("--timeout"), QStringLiteral("3")};
    const QString lock = TBlockSerial::LockFolder + QLatin1Char('/') + TBlockSerial::LockName(sim.Serial);
    {
        // Another client of this program: its flock keeps the port, root or not.
        TBlockSerial holder;
        holder.Open(sim.Serial);
        ASSERT_EQ(holder.LastError, 0) << holder.LastErrorText.toStdString();
        const ToolRun r = RunTool(site.Path(), probe);
        EXPECT_EQ(r.Exit, 3);
        EXPECT_TRUE(r.Err.contains(sim.Serial + QStringLiteral(" is in use"))) << r.Err.toStdString();
        EXPECT_FALSE(r.Out.contains(QStringLiteral("Generation"))) << r.Out.toStdString();
    }
    EXPECT_FALSE(QFile::exists(lock)) << "the lock file goes with the port";
    if (!QFileInfo(TBlockSerial::LockFolder).isWritable())
        GTEST_SKIP() << "no lock folder to write to";
    {
        // Another serial program's lock file with a live PID (the simulator's).
        QFile f(lock);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::number(sim.Proc.processId()).rightJustified(10, ' ') + '\n');
        f.close();
        const ToolRun r = RunTool(site.Path(), probe);
        EXPECT_EQ(r.Exit, 3);
        EXPECT_TRUE(r.Err.contains(QStringLiteral("in use by process %1").arg(sim.Proc.processId()))) << r.Err.toStdString();
    }
    {
        // One left by a process that is gone is taken over.
        QFile f(lock);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(" 999999999\n");
        f.close();
        const ToolRun r = RunTool(site.Path(), probe);
        EXPECT_EQ(r.Exit, 0) << r.Text().toStdString();
        EXPECT_FALSE(QFile::exists(lock));
    }
    QFile::remove(lock);
}

TEST(ProbeTool, HelpListsTheCommands)
{
    REQUIRE_TOOL();
    const ToolRun help = RunTool(QDir::tempPath(), {QStringLiteral("help")});
    EXPECT_EQ(help.Exit, 0);
    EXPECT_TRUE(help.Out.contains(QStringLiteral("probe")));
    const ToolRun probeHelp = RunTool(QDir::tempPath(), {QStringLiteral("probe"), QStringLiteral("--help")});
    EXPECT_EQ(probeHelp.Exit, 0);
    EXPECT_TRUE(probeHelp.Out.contains(QStringLiteral("--count")));
    const ToolRun unknown = RunTool(QDir::tempPath(), {QStringLiteral("bogus")});
    EXPECT_EQ(unknown.Exit, 2);
    EXPECT_TRUE(unknown.Err.contains(QStringLiteral("bogus")));
}

TEST(ProbeTool, FewerLiveRepliesThanAskedForFail)
{
    REQUIRE_TOOL();
    SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0")});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n").arg(sim.Udp));
    // The regulator falls silent once it has told who it is.
    for (const bool allow : {false, true}) {
        QProcess p;
        p.setWorkingDirectory(site.Path());
        QStringList args{QStringLiteral("probe"), QStringLiteral("--count"), QStringLiteral("50"), QStringLiteral("--timeout"), QStringLiteral("2")};
        if (allow)
            args << QStringLiteral("--allow-fewer");
        p.start(QStringLiteral(QDRTOOL_PATH), args);
        QByteArray out;
        while (!out.contains("Last RESET") && p.waitForReadyRead(10000))
            out += p.readAllStandardOutput();
        ::kill(static_cast<pid_t>(sim.Proc.processId()), SIGSTOP);
        ASSERT_TRUE(p.waitForFinished(15000));
        ::kill(static_cast<pid_t>(sim.Proc.processId()), SIGCONT);
        ToolRun r;
        CollectTool(p, r);
        EXPECT_EQ(r.Exit, allow ? 0 : 1) << r.Text().toStdString();
        EXPECT_TRUE(r.Err.contains(QStringLiteral("of 50 live replies"))) << r.Err.toStdString();
    }
}

TEST(ProbeTool, ALineThatIsNoisyForAWhileIsTriedAgainUntilTheTimeOut)
{
    REQUIRE_TOOL();
    SimProcess sim({QStringLiteral("--serial"), QStringLiteral("--fast"), QStringLiteral("--noise")});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nDevice=%1\nTimeout=400\n").arg(sim.Serial));
    QProcess probe;
    probe.setWorkingDirectory(site.Path());
    probe.start(QStringLiteral(QDRTOOL_PATH), {QStringLiteral("probe"), QStringLiteral("--timeout"), QStringLiteral("60")});
    ASSERT_TRUE(probe.waitForStarted(10000));
    // The first exchange fails on the noise; the line then goes quiet.
    QByteArray out;
    const QRegularExpression failed(QStringLiteral("identification +2 "));
    while (!QString::fromUtf8(out).contains(failed) && probe.waitForReadyRead(30000))
        out += probe.readAllStandardOutput();
    ASSERT_TRUE(QString::fromUtf8(out).contains(failed)) << out.toStdString();
    sim.Command("noise off");
    ASSERT_TRUE(probe.waitForFinished(60000));
    out += probe.readAllStandardOutput();
    EXPECT_EQ(probe.exitCode(), 0) << out.toStdString() << probe.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("Identification")) << out.toStdString();
}
