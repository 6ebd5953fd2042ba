#pragma once
// The local SMTP server of the mail tests (smtp_sink.py, run with Debian's
// python3 for its aiosmtpd) as a child process on a free loopback port: what
// it stored and the raw bytes of each connection. Stopped by PID.
#include "output/MailClient.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <signal.h>

class SmtpSink {
public:
    explicit SmtpSink(const QStringList& options = {})
    {
        const QString script = QStringLiteral(QDR_SOURCE_DIR "/tests/support/smtp_sink.py");
        Proc.start(QStringLiteral("/usr/bin/python3"), QStringList{script, QStringLiteral("--dir"), Dir.path()} + options);
        QByteArray out;
        for (int i = 0; i < 100 && !out.contains('\n') && Proc.state() != QProcess::NotRunning; ++i) {
            Proc.waitForReadyRead(100);
            out += Proc.readAllStandardOutput();
        }
        if (out.startsWith("PORT "))
            Port = out.mid(5).trimmed().toInt();
    }
    ~SmtpSink()
    {
        if (Proc.state() != QProcess::NotRunning && Proc.processId() > 0) {
            ::kill(static_cast<pid_t>(Proc.processId()), SIGTERM);
            if (!Proc.waitForFinished(3000))
                Proc.kill();
            Proc.waitForFinished(3000);
        }
    }
    QByteArray File(const QString& name) const
    {
        QFile f(Dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QByteArray Wire(int connection = 1) const { return File(QStringLiteral("wire-%1.log").arg(connection)); }
    QByteArray Message(int n = 1) const { return File(QStringLiteral("msg-%1.eml").arg(n)); }
    qsizetype Connections() const { return Count("wire-*.log"); }
    qsizetype Count(const char* pattern) const { return QDir(Dir.path()).entryList({QString::fromLatin1(pattern)}).size(); }
    // While away, every connection is greeted with 421 and closed.
    void SetAway(bool away)
    {
        QFile f(Dir.filePath(QStringLiteral("away")));
        if (away)
            f.open(QIODevice::WriteOnly);
        else
            f.remove();
    }

    QTemporaryDir Dir;
    QProcess Proc;
    int Port = 0;
};

// A client pointed at the sink with a sender, its fields kept between sends.
inline void AimAtSink(TMailClient& c, int port)
{
    c.Host = QStringLiteral("127.0.0.1");
    c.Port = port;
    c.UserID = QStringLiteral("tester");
    c.ClearParams = false;
    c.FromAddress = QStringLiteral("qdr@site.sk");
}
