// Files replaced whole and never through a link: what the text file, the
// workbook and the log rely on.
#include "core/Cp1250.h"
#include "core/SafeFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
QByteArray Contents(const QString& name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

TEST(SafeFile, ReplacesWholeKeepingPermissionsAndRefusesWhatIsNoRegularFile)
{
    QTemporaryDir dir;
    const QString text = dir.filePath(QStringLiteral("out.txt"));
    ASSERT_TRUE(SaveTextLines({QStringLiteral("a")}, text));
    ASSERT_EQ(::chmod(QFile::encodeName(text).constData(), 0640), 0);
    ASSERT_TRUE(SaveTextLines({QString::fromUtf8("ľ")}, text));
    EXPECT_EQ(Contents(text), QByteArray("\xBE\r\n"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(text).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "a replaced file keeps who may read it";

    const QString link = dir.filePath(QStringLiteral("link.txt"));
    ASSERT_EQ(::symlink("out.txt", QFile::encodeName(link).constData()), 0);
    const QString fifo = dir.filePath(QStringLiteral("fifo.txt"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
    for (const QString& name : {link, fifo, dir.path()}) {
        QString error;
        EXPECT_FALSE(SaveTextLines({QStringLiteral("x")}, name, &error)); // a FIFO would hang a plain open
        EXPECT_TRUE(error.contains(QStringLiteral("not a regular file"))) << error.toStdString();
        QByteArray data;
        qint64 size = 0;
        EXPECT_EQ(ReadRegularFile(name, 100, data, size, error), TFileRead::NotRegular);
    }
    EXPECT_EQ(Contents(text), QByteArray("\xBE\r\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size(), 3)
        << "no scratch folder left behind";
}

// What the window says when a file cannot be written: the reason in Slovak
// from what really failed, the path in full; the tool keeps its English.
TEST(SafeFile, AFailedWriteSaysItsReasonInSlovak)
{
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).absoluteFilePath();
    const auto failed = [](const QString& path) {
        const TFileError e = ReplaceFileWith(path, QByteArray("x"));
        EXPECT_TRUE(e.Failed()) << path.toStdString();
        return e;
    };
    const TFileError missing = failed(root + QStringLiteral("/no/2026DEC.TXT"));
    EXPECT_EQ(SlovakFileError(missing), QStringLiteral("Súbor %1/no/2026DEC.TXT sa nepodarilo zapísať: priečinok %1/no "
                                                       "neexistuje.").arg(root));
    EXPECT_EQ(missing.Text(), QStringLiteral("cannot write %1/no/2026DEC.TXT: No such file or directory").arg(root));
    EXPECT_EQ(SlovakFileError(failed(root)),
              QStringLiteral("Súbor %1 sa nepodarilo zapísať: %1 je priečinok, nie súbor.").arg(root));

    const QString link = root + QStringLiteral("/link.txt");
    ASSERT_EQ(::symlink("elsewhere.txt", QFile::encodeName(link).constData()), 0);
    EXPECT_EQ(SlovakFileReason(failed(link)), link + QStringLiteral(" je symbolický odkaz, nie obyčajný súbor"));
    const QString fifo = root + QStringLiteral("/fifo.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
    EXPECT_EQ(SlovakFileReason(failed(fifo)), fifo + QStringLiteral(" je rúra (FIFO), nie obyčajný súbor"));
    EXPECT_EQ(SlovakFileReason(failed(QStringLiteral("/dev/full"))),
              QStringLiteral("/dev/full je zariadenie, nie obyčajný súbor"));
    // Nobody, root included, may make a file in /sys (a container may mount
    // it read-only, which is said as such).
    const QString sys = SlovakFileReason(failed(QStringLiteral("/sys/2026DEC.TXT")));
    EXPECT_TRUE(sys == QStringLiteral("chýba právo zapisovať do priečinka /sys") ||
                sys == QStringLiteral("súborový systém je len na čítanie"))
        << sys.toStdString();

    // A read-only file system and a full disk, in a mount namespace of their
    // own: this program again, under the two mounts.
    const QString script = QStringLiteral(
        "mount -t tmpfs -o ro,size=64k tmpfs \"$1\" && mount -t tmpfs -o size=16k tmpfs \"$2\" || exit 9;"
        "dd if=/dev/zero of=\"$2/fill\" bs=1k count=64 2>/dev/null;"
        "exec \"$0\" --gtest_filter=SafeFileInANamespace.*");
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("ro")) && QDir(root).mkpath(QStringLiteral("full")));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QDR_TEST_READONLY"), root + QStringLiteral("/ro"));
    env.insert(QStringLiteral("QDR_TEST_FULL"), root + QStringLiteral("/full"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("unshare"),
            {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("sh"),
             QStringLiteral("-c"), script, QFile::symLinkTarget(QStringLiteral("/proc/self/exe")),
             root + QStringLiteral("/ro"), root + QStringLiteral("/full")});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    if (p.exitCode() == 9 || out.contains(QStringLiteral("unshare:")))
        GTEST_SKIP() << "no mount namespace here: " << out.toStdString();
    EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("[  PASSED  ] 1 test"))) << out.toStdString();
}

// Run by the case above inside its mount namespace; skipped elsewhere.
TEST(SafeFileInANamespace, ReadOnlyAndFull)
{
    const QString readOnly = qEnvironmentVariable("QDR_TEST_READONLY");
    const QString full = qEnvironmentVariable("QDR_TEST_FULL");
    if (readOnly.isEmpty() || full.isEmpty())
        GTEST_SKIP() << "run by SafeFile.AFailedWriteSaysItsReasonInSlovak";
    EXPECT_EQ(SlovakFileError(ReplaceFileWith(readOnly + QStringLiteral("/a.txt"), QByteArray("x"))),
              QStringLiteral("Súbor %1/a.txt sa nepodarilo zapísať: súborový systém je len na čítanie.").arg(readOnly));
    EXPECT_EQ(SlovakFileReason(ReplaceFileWith(full + QStringLiteral("/a.txt"), QByteArray(64 * 1024, 'x'))),
              QStringLiteral("disk je plný"));
    EXPECT_EQ(QDir(full).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"fill"});
}
