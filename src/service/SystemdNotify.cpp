#include "service/SystemdNotify.h"

#include <systemd/sd-daemon.h>

#include <ctime>

void TSystemdNotify::Send(const QByteArray& message)
{
    // Failures are of no consequence: without a manager listening the
    // service runs all the same.
    (void)sd_notify(0, message.constData());
}

void TSystemdNotify::Ready() { Send("READY=1"); }

void TSystemdNotify::Reloading()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 usec = quint64(now.tv_sec) * 1000000u + quint64(now.tv_nsec) / 1000u;
    Send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void TSystemdNotify::Stopping() { Send("STOPPING=1"); }

void TSystemdNotify::Status(const QString& text)
{
    if (text == LastStatus)
        return;
    LastStatus = text;
    // One line: a status is shown as one by systemctl.
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    Send("STATUS=" + line.toUtf8());
}

void TSystemdNotify::Watchdog() { Send("WATCHDOG=1"); }

uint64_t TSystemdNotify::WatchdogUsec()
{
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}
