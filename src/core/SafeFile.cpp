#include "core/SafeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

TFileError::TRefusal RefusalOf(mode_t mode)
{
    using R = TFileError::TRefusal;
    if (S_ISLNK(mode))
        return R::Link;
    if (S_ISFIFO(mode))
        return R::Fifo;
    if (S_ISCHR(mode))
        return R::CharDevice;
    if (S_ISBLK(mode))
        return R::BlockDevice;
    if (S_ISSOCK(mode))
        return R::Socket;
    if (S_ISDIR(mode))
        return R::Folder;
    return R::NotPlain;
}

QString KindText(TFileError::TRefusal refusal)
{
    using R = TFileError::TRefusal;
    switch (refusal) {
    case R::Link:
        return QStringLiteral("a symbolic link");
    case R::Fifo:
        return QStringLiteral("a FIFO");
    case R::CharDevice:
        return QStringLiteral("a character device");
    case R::BlockDevice:
        return QStringLiteral("a block device");
    case R::Socket:
        return QStringLiteral("a socket");
    case R::Folder:
        return QStringLiteral("a folder");
    default:
        return QStringLiteral("not a plain file");
    }
}

QString NotRegularText(const QString& path, mode_t mode) { return TFileError::Refused(path, RefusalOf(mode)).Text(); }

void SyncFolder(const QString& folder)
{
    const int fd = ::open(Native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Removes what a scratch folder holds (its file, whatever a writer left
// beside it) through the folder's descriptor, so that nothing outside it can
// be reached by a name swapped meanwhile; closes fd.
void EmptyFolder(int fd)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            ::unlinkat(fd, name, 0);
    }
    ::closedir(dir);
}

// The process number in a scratch folder's name (".2026nov.qdr.scratch-
// 4711-Ab12Cd"); 0 when the name is no scratch folder's.
pid_t ScratchWriter(const char* name)
{
    if (name[0] != '.' || !std::strstr(name, ".scratch-"))
        return 0;
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.scratch-([0-9]{1,10})-[A-Za-z0-9]{6}$"));
    const QRegularExpressionMatch m = pattern.match(QFile::decodeName(name));
    if (!m.hasMatch())
        return 0;
    const qlonglong pid = m.captured(1).toLongLong();
    return pid > 0 && pid <= 0x7FFFFFFF ? pid_t(pid) : 0;
}

// A crashed run leaves its scratch folder (and a partial file in it) beside
// the file it was replacing. Only folders of this user whose writer is gone
// are removed: a live writer's folder, or another user's, is not ours.
void RemoveDeadScratch(const QString& folder)
{
    DIR* dir = ::opendir(Native(folder).constData());
    if (!dir)
        return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t writer = ScratchWriter(entry->d_name);
        if (writer == 0 || writer == ::getpid() || ::kill(writer, 0) == 0 || errno != ESRCH)
            continue;
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
            ::close(fd);
            continue;
        }
        EmptyFolder(fd);
        ::unlinkat(dirFd, entry->d_name, AT_REMOVEDIR);
    }
    ::closedir(dir);
}

// Makes the finished scratch file fit to take path's place: on the disk
// before the rename (a crash then leaves the old file or the whole new one),
// with the owner, group and permissions of the file it replaces. Set-user
// and set-group ID and write access for everybody are not carried over:
// whoever could plant the old file must not get them on ours. Owner and group
// are kept where the process may change them (root; the group for a member).
TFileError SettleScratch(const QString& scratch, const QString& path)
{
    const int fd = ::open(Native(scratch).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return TFileError::System(TFileError::TStep::Write, path, errno);
    struct stat mine {};
    if (::fstat(fd, &mine) != 0 || !S_ISREG(mine.st_mode)) {
        ::close(fd);
        return TFileError::Other(TFileError::TStep::Write, path, QStringLiteral("the new file is not a regular file"));
    }
    if (::fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        return TFileError::System(TFileError::TStep::Write, path, e);
    }
    struct stat old {};
    if (::lstat(Native(path).constData(), &old) == 0 && S_ISREG(old.st_mode)) {
        if ((old.st_uid != mine.st_uid || old.st_gid != mine.st_gid) &&
            ::fchown(fd, old.st_uid, old.st_gid) != 0 && old.st_gid != mine.st_gid)
            (void)::fchown(fd, uid_t(-1), old.st_gid);
        ::fchmod(fd, old.st_mode & 0777 & ~mode_t(S_IWOTH));
    }
    ::close(fd);
    return {};
}

} // namespace

TFileError TFileError::System(TStep step, const QString& path, int error)
{
    TFileError e;
    e.Step = step;
    e.Path = path;
    e.Errno = error;
    return e;
}

TFileError TFileError::Refused(const QString& path, TRefusal refusal)
{
    TFileError e;
    e.Step = TStep::Write;
    e.Path = path;
    e.Refusal = refusal;
    return e;
}

TFileError TFileError::Other(TStep step, const QString& path, const QString& detail)
{
    TFileError e;
    e.Step = step;
    e.Path = path;
    e.Detail = detail;
    return e;
}

TFileError TFileError::Said(const QString& path, const QString& text)
{
    TFileError e = Other(TStep::Write, path, text);
    e.Whole = true;
    return e;
}

QString TFileError::Text() const
{
    if (!Failed())
        return QString();
    if (Whole)
        return Detail;
    if (Refusal == TRefusal::Source)
        return QStringLiteral("%1 is the monthly file itself").arg(Path);
    if (Refusal != TRefusal::None)
        return QStringLiteral("%1 is %2, not a regular file").arg(Path, KindText(Refusal));
    const QString reason = Errno != 0 ? SystemReason(Errno) : Detail;
    switch (Step) {
    case TStep::Read:
        return QStringLiteral("cannot read %1: %2").arg(Path, reason);
    case TStep::Replace:
        return QStringLiteral("cannot replace %1: %2").arg(Path, reason);
    case TStep::Rename:
        return QStringLiteral("cannot rename %1 to %2: %3").arg(Path, Target, reason);
    default:
        return QStringLiteral("cannot write %1: %2").arg(Path, reason);
    }
}

QString SlovakFileReason(const TFileError& error)
{
    using R = TFileError::TRefusal;
    const QFileInfo info(error.Path);
    const QString name = info.absoluteFilePath();
    switch (error.Refusal) {
    case R::None:
        break;
    case R::Link:
        return QStringLiteral("%1 je symbolický odkaz, nie obyčajný súbor").arg(name);
    case R::Fifo:
        return QStringLiteral("%1 je rúra (FIFO), nie obyčajný súbor").arg(name);
    case R::CharDevice:
    case R::BlockDevice:
        return QStringLiteral("%1 je zariadenie, nie obyčajný súbor").arg(name);
    case R::Socket:
        return QStringLiteral("%1 je soket, nie obyčajný súbor").arg(name);
    case R::Folder:
        return QStringLiteral("%1 je priečinok, nie súbor").arg(name);
    case R::NotPlain:
        return QStringLiteral("%1 nie je obyčajný súbor").arg(name);
    case R::Source:
        return QStringLiteral("%1 je mesačný súbor, z ktorého sa výstup robí").arg(name);
    }
    switch (error.Errno) {
    case 0:
        return error.Detail;
    case ENOENT:
        // Writing creates the file, so what is missing is its folder.
        return error.Step == TFileError::TStep::Read ? QStringLiteral("súbor %1 neexistuje").arg(name)
                                                     : QStringLiteral("priečinok %1 neexistuje").arg(info.absolutePath());
    case ENOTDIR:
        return QStringLiteral("v ceste %1 je súbor namiesto priečinka").arg(info.absolutePath());
    case EACCES:
    case EPERM:
        return error.Step == TFileError::TStep::Read
                   ? QStringLiteral("chýba právo čítať %1").arg(name)
                   : QStringLiteral("chýba právo zapisovať do priečinka %1").arg(info.absolutePath());
    case ENOSPC:
        return QStringLiteral("disk je plný");
    case EDQUOT:
        return QStringLiteral("prekročená kvóta na disku");
    case EROFS:
        return QStringLiteral("súborový systém je len na čítanie");
    case EISDIR:
        return QStringLiteral("%1 je priečinok, nie súbor").arg(name);
    case ENAMETOOLONG:
        return QStringLiteral("názov súboru je príliš dlhý");
    default:
        return SystemReason(error.Errno);
    }
}

QString SlovakFileError(const TFileError& error)
{
    if (!error.Failed())
        return QString();
    const QString name = QFileInfo(error.Path).absoluteFilePath();
    QString what;
    switch (error.Step) {
    case TFileError::TStep::Read:
        what = QStringLiteral("Súbor %1 sa nepodarilo prečítať").arg(name);
        break;
    case TFileError::TStep::Rename:
        what = QStringLiteral("Súbor %1 sa nepodarilo premenovať na %2").arg(name, QFileInfo(error.Target).absoluteFilePath());
        break;
    default:
        what = QStringLiteral("Súbor %1 sa nepodarilo zapísať").arg(name);
        break;
    }
    const QString reason = SlovakFileReason(error);
    return reason.isEmpty() ? what + QLatin1Char('.') : what + QStringLiteral(": ") + reason + QLatin1Char('.');
}

TFileError NotRegularRefusal(const QString& path)
{
    struct stat st {};
    if (::lstat(Native(path).constData(), &st) != 0 || S_ISREG(st.st_mode))
        return {};
    return TFileError::Refused(path, RefusalOf(st.st_mode));
}

QString NotRegularProblem(const QString& path) { return NotRegularRefusal(path).Text(); }

TFileRead ReadRegularFile(const QString& path, qint64 limit, QByteArray& data, qint64& size, QString& error)
{
    data.clear();
    size = 0;
    error.clear();
    const QByteArray name = Native(path);
    struct stat st {};
    // Looked at before opening: opening a device can do things of its own.
    if (::lstat(name.constData(), &st) != 0) {
        if (errno == ENOENT)
            return TFileRead::Missing;
        error = QStringLiteral("cannot read %1: %2").arg(path, SystemReason(errno));
        return TFileRead::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        error = NotRegularText(path, st.st_mode);
        return TFileRead::NotRegular;
    }
    // No link followed and no wait for a writer, should the name have been
    // swapped since.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT)
            return TFileRead::Missing;
        if (e == ELOOP) {
            error = NotRegularText(path, S_IFLNK);
            return TFileRead::NotRegular;
        }
        error = QStringLiteral("cannot read %1: %2").arg(path, SystemReason(e));
        return TFileRead::Failed;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = NotRegularText(path, st.st_mode);
        ::close(fd);
        return TFileRead::NotRegular;
    }
    size = st.st_size;
    // Only what the file holds is asked for, whatever limit a header claims.
    const qint64 want = std::min<qint64>(std::max<qint64>(limit, 0), size);
    data.resize(want);
    qint64 got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, data.data() + got, static_cast<size_t>(want - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(path, SystemReason(errno));
            ::close(fd);
            data.clear();
            return TFileRead::Failed;
        }
        if (n == 0)
            break; // shrank meanwhile
        got += n;
    }
    data.resize(got);
    ::close(fd);
    return TFileRead::Read;
}

TFileError ReplaceFileWith(const QString& path, const std::function<TFileError(const QString& scratch)>& write)
{
    if (TFileError refusal = NotRegularRefusal(path); refusal.Failed())
        return refusal;
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    RemoveDeadScratch(folder);
    // The writer's process number in the name tells a later run whether the
    // folder is still being written or was left by a crash.
    QByteArray pattern = Native(folder + QStringLiteral("/.") + info.fileName().left(64) +
                                QStringLiteral(".scratch-%1-XXXXXX").arg(::getpid()));
    if (!::mkdtemp(pattern.data()))
        return TFileError::System(TFileError::TStep::Write, path, errno);
    const QString privateFolder = QFile::decodeName(pattern);
    const QString scratch = privateFolder + QLatin1Char('/') + info.fileName();
    TFileError problem = write(scratch);
    if (!problem.Failed())
        problem = SettleScratch(scratch, path);
    // rename replaces a link put there meanwhile rather than writing through it.
    if (!problem.Failed() && ::rename(Native(scratch).constData(), Native(path).constData()) != 0)
        problem = TFileError::System(TFileError::TStep::Replace, path, errno);
    if (!problem.Failed())
        SyncFolder(folder);
    const int fd = ::open(pattern.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        EmptyFolder(fd);
    ::rmdir(pattern.constData());
    return problem;
}

TFileError ReplaceFileWith(const QString& path, const QByteArray& bytes)
{
    return ReplaceFileWith(path, [&](const QString& scratch) {
        const int fd = ::open(Native(scratch).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            return TFileError::System(TFileError::TStep::Write, path, errno);
        qint64 done = 0;
        int e = 0;
        while (done < bytes.size() && e == 0) {
            const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n < 0 && errno != EINTR)
                e = errno;
            else if (n > 0)
                done += n;
        }
        if (::close(fd) != 0 && e == 0)
            e = errno;
        return e == 0 ? TFileError() : TFileError::System(TFileError::TStep::Write, path, e);
    });
}

QString ReplaceFile(const QString& path, const std::function<QString(const QString& scratch)>& write)
{
    return ReplaceFileWith(path, [&](const QString& scratch) {
               const QString problem = write(scratch);
               return problem.isEmpty() ? TFileError() : TFileError::Said(path, problem);
           })
        .Text();
}

QString ReplaceFile(const QString& path, const QByteArray& bytes) { return ReplaceFileWith(path, bytes).Text(); }

QString MoveAside(const QString& path, const QString& suffix, QString& error)
{
    error.clear();
    const QByteArray from = Native(path);
    for (int n = 0; n < 1000; ++n) {
        const QString to = path + suffix + (n == 0 ? QString() : QStringLiteral(".%1").arg(n));
        const QByteArray target = Native(to);
        int e = 0;
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
            return to;
        e = errno;
        if (e == EINVAL || e == ENOSYS) {
            // A file system without the no-replace rename: a second name,
            // which cannot replace anything, then the old one goes.
            if (::link(from.constData(), target.constData()) == 0) {
                ::unlink(from.constData());
                return to;
            }
            e = errno;
        }
        if (e == ENOENT)
            return QString(); // gone meanwhile: nothing to keep
        if (e != EEXIST) {
            error = QStringLiteral("cannot rename %1 to %2: %3").arg(path, to, SystemReason(e));
            return QString();
        }
    }
    error = QStringLiteral("cannot rename %1: every name %1%2.N is taken").arg(path, suffix);
    return QString();
}

bool SameFile(const QString& a, const QString& b)
{
    struct stat sa {}, sb {};
    return ::stat(Native(a).constData(), &sa) == 0 && ::stat(Native(b).constData(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
