// One owner per site folder: the second is told who holds it, and a lock file
// that is a link or a FIFO is refused without following or waiting on it.
#include "core/FolderLock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

TEST(FolderLock, OneOwnerAtATimeAndTheOtherIsToldWho)
{
    QTemporaryDir dir;
    TFolderLock first, second;
    ASSERT_EQ(first.Take(dir.path(), QStringLiteral("qdrtool run")), TFolderLock::Taken) << qPrintable(first.Error);
    ASSERT_EQ(second.Take(dir.path(), QStringLiteral("qdrwin")), TFolderLock::Held);
    EXPECT_EQ(second.Holder, QStringLiteral("qdrtool run (PID %1)").arg(::getpid()));
    EXPECT_FALSE(second.Holds());
    first.Release();
    EXPECT_EQ(second.Take(dir.path(), QStringLiteral("qdrwin")), TFolderLock::Taken);
    EXPECT_TRUE(QFile::exists(QDir(dir.path()).filePath(TFolderLock::FileName))) << "the file stays for the next owner";
}

TEST(FolderLock, ALinkOrAFifoInPlaceOfTheLockFileIsRefused)
{
    QTemporaryDir dir;
    const QString lock = QDir(dir.path()).filePath(TFolderLock::FileName);
    const QString target = QDir(dir.path()).filePath(QStringLiteral("victim"));
    ASSERT_TRUE(QFile::link(target, lock));
    TFolderLock l;
    EXPECT_EQ(l.Take(dir.path(), QStringLiteral("x")), TFolderLock::Failed);
    EXPECT_TRUE(l.Error.contains(QStringLiteral("symbolic link"))) << qPrintable(l.Error);
    EXPECT_FALSE(QFile::exists(target)) << "a dangling link must not create its target";

    ASSERT_TRUE(QFile::remove(lock));
    ASSERT_EQ(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
    EXPECT_EQ(l.Take(dir.path(), QStringLiteral("x")), TFolderLock::Failed);
    EXPECT_TRUE(l.Error.contains(QStringLiteral("not a regular file"))) << qPrintable(l.Error);
}
