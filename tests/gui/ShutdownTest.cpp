// Closing the window: the line is left idle and the threads stopped, and a
// SIGTERM mid-download leaves monthly files that a full download continues.
#include "GuiTestSupport.h"
#include "app/widgets/FormMain.h"
#include "app/widgets/PageArchive.h"
#include "app/widgets/PanelMail.h"
#include "app/widgets/SheetMeasurements.h"
#include "regulator/FileArchQDR.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTimer>
#include <gtest/gtest.h>

#include <signal.h>

namespace {

QString QdrwinPath()
{
    return QFileInfo(QStringLiteral(QDRSIM_PATH)).dir().absoluteFilePath(QStringLiteral("../src/app/widgets/qdrwin"));
}

} // namespace

TEST(Shutdown, CloseWaitsForTheLineAndStopsTheThreads)
{
    auto sim = StartUdpSim({"--turnaround", "300"});
    ASSERT_TRUE(sim->Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n").arg(sim->Udp));
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 100, site.Path());
    window.show();
    ASSERT_TRUE(PumpUntil([&] { return !window.Engine->ComBuf->RootIdle(); }, 5000));

    window.OutputBusy = true;
    EXPECT_FALSE(window.close());
    EXPECT_FALSE(window.Engine->Closed());
    window.OutputBusy = false;
    EXPECT_TRUE(window.close());
    EXPECT_TRUE(window.Engine->Closed());
    EXPECT_TRUE(window.Engine->ComBuf->RootIdle());
    EXPECT_EQ(window.Engine->Schedule().PollGroup(), 0);
}

TEST(Shutdown, ASignalStopsARunningOutputAndThenCloses)
{
    auto sim = StartUdpSim();
    ASSERT_TRUE(sim->Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[MAIL]\nHost=127.0.0.1\n").arg(sim->Udp));
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 100, site.Path());
    window.show();
    TSheetMeasurements& sheet = *window.PageA->TabSheetAM;
    sheet.EditF->setText(site.Path("2026NOV.TXT"));
    // The mail panel waits for the user; the signal comes meanwhile.
    QTimer::singleShot(200, &window, [&] {
        EXPECT_FALSE(sheet.PanelM->isHidden());
        EXPECT_FALSE(window.close());
        window.Shutdown();
    });
    sheet.ButtonMClick();
    EXPECT_TRUE(PumpUntil([&] { return window.Engine->Closed(); }, 5000));
    EXPECT_FALSE(window.OutputBusy);
}

TEST(Shutdown, SigtermDuringADownloadKeepsTheMonthlyFilesSound)
{
    const QString qdrwin = QdrwinPath();
    ASSERT_TRUE(QFileInfo::exists(qdrwin)) << qdrwin.toStdString();
    // Generation 1 reads batches of records: the full download takes seconds.
    auto sim = StartUdpSim({"--generation", "1", "--now", "2026-11-02T10:00", "--lost", "1500"});
    ASSERT_TRUE(sim->Ready);
    const QString ini = QStringLiteral("[KOMUNIKACIA]\nIP=%1\n").arg(sim->Udp);
    SiteDir cut(ini);
    SiteDir full(ini);

    QProcess win;
    win.setWorkingDirectory(cut.Path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    win.setProcessEnvironment(env);
    win.start(qdrwin, {});
    ASSERT_TRUE(win.waitForStarted(5000));
    // The signal comes once the download has saved something: on a loaded
    // machine a fixed pause may end before the first record.
    QElapsedTimer waited;
    waited.start();
    while (QDir(cut.Path()).entryList({"*.qdr"}, QDir::Files).isEmpty() && waited.elapsed() < 60000)
        QThread::msleep(50);
    ::kill(static_cast<pid_t>(win.processId()), SIGTERM);
    ASSERT_TRUE(win.waitForFinished(10000));
    EXPECT_EQ(win.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(win.exitCode(), 0);

    QProcess tool;
    tool.setWorkingDirectory(full.Path());
    tool.start(QStringLiteral(QDRTOOL_PATH), {"fetch", "--timeout", "20"});
    ASSERT_TRUE(tool.waitForFinished(100000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();

    const QStringList files = QDir(cut.Path()).entryList({"*.qdr"}, QDir::Files);
    ASSERT_FALSE(files.isEmpty());
    for (const QString& name : files) {
        const QByteArray part = FileContents(cut.Path(name));
        const QByteArray whole = FileContents(full.Path(name));
        TFileArchQDR file(0, 4608);
        ASSERT_TRUE(file.Load(cut.Path(name))) << name.toStdString();
        ASSERT_GT(file.RecordSize(), 0);
        const int header = file.HeaderSize();
        EXPECT_EQ((part.size() - header) % file.RecordSize(), 0) << name.toStdString();
        EXPECT_EQ(file.Held(), (part.size() - header) / file.RecordSize());
        ASSERT_GE(whole.size(), part.size()) << name.toStdString();
        // The records are the start of what the full download holds.
        EXPECT_EQ(part.mid(header), whole.mid(header, part.size() - header)) << name.toStdString();
        // Header words before the record count: header size, record size.
        EXPECT_EQ(part.left(4), whole.left(4));
    }
}
