#pragma once
// What the service tells systemd through the notification socket
// (sd_notify): ready, reloading, stopping, a status line and the watchdog's
// keep-alive. Without NOTIFY_SOCKET in the environment every call does
// nothing and the service runs the same.
#include <QString>

#include <cstdint>

class TSystemdNotify {
public:
    void Ready();
    // RELOADING=1 with the monotonic clock systemd wants beside it.
    void Reloading();
    void Stopping();
    // Sent only when it differs from the last one sent.
    void Status(const QString& text);
    void Watchdog();

    // The watchdog's period in microseconds as systemd set it
    // (WATCHDOG_USEC for this process), 0 when there is none.
    static uint64_t WatchdogUsec();

private:
    void Send(const QByteArray& message);
    QString LastStatus;
};
