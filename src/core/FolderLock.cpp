#include "core/FolderLock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

TFolderLock::~TFolderLock() { Release(); }

void TFolderLock::Release()
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

TFolderLock::TResult TFolderLock::Take(const QString& folder, const QString& who)
{
    Release();
    Holder.clear();
    Error.clear();
    Path = QDir(folder.isEmpty() ? QStringLiteral(".") : folder).filePath(QString::fromLatin1(FileName));
    const QByteArray name = QFile::encodeName(Path);
    // Never through a link, never waiting on a FIFO somebody put there. A
    // user of the group who may not write the file still locks it through a
    // descriptor opened for reading.
    const int flags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(name.constData(), O_RDWR | flags, 0644);
    bool writable = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Error = errno == ELOOP ? QStringLiteral("%1 is a symbolic link").arg(Path)
                               : QStringLiteral("cannot open %1: %2").arg(Path, QString::fromLocal8Bit(std::strerror(errno)));
        return Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Error = QStringLiteral("%1 is not a regular file").arg(Path);
        return Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            char text[256] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            Holder = n > 0 ? QString::fromUtf8(text, int(n)).trimmed() : QString();
            if (Holder.isEmpty() || Holder.contains(QLatin1Char('\n')))
                Holder = QStringLiteral("another program");
            ::close(fd);
            return Held;
        }
        ::close(fd);
        Error = QStringLiteral("cannot lock %1: %2").arg(Path, QString::fromLocal8Bit(std::strerror(err)));
        return Failed;
    }
    if (writable) {
        const QByteArray text = QStringLiteral("%1 (PID %2)\n").arg(who).arg(::getpid()).toUtf8();
        // Only the description: a file that cannot take it still locks.
        if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.constData(), size_t(text.size()), 0) == text.size())
            (void)::fsync(fd);
    }
    Fd = fd;
    return Taken;
}
