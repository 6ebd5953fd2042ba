#pragma once
// An X server of the test's own, without a window manager: Xvfb on the first
// free display from :90 up, stopped by PID when the test ends.
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <signal.h>

class XvfbProcess {
public:
    XvfbProcess()
    {
        for (int n = 90; n < 130 && !Ready; ++n) {
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
            if (QFile::exists(socket) || QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
                continue;
            Proc.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                                                QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            if (!Proc.waitForStarted(5000))
                return; // not installed
            // Ready once it listens; gone at once when another server took
            // the display meanwhile.
            for (int i = 0; i < 100 && !Ready; ++i) {
                if (Proc.waitForFinished(100))
                    break;
                Ready = QFile::exists(socket);
            }
            if (Ready)
                Display = QStringLiteral(":%1").arg(n);
            else
                Stop();
        }
    }
    ~XvfbProcess() { Stop(); }
    XvfbProcess(const XvfbProcess&) = delete;
    XvfbProcess& operator=(const XvfbProcess&) = delete;

    void Stop()
    {
        if (Proc.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(Proc.processId()), SIGTERM);
        if (!Proc.waitForFinished(2000)) {
            Proc.kill();
            Proc.waitForFinished(2000);
        }
    }

    bool Ready = false;
    QString Display; // ":N"
    QProcess Proc;
};
