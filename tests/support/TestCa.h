#pragma once
// A certificate authority of the tests' own, made with openssl in a
// temporary folder: its certificate (for CAFile), a server certificate for
// 127.0.0.1 and localhost signed by it, and one signed by it for another
// host name only.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TestCa {
public:
    TestCa()
    {
        const QString ec = QStringLiteral("ec_paramgen_curve:prime256v1");
        Ok = Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout", Path("ca.key"), "-out", CaFile(),
                  "-days", "2", "-subj", "/CN=QDR test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                  "keyUsage=critical,keyCertSign,cRLSign"}) &&
             Server("server", "subjectAltName=DNS:localhost,IP:127.0.0.1") &&
             Server("other", "subjectAltName=DNS:elsewhere.test");
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
    QString CaFile() const { return Path(QStringLiteral("ca.pem")); }
    // The options of smtp_sink.py for a server certificate: "server" or "other".
    QStringList SinkOptions(const QString& name = QStringLiteral("server")) const
    {
        return {QStringLiteral("--cert"), Path(name + QStringLiteral(".pem")), QStringLiteral("--key"),
                Path(name + QStringLiteral(".key"))};
    }

    QTemporaryDir Dir;
    bool Ok = false;
    QString Error;

private:
    bool Server(const QString& name, const QString& names)
    {
        QFile ext(Path(name + QStringLiteral(".ext")));
        if (!ext.open(QIODevice::WriteOnly))
            return false;
        ext.write(names.toLatin1() + "\n");
        ext.close();
        return Run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                    Path(name + ".key"), "-out", Path(name + ".csr"), "-subj", "/CN=" + name}) &&
               Run({"x509", "-req", "-in", Path(name + ".csr"), "-CA", CaFile(), "-CAkey", Path("ca.key"),
                    "-CAcreateserial", "-out", Path(name + ".pem"), "-days", "2", "-extfile", ext.fileName()});
    }
    bool Run(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral("openssl"), args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            Error = QString::fromLocal8Bit(p.readAllStandardError());
            return false;
        }
        return true;
    }
};
