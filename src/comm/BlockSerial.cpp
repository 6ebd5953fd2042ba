#include "comm/BlockSerial.h"
#include "core/SafeFile.h"
#include "core/Tick.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace {

// A write that has not gone out within this time is abandoned.
constexpr uint32_t WriteLimitMs = 30000;

speed_t BaudCode(uint32_t baud)
{
    switch (baud) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
    }
}

#if defined(TIOCGICOUNT)
// Sum of the counters that mean a byte was received damaged or lost.
bool LineErrorCount(int fd, uint64_t& count)
{
    serial_icounter_struct ic {};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0)
        return false;
    count = uint64_t(uint32_t(ic.frame)) + uint32_t(ic.parity) + uint32_t(ic.overrun) + uint32_t(ic.brk)
        + uint32_t(ic.buf_overrun);
    return true;
}
#endif

} // namespace

QString SerialDeviceName(uint8_t port)
{
    if (port == 0)
        return {};
    const QString usb = QStringLiteral("/dev/ttyUSB%1").arg(port - 1);
    if (QFileInfo::exists(usb))
        return usb;
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

TBlockSerial::TBlockSerial() = default;

QString TBlockSerial::LockFolder = QStringLiteral("/run/lock");

TBlockSerial::~TBlockSerial() { Close(); }

namespace {
// The process number a lock file holds: ASCII, ten characters wide, as
// serial programs write it, or from older programs a binary int; 0 when it
// holds none. Read as a regular file only: a FIFO put in the shared lock
// folder must not hold the port's opening.
long LockHolder(const QString& path, TFileRead& read, QString& error)
{
    QByteArray text;
    qint64 size = 0;
    read = ReadRegularFile(path, 64, text, size, error);
    if (read != TFileRead::Read)
        return 0;
    bool ok = false;
    long pid = text.trimmed().toLong(&ok);
    if (!ok && text.size() == int(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, text.constData(), sizeof binary);
        pid = binary;
    }
    return pid > 0 && pid <= 0x7FFFFFFF ? pid : 0;
}
} // namespace

void TBlockSerial::Close()
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
    // Only a lock file that still names this process is removed: another
    // program may have taken over the name meanwhile.
    if (!FLockFile.isEmpty()) {
        TFileRead read = TFileRead::Failed;
        QString error;
        if (LockHolder(FLockFile, read, error) == ::getpid())
            ::unlink(QFile::encodeName(FLockFile).constData());
    }
    FLockFile.clear();
}

QString TBlockSerial::LockName(const QString& device)
{
    // Named after the device itself, so that /dev/serial/by-id/... and
    // /dev/ttyUSB0 are one lock, as other serial programs name it.
    const QFileInfo info(device);
    QString name = info.canonicalFilePath();
    if (name.isEmpty())
        name = info.absoluteFilePath();
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    else
        name = QFileInfo(name).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

bool TBlockSerial::TakeLockFile(const QString& name)
{
    const QString path = LockFolder + QLatin1Char('/') + LockName(name);
    const QByteArray file = QFile::encodeName(path);
    // The owner's PID in ASCII, ten characters wide, as serial programs write it.
    const QByteArray mine = QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n';
    // Without a lock file the port is still ours through the flock; that
    // keeps out programs that use flock, not those that only look at lock
    // files, which is said.
    const auto flockAlone = [&](const QString& why) {
        LockNote = QStringLiteral("serial port %1: %2; only the device's flock locks it").arg(name, why);
        qWarning("%s", qPrintable(LockNote));
        return true;
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const bool written = ::write(fd, mine.constData(), size_t(mine.size())) == mine.size();
            const int e = errno;
            ::close(fd);
            if (written) {
                FLockFile = path;
                return true;
            }
            ::unlink(file.constData());
            return flockAlone(QStringLiteral("cannot write the lock file %1 (%2)")
                                  .arg(path, QString::fromLocal8Bit(std::strerror(e))));
        }
        if (errno != EEXIST)
            return flockAlone(QStringLiteral("cannot create the lock file %1 (%2)")
                                  .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        TFileRead read = TFileRead::Failed;
        QString error;
        const long pid = LockHolder(path, read, error);
        if (read == TFileRead::Missing)
            continue; // removed meanwhile
        if (read != TFileRead::Read)
            return flockAlone(error);
        if (pid > 0 && pid != ::getpid() && (::kill(pid_t(pid), 0) == 0 || errno == EPERM)) {
            LastError = EBUSY;
            LastErrorText = QStringLiteral("%1 is in use by process %2 (%3)").arg(name).arg(pid).arg(path);
            return false;
        }
        // Left behind by a process that is gone: taken over.
        ::unlink(file.constData());
    }
    return flockAlone(QStringLiteral("cannot take over the lock file %1").arg(path));
}

void TBlockSerial::SetError(int err, const QString& what)
{
    LastError = err;
    LastErrorText = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
}

void TBlockSerial::Open(const QString& name)
{
    LastError = 0;
    LastErrorText.clear();
    LockNote.clear();
    Close();
    const QByteArray path = name.toLocal8Bit();
    // Non-blocking throughout: reads are driven by poll(), and an open must not
    // hang waiting for a carrier that a two-wire converter never raises.
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetError(errno, QStringLiteral("open %1").arg(name));
        return;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        SetError(ENOTTY, QStringLiteral("open %1").arg(name));
        return;
    }
    // Another client of this program holds an exclusive flock on the device
    // (TIOCEXCL does not stop a second opener with root rights).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            LastError = EBUSY;
            LastErrorText = QStringLiteral("%1 is in use by another client").arg(name);
        } else {
            SetError(err, QStringLiteral("lock %1").arg(name));
        }
        return;
    }
    if (!TakeLockFile(name)) {
        ::close(fd);
        return;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int err = errno;
        ::close(fd);
        Close();
        SetError(err, QStringLiteral("exclusive %1").arg(name));
        return;
    }
    Fd = fd;
#if defined(TIOCGICOUNT)
    HasLineCount = LineErrorCount(Fd, LineErrors);
#endif
}

void TBlockSerial::Configure(uint32_t baud, uint8_t bits, char parity, uint8_t stop, bool softFlow, bool hardFlow)
{
    if (Fd < 0)
        return;
    termios t {};
    if (::tcgetattr(Fd, &t) != 0) {
        SetError(errno, QStringLiteral("tcgetattr"));
        return;
    }
    ::cfmakeraw(&t);
    const speed_t speed = BaudCode(baud);
    if (speed == 0) {
        SetError(EINVAL, QStringLiteral("baud %1").arg(baud));
        return;
    }
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);

    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    switch (bits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    switch (parity) {
    case 'E': case 'e': t.c_cflag |= PARENB; t.c_iflag |= INPCK; break;
    case 'O': case 'o': t.c_cflag |= PARENB | PARODD; t.c_iflag |= INPCK; break;
    default: break;
    }
    if (stop == 2)
        t.c_cflag |= CSTOPB;
    t.c_cflag |= CLOCAL | CREAD;
#if defined(CRTSCTS)
    if (hardFlow)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
#else
    (void)hardFlow;
#endif
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (softFlow)
        t.c_iflag |= IXON | IXOFF;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(Fd, TCSANOW, &t) != 0)
        SetError(errno, QStringLiteral("tcsetattr"));
}

void TBlockSerial::SetRtsToggle()
{
    if (Fd < 0)
        return;
    Rts = RtsMode::None;
#if defined(TIOCSRS485) && defined(TIOCGRS485)
    serial_rs485 rs {};
    if (::ioctl(Fd, TIOCGRS485, &rs) == 0) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~SER_RS485_RTS_AFTER_SEND;
        if (::ioctl(Fd, TIOCSRS485, &rs) == 0) {
            Rts = RtsMode::Kernel;
            return;
        }
    }
#endif
    // No kernel direction control: switch RTS around each write when the
    // device has modem lines at all. Pseudo-terminals and converters with
    // automatic direction have none, and that is no error.
    int lines = 0;
    if (::ioctl(Fd, TIOCMGET, &lines) == 0) {
        int rts = TIOCM_RTS;
        if (::ioctl(Fd, TIOCMBIC, &rts) == 0)
            Rts = RtsMode::Manual;
    }
}

void TBlockSerial::ClearDtr()
{
    if (Fd < 0)
        return;
    int dtr = TIOCM_DTR;
    // Devices without modem lines (pseudo-terminals) refuse; nothing to clear.
    (void)::ioctl(Fd, TIOCMBIC, &dtr);
}

bool TBlockSerial::WaitForData(uint32_t timeoutMs)
{
    if (Fd < 0)
        return false;
    const uint32_t start = GetTick();
    for (;;) {
        const uint32_t spent = GetTick() - start;
        const int left = spent >= timeoutMs ? 0 : int(timeoutMs - spent);
        pollfd p { Fd, POLLIN, 0 };
        const int r = ::poll(&p, 1, left);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            SetError(errno, QStringLiteral("poll"));
            return false;
        }
        if (r == 0)
            return false;
        if (p.revents & POLLIN)
            return true;
        // Hang-up or error with nothing to read: the device is gone. Report
        // it as an error instead of "data waiting", which would spin.
        SetError(EIO, QStringLiteral("poll"));
        return false;
    }
}

int TBlockSerial::Waiting()
{
    LastError = 0;
    LastErrorText.clear();
    if (Fd < 0)
        return 0;
    int n = 0;
    if (::ioctl(Fd, FIONREAD, &n) != 0) {
        SetError(errno, QStringLiteral("FIONREAD"));
        return 0;
    }
    return n < 0 ? 0 : n;
}

int TBlockSerial::ReadBytes(uint8_t* buffer, int count)
{
    LastError = 0;
    LastErrorText.clear();
    if (Fd < 0 || count <= 0)
        return 0;
    ssize_t n;
    do {
        n = ::read(Fd, buffer, size_t(count));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            SetError(errno, QStringLiteral("read"));
        n = 0;
    }
#if defined(TIOCGICOUNT)
    if (HasLineCount) {
        uint64_t now = 0;
        if (LineErrorCount(Fd, now)) {
            if (now != LineErrors && LastError == 0) {
                LastError = EIO;
                LastErrorText = QStringLiteral("line error (framing, parity, overrun or break)");
            }
            LineErrors = now;
        }
    }
#endif
    return int(n);
}

int TBlockSerial::WriteBytes(const uint8_t* buffer, int count)
{
    LastError = 0;
    LastErrorText.clear();
    if (Fd < 0) {
        SetError(EBADF, QStringLiteral("write"));
        return 0;
    }
    if (count <= 0)
        return 0;
    const int rts = TIOCM_RTS;
    if (Rts == RtsMode::Manual)
        (void)::ioctl(Fd, TIOCMBIS, &rts);

    const uint32_t start = GetTick();
    int done = 0;
    while (done < count) {
        const ssize_t n = ::write(Fd, buffer + done, size_t(count - done));
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            SetError(errno, QStringLiteral("write"));
            break;
        }
        const uint32_t spent = GetTick() - start;
        if (spent >= WriteLimitMs) {
            ::tcflush(Fd, TCOFLUSH);
            SetError(ETIMEDOUT, QStringLiteral("write"));
            break;
        }
        pollfd p { Fd, POLLOUT, 0 };
        (void)::poll(&p, 1, int(WriteLimitMs - spent));
    }
    if (Rts == RtsMode::Manual) {
        // RTS may drop only once the last stop bit has left the line.
        if (LastError == 0)
            ::tcdrain(Fd);
        (void)::ioctl(Fd, TIOCMBIC, &rts);
    }
    return done;
}
