#include "service/SignalPipe.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The write end, for the handler; one pipe per process.
int WriteFd = -1;
constexpr std::array<int, 3> Caught = {SIGTERM, SIGINT, SIGHUP};
std::array<struct sigaction, 3> Previous {};

void HandleSignal(int signal)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    // A full pipe already holds enough to wake the loop; the byte may go.
    (void)::write(WriteFd, &byte, 1);
    errno = saved;
}
} // namespace

TSignalPipe::TSignalPipe()
{
    int fds[2] = {-1, -1};
    if (WriteFd >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Error = WriteFd >= 0 ? QStringLiteral("signals are caught already")
                             : QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    ReadFd = fds[0];
    WriteFd = fds[1];
    Notifier = std::make_unique<QSocketNotifier>(ReadFd, QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
    for (size_t i = 0; i < Caught.size(); ++i) {
        struct sigaction sa {};
        sa.sa_handler = HandleSignal;
        sigemptyset(&sa.sa_mask);
        // Interrupted system calls carry on: the loop learns of the signal
        // through the pipe, not through an EINTR somewhere in a library.
        sa.sa_flags = SA_RESTART;
        if (::sigaction(Caught[i], &sa, &Previous[i]) != 0)
            Error = QStringLiteral("sigaction: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
}

TSignalPipe::~TSignalPipe()
{
    if (ReadFd < 0)
        return;
    for (size_t i = 0; i < Caught.size(); ++i)
        ::sigaction(Caught[i], &Previous[i], nullptr);
    Notifier.reset();
    ::close(WriteFd);
    ::close(ReadFd);
    WriteFd = -1;
}

void TSignalPipe::Drain()
{
    unsigned char bytes[64];
    for (;;) {
        const ssize_t n = ::read(ReadFd, bytes, sizeof bytes);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            if (OnSignal)
                OnSignal(bytes[i]);
    }
}
