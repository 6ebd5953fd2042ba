// Files replaced whole and never through a link: what the text file, the
// workbook and the log rely on.
#include "core/Cp1250.h"
#include "core/SafeFile.h"

#include <QDir>
#include <QFile>
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
