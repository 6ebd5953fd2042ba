#pragma once
// A program that serves a site (qdrtool run, the telemetry driver) as a
// child of the test: its standard error appended to a log file, standard
// output read until the word it says once it serves, signalled and stopped
// by PID. Whatever state the test left it in (stopped, hung), it is gone
// when the object is.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <signal.h>

class ServiceChild {
public:
    // ready: what standard output says once the program serves, awaited
    // for at most 10 s; empty for a program that says nothing there.
    ServiceChild(const QString& program, const QStringList& args, const QString& logFile, const QByteArray& ready = "READY",
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(), const QString& cwd = {})
        : LogFile(logFile)
    {
        Proc.setProcessEnvironment(env);
        if (!cwd.isEmpty())
            Proc.setWorkingDirectory(cwd);
        Proc.setStandardErrorFile(LogFile, QIODevice::Append);
        Proc.start(program, args);
        QByteArray out;
        for (int i = 0; Proc.waitForStarted(5000) && i < 100 && !ready.isEmpty() && !out.contains(ready); ++i) {
            Proc.waitForReadyRead(100);
            out += Proc.readAllStandardOutput();
        }
        Ready = Proc.state() == QProcess::Running && (ready.isEmpty() || out.contains(ready));
    }
    ~ServiceChild()
    {
        if (Proc.state() == QProcess::NotRunning)
            return;
        Signal(SIGCONT);
        Signal(SIGTERM);
        if (!Proc.waitForFinished(5000)) {
            Proc.kill();
            Proc.waitForFinished(5000);
        }
    }
    ServiceChild(const ServiceChild&) = delete;
    ServiceChild& operator=(const ServiceChild&) = delete;

    // Never to pid 0 (the test's own process group) once the child is gone.
    void Signal(int s)
    {
        if (Proc.processId() > 0)
            ::kill(static_cast<pid_t>(Proc.processId()), s);
    }
    // SIGTERM: the exit code, -1 when it did not end within 5 s.
    int Terminate()
    {
        Signal(SIGTERM);
        if (!Proc.waitForFinished(5000))
            return -1;
        return Proc.exitStatus() == QProcess::NormalExit ? Proc.exitCode() : -1;
    }
    void Kill()
    {
        Proc.kill();
        Proc.waitForFinished(5000);
    }
    QByteArray Log() const
    {
        QFile f(LogFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Until the log holds text; false after ms or once the child is gone.
    bool AwaitLog(const QByteArray& text, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!Log().contains(text)) {
            if (t.elapsed() > ms || Proc.state() == QProcess::NotRunning)
                return Log().contains(text);
            Proc.waitForFinished(100);
        }
        return true;
    }
    // Resident memory, kB; -1 when it cannot be read.
    qint64 ResidentKb() const
    {
        QFile f(QStringLiteral("/proc/%1/status").arg(Proc.processId()));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        return -1;
    }

    QString LogFile;
    QProcess Proc;
    bool Ready = false;
};
