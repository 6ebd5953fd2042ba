#include "regulator/MoveAside.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Renames without ever replacing an existing name: EEXIST when it is taken.
int RenameNoReplace(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without that flag: a hard link fails on a taken name too.
    if (::link(from, to) != 0)
        return errno;
    if (::unlink(from) != 0) {
        const int err = errno;
        ::unlink(to);
        return err;
    }
    return 0;
}
} // namespace

QString MoveFileAside(const QString& path, const QString& reason, QString* why)
{
    const QByteArray from = QFile::encodeName(path);
    if (::access(from.constData(), F_OK) != 0 && errno == ENOENT)
        return path;
    for (int n = 0; n < 1000; ++n) {
        const QString aside = n == 0 ? path + QLatin1Char('.') + reason
                                     : QStringLiteral("%1.%2.%3").arg(path, reason).arg(n);
        const int err = RenameNoReplace(from.constData(), QFile::encodeName(aside).constData());
        if (err == 0)
            return aside;
        if (err != EEXIST) {
            if (why)
                *why = QString::fromLocal8Bit(std::strerror(err));
            return {};
        }
    }
    if (why)
        *why = QStringLiteral("no free name");
    return {};
}
