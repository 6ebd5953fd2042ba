// What a hostile or careless site does to the files the programs write: a
// link or FIFO where a file should be, a month named as the output, a file
// planted with the wrong rights, a crashed run's leftovers, a lock folder
// everybody may write to.
#include "comm/BlockSerial.h"
#include "core/SafeFile.h"
#include "support/FileBytes.h"
#include "support/HandMonth.h"
#include "support/ToolRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray Native(const QString& name) { return QFile::encodeName(name); }

QStringList Entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// A process number nobody has: a child's, once it is gone.
pid_t DeadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

} // namespace

TEST(SafeWrites, CsvAndReportNeverWriteThroughALinkNorOverAMonth)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    const QString month = WriteHandMonth(dir.path(), 2, 2, 0, [](int k, int) { return uint16_t(k); });
    const QByteArray monthBytes = FileContents(month);
    const QString target = dir.filePath(QStringLiteral("target"));
    WriteBytes(target, {1, 2, 3});
    // Default names that are links, a link given with -o, a dangling link.
    for (const char* name : {"2026NOV.csv", "2026NOV.pdf", "link.out"})
        ASSERT_EQ(::symlink("target", Native(dir.filePath(QLatin1String(name))).constData()), 0);
    ASSERT_EQ(::symlink("absent", Native(dir.filePath(QStringLiteral("dangling.out"))).constData()), 0);
    const QStringList before = Entries(dir.path());
    for (const QString& command : {QStringLiteral("csv"), QStringLiteral("report")}) {
        const std::vector<std::pair<QStringList, QString>> cases = {
            {{command, "2026nov.qdr"}, "symbolic link"},
            {{command, "2026nov.qdr", "-o", "link.out"}, "symbolic link"},
            {{command, "2026nov.qdr", "-o", "dangling.out"}, "symbolic link"},
            {{command, "2026nov.qdr", "-o", "2026nov.qdr"}, "will not write over"},
            {{command, "2026nov.qdr", "-o", "2026dec.qdr"}, ".qdr"},
        };
        for (const auto& [args, reason] : cases) {
            const ToolRun run = RunTool(dir.path(), args, 120000);
            EXPECT_EQ(run.Exit, 2) << args.join(' ').toStdString() << "\n" << run.Text().toStdString();
            EXPECT_TRUE(run.Err.contains(reason)) << run.Err.toStdString();
        }
    }
    EXPECT_EQ(Entries(dir.path()), before) << "nothing created, the dangling link's target neither";
    EXPECT_EQ(ReadBytes(target), Bytes({1, 2, 3}));
    EXPECT_EQ(FileContents(month), monthBytes);
}

TEST(SafeWrites, AReplacedFileKeepsOwnerAndGroupButNoDangerousBits)
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("2026nov.qdr"));
    ASSERT_TRUE(ReplaceFile(name, QByteArray("old")).isEmpty());
    const bool root = ::geteuid() == 0;
    // As root: a file another user put in a shared folder.
    if (root) {
        ASSERT_EQ(::chown(Native(name).constData(), 4321, 8765), 0);
    }
    ASSERT_EQ(::chmod(Native(name).constData(), 06666), 0);
    ASSERT_TRUE(ReplaceFile(name, QByteArray("new")).isEmpty());
    struct stat st {};
    ASSERT_EQ(::lstat(Native(name).constData(), &st), 0);
    EXPECT_EQ(FileContents(name), QByteArray("new"));
    EXPECT_EQ(st.st_mode & 07777, 0664u) << "no set-ID bits, no write access for everybody";
    if (!root)
        GTEST_SKIP() << "owner and group are kept only where the process may set them (root)";
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
}

TEST(SafeWrites, ACrashedRunsScratchFolderGoesOnlyOnceItsWriterIsDead)
{
    QTemporaryDir dir;
    const QString dead = QStringLiteral(".out.txt.scratch-%1-Ab12Cd").arg(DeadPid());
    const QString live = QStringLiteral(".out.txt.scratch-1-Ab12Cd"); // init never dies
    for (const QString& folder : {dead, live}) {
        ASSERT_TRUE(QDir(dir.path()).mkdir(folder));
        WriteBytes(dir.filePath(folder + QStringLiteral("/out.txt")), {1});
    }
    ASSERT_TRUE(ReplaceFile(dir.filePath(QStringLiteral("other.txt")), QByteArray("x")).isEmpty());
    EXPECT_EQ(Entries(dir.path()), QStringList({live, QStringLiteral("other.txt")}));
}

TEST(SafeWrites, TheSerialLockFileIsNeverWaitedOnAndOnlyOursIsRemoved)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString pts = QString::fromLatin1(::ptsname(master));
    QTemporaryDir dir;
    const QString saved = TBlockSerial::LockFolder;
    TBlockSerial::LockFolder = dir.path();
    // The device as a site names it: a link like /dev/serial/by-id/...
    const QString byId = dir.filePath(QStringLiteral("usb-FTDI_RS485-if00"));
    ASSERT_TRUE(QFile::link(pts, byId));
    const QString lock = dir.filePath(QStringLiteral("LCK..") + pts.mid(5).replace(QLatin1Char('/'), QLatin1Char('_')));
    {
        // A FIFO in the lock folder everybody may write to.
        ASSERT_EQ(::mkfifo(Native(lock).constData(), 0666), 0);
        TBlockSerial serial;
        auto opened = std::async(std::launch::async, [&] { serial.Open(byId); });
        if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ::close(::open(Native(lock).constData(), O_WRONLY | O_NONBLOCK)); // lets the reader go
            opened.wait();
            ADD_FAILURE() << "opening the port waited on a FIFO";
        }
        EXPECT_TRUE(serial.IsOpen()) << serial.LastErrorText.toStdString();
        EXPECT_TRUE(serial.LockNote.contains(QStringLiteral("FIFO"))) << serial.LockNote.toStdString();
        ASSERT_EQ(::unlink(Native(lock).constData()), 0);
    }
    {
        TBlockSerial serial;
        serial.Open(byId);
        EXPECT_EQ(serial.LockFile(), lock) << "named after the device, not the link";
        // Another program's lock by now: not ours to remove.
        QFile other(lock);
        ASSERT_TRUE(other.open(QIODevice::WriteOnly | QIODevice::Truncate));
        other.write("         1\n");
    }
    EXPECT_TRUE(QFile::exists(lock));
    QFile::remove(lock);
    {
        // No lock file to be had: said, and the port is still used.
        TBlockSerial::LockFolder = dir.filePath(QStringLiteral("absent"));
        TBlockSerial serial;
        serial.Open(byId);
        EXPECT_TRUE(serial.IsOpen()) << serial.LastErrorText.toStdString();
        EXPECT_TRUE(serial.LockNote.contains(QStringLiteral("cannot create the lock file"))) << serial.LockNote.toStdString();
    }
    TBlockSerial::LockFolder = saved;
    ::close(master);
}
