#include "ShutdownSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Only one instance can own the process's handlers.
int PipeFds[2] = {-1, -1};

void Handler(int signal)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    if (PipeFds[1] >= 0)
        [[maybe_unused]] ssize_t n = ::write(PipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

TShutdownSignals::TShutdownSignals(QObject* parent)
    : QObject(parent)
{
    if (PipeFds[0] >= 0 || ::pipe2(PipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (PipeFds[0] < 0)
            PipeFds[0] = PipeFds[1] = -1;
        return;
    }
    Notifier = new QSocketNotifier(PipeFds[0], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, [this] { Read(); });
    struct sigaction action {};
    action.sa_handler = Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

TShutdownSignals::~TShutdownSignals()
{
    if (!Notifier)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    delete Notifier;
    Notifier = nullptr;
    ::close(PipeFds[0]);
    ::close(PipeFds[1]);
    PipeFds[0] = PipeFds[1] = -1;
}

void TShutdownSignals::Read()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(PipeFds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            if (OnSignal)
                OnSignal(bytes[i]);
    }
}
