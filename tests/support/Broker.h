#pragma once
// A mosquitto broker of the test's own on a free loopback port, with its own
// configuration file and no persistence, started and stopped by PID; and
// mosquitto_sub/mosquitto_pub to read from it and write to it.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <unistd.h>

inline uint16_t FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class Broker {
public:
    // certFile, keyFile: the server's, for a TLS listener instead.
    explicit Broker(const QString& certFile = {}, const QString& keyFile = {})
        : Port(FreePort())
    {
        QFile conf(Dir.filePath(QStringLiteral("mosquitto.conf")));
        if (conf.open(QIODevice::WriteOnly)) {
            QByteArray text = "persistence false\nlog_dest stderr\nlog_type error\nlistener " + QByteArray::number(Port) +
                              " 127.0.0.1\nallow_anonymous true\n";
            // Run as root (a container), it would drop to its own user,
            // who cannot read the test's private folder.
            if (::getuid() == 0)
                text += "user root\n";
            if (!certFile.isEmpty())
                text += "certfile " + certFile.toUtf8() + "\nkeyfile " + keyFile.toUtf8() + "\n";
            conf.write(text);
            conf.close();
        }
        Start();
    }
    ~Broker() { Stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    bool Start()
    {
        Proc.setProgram(QStringLiteral("mosquitto"));
        Proc.setArguments({QStringLiteral("-c"), Dir.filePath(QStringLiteral("mosquitto.conf"))});
        Proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        Proc.start();
        if (!Proc.waitForStarted(5000))
            return false;
        // Ready once it takes connections.
        for (int i = 0; i < 100; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, Port);
            if (s.waitForConnected(200))
                return Running = true;
            QThread::msleep(50);
        }
        return false;
    }
    void Stop()
    {
        if (Proc.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(Proc.processId()), SIGTERM);
        if (!Proc.waitForFinished(5000)) {
            Proc.kill();
            Proc.waitForFinished(3000);
        }
        Running = false;
    }

    // The client options to reach it (over TLS when CaFile is set).
    QStringList Args(const QStringList& more) const
    {
        if (!CaFile.isEmpty())
            return QStringList{QStringLiteral("-h"), QStringLiteral("localhost"), QStringLiteral("-p"), QString::number(Port),
                               QStringLiteral("--cafile"), CaFile} +
                   (AnyName ? QStringList{QStringLiteral("--insecure")} : QStringList()) + more;
        return QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(Port)} + more;
    }

    // The retained messages under topic (a filter with wildcards), topic ->
    // payload, as a client that subscribes now gets them.
    QMap<QString, QByteArray> Retained(const QString& topic) const
    {
        QProcess sub;
        sub.start(QStringLiteral("mosquitto_sub"),
                  Args({QStringLiteral("-t"), topic, QStringLiteral("-v"), QStringLiteral("--retained-only"),
                        QStringLiteral("-W"), QStringLiteral("2")}));
        sub.waitForFinished(10000);
        QMap<QString, QByteArray> out;
        for (const QByteArray& line : sub.readAllStandardOutput().split('\n')) {
            const qsizetype space = line.indexOf(' ');
            if (space > 0)
                out.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1));
        }
        return out;
    }

    bool Publish(const QString& topic, const QByteArray& payload, bool retain = false) const
    {
        QProcess pub;
        QStringList args{QStringLiteral("-t"), topic, QStringLiteral("-m"), QString::fromUtf8(payload)};
        if (retain)
            args << QStringLiteral("-r");
        pub.start(QStringLiteral("mosquitto_pub"), Args(args));
        return pub.waitForFinished(10000) && pub.exitCode() == 0;
    }

    QTemporaryDir Dir;
    QString CaFile;       // the CA its clients check its certificate against
    bool AnyName = false; // and they take it whatever name it is for
    uint16_t Port = 0;
    bool Running = false;
    QProcess Proc;
};

// A subscriber that stays connected and collects what arrives, each message
// with the milliseconds since the watch began.
class Watch {
public:
    struct Message {
        qint64 At = 0;
        QString Topic;
        QByteArray Payload;
    };
    // fresh: only messages published from now on, none the broker held.
    Watch(const Broker& broker, const QString& topic, bool fresh = false)
    {
        Clock.start();
        QStringList args{QStringLiteral("-t"), topic, QStringLiteral("-v")};
        if (fresh)
            args << QStringLiteral("-R");
        Sub.start(QStringLiteral("mosquitto_sub"), broker.Args(args));
        Sub.waitForStarted(5000);
        // Subscribed once the broker has had a moment: what follows is seen.
        QThread::msleep(300);
    }
    ~Watch()
    {
        Sub.kill();
        Sub.waitForFinished(3000);
    }
    // Takes in what arrived so far.
    const std::vector<Message>& Messages()
    {
        Buffer += Sub.readAllStandardOutput();
        qsizetype nl = 0;
        while ((nl = Buffer.indexOf('\n')) >= 0) {
            const QByteArray line = Buffer.left(nl);
            Buffer.remove(0, nl + 1);
            const qsizetype space = line.indexOf(' ');
            // mosquitto_sub shows an empty payload (a cleared retained
            // message) as "(null)".
            const QByteArray payload = line.mid(space + 1);
            if (space > 0)
                List.push_back({Clock.elapsed(), QString::fromUtf8(line.left(space)), payload == "(null)" ? QByteArray() : payload});
        }
        return List;
    }
    // Waits (at most ms) for a message on topic with payload; its time, or -1.
    qint64 WaitFor(const QString& topic, const QByteArray& payload, int ms, size_t from = 0)
    {
        QElapsedTimer t;
        t.start();
        do {
            Sub.waitForReadyRead(100);
            const std::vector<Message>& all = Messages();
            for (size_t i = from; i < all.size(); ++i)
                if (all[i].Topic == topic && all[i].Payload == payload)
                    return all[i].At;
        } while (t.elapsed() < ms);
        return -1;
    }

    QElapsedTimer Clock;
    QProcess Sub;
    QByteArray Buffer;
    std::vector<Message> List;
};
