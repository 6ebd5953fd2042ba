#pragma once
// Runs the regulator simulator as a child process for a test: reads the
// endpoint it announces, lets the test steer it through its stdin, and stops
// it (by PID) when the test ends.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>

class SimProcess {
public:
    explicit SimProcess(const QStringList& args)
    {
        Proc.setProgram(QStringLiteral(QDRSIM_PATH));
        Proc.setArguments(args);
        Proc.setProcessChannelMode(QProcess::SeparateChannels);
        Proc.start();
        if (!Proc.waitForStarted(5000))
            return;
        QByteArray out;
        for (int i = 0; i < 100 && !out.contains("READY"); ++i) {
            Proc.waitForReadyRead(100);
            out += Proc.readAllStandardOutput();
        }
        for (const QByteArray& line : out.split('\n')) {
            if (line.startsWith("UDP "))
                Udp = QString::fromUtf8(line.mid(4).trimmed());
            else if (line.startsWith("SERIAL "))
                Serial = QString::fromUtf8(line.mid(7).trimmed());
            else if (line.startsWith("READY"))
                Ready = true;
        }
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    void Command(const QByteArray& line)
    {
        Proc.write(line + '\n');
        Proc.waitForBytesWritten(1000);
    }
    void Stop()
    {
        if (Proc.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(Proc.processId()), SIGTERM);
        if (!Proc.waitForFinished(3000)) {
            Proc.kill();
            Proc.waitForFinished(3000);
        }
    }
    QByteArray StdErr() { return Proc.readAllStandardError(); }

    bool Ready = false;
    QString Udp;    // "127.0.0.1:PORT"
    QString Serial; // "/dev/pts/N"
    QProcess Proc;
};

// A site folder with a qdrwin.ini of the given text, removed after the test.
class SiteDir {
public:
    explicit SiteDir(const QString& ini = {})
    {
        if (!ini.isEmpty())
            WriteIni(ini);
    }
    void WriteIni(const QString& ini)
    {
        QFile f(Path("qdrwin.ini"));
        if (f.open(QIODevice::WriteOnly))
            f.write(ini.toUtf8());
    }
    QString Path(const QString& name = {}) const { return name.isEmpty() ? Dir.path() : Dir.filePath(name); }
    QTemporaryDir Dir;
};
