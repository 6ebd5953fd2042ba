#pragma once
// A PostgreSQL server of the test's own: initdb and pg_ctl of the installed
// server binaries, run as the postgres user (the server refuses root), on a
// unix socket in a temporary folder and no TCP port; stopped by its PID.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

class PgServer {
public:
    // durable: the server flushes its commits as a production one does
    // (benchmarks); tests skip that.
    explicit PgServer(bool durable = false)
    {
        const QStringList versions =
            QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        // Root runs the server as postgres; anyone else as themselves.
        const passwd* pw = ::geteuid() == 0 ? ::getpwnam("postgres") : ::getpwuid(::geteuid());
        if (versions.isEmpty() || !pw || !Dir.isValid()) {
            Problem = QStringLiteral("no PostgreSQL server binaries or postgres user");
            return;
        }
        Bin = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(versions.last());
        Uid = pw->pw_uid;
        Gid = pw->pw_gid;
        if (::geteuid() == 0 && ::chown(QFile::encodeName(Dir.path()).constData(), Uid, Gid) != 0) {
            Problem = QStringLiteral("cannot hand the folder to postgres");
            return;
        }
        const QString data = Dir.filePath(QStringLiteral("data"));
        if (!Run(QStringLiteral("initdb"), {"-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--no-sync"}))
            return;
        // Role "meter" must give its password; every other role is trusted.
        QFile hba(data + QStringLiteral("/pg_hba.conf"));
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            hba.write("local all meter scram-sha-256\nlocal all all trust\n") < 0) {
            Problem = QStringLiteral("cannot write pg_hba.conf");
            return;
        }
        hba.close();
        // No TCP listener: nothing outside the test can reach the server.
        QString options = QStringLiteral("-k %1 -c listen_addresses=").arg(Dir.path());
        if (!durable)
            options += QStringLiteral(" -c fsync=off");
        const QString log = Dir.filePath(QStringLiteral("log"));
        if (!Run(QStringLiteral("pg_ctl"), {"-D", data, "-l", log, "-o", options, "-w", "start"}))
            return;
        QFile pidFile(data + QStringLiteral("/postmaster.pid"));
        if (pidFile.open(QIODevice::ReadOnly))
            Pid = QString::fromLatin1(pidFile.readLine()).trimmed().toInt();
        if (Pid <= 0)
            Problem = QStringLiteral("the server left no PID");
    }
    ~PgServer()
    {
        if (Pid <= 0)
            return;
        ::kill(Pid, SIGINT); // fast shutdown
        for (int i = 0; i < 300 && Alive(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (Alive())
            ::kill(Pid, SIGKILL);
    }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    bool Ready() const { return Problem.isEmpty(); }
    // A client program of the server's installation ("psql").
    QString Program(const QString& name) const { return Bin + name; }
    // The libpq connection string of a database on the server.
    QString ConnInfo(const QString& database = QStringLiteral("postgres")) const
    {
        return QStringLiteral("host=%1 user=postgres dbname=%2").arg(Dir.path(), database);
    }
    // Runs SQL through psql; the output rows unaligned, fields split by "|".
    QString Sql(const QString& sql, const QString& database = QStringLiteral("postgres")) const
    {
        QProcess p;
        p.start(Bin + QStringLiteral("psql"),
                {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d", ConnInfo(database), "-c", sql});
        p.waitForFinished(60000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed() +
               QString::fromUtf8(p.readAllStandardError()).trimmed();
    }
    QString Problem;

private:
    bool Run(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.setWorkingDirectory(Dir.path());
        const uid_t uid = Uid;
        const gid_t gid = Gid;
        if (::geteuid() == 0)
            p.setChildProcessModifier([uid, gid] {
                if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
            });
        p.start(Bin + program, args);
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            Problem = program + QStringLiteral(" failed: ") + QString::fromUtf8(p.readAllStandardError());
            return false;
        }
        return true;
    }
    // Gone, or a zombie nobody reaps.
    bool Alive() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(Pid));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray s = stat.readAll();
        const qsizetype close = s.lastIndexOf(')');
        return close >= 0 && close + 2 < s.size() && s.at(close + 2) != 'Z';
    }

    QTemporaryDir Dir;
    QString Bin;
    uid_t Uid = 0;
    gid_t Gid = 0;
    pid_t Pid = 0;
};
