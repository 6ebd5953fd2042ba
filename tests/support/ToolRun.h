#pragma once
// Runs the built qdrtool in a site folder and collects what it said.
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

struct ToolRun {
    int Exit = -1; // -1: did not finish in time, -2: crashed
    QString Out;
    QString Err;
    QString Text() const { return QStringLiteral("exit %1\n%2\n%3").arg(Exit).arg(Out, Err); }
};

inline void CollectTool(QProcess& p, ToolRun& r)
{
    r.Exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.Out = QString::fromUtf8(p.readAllStandardOutput());
    r.Err = QString::fromUtf8(p.readAllStandardError());
}

inline ToolRun RunTool(const QString& dir, const QStringList& args, int ms = 30000)
{
    ToolRun r;
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral(QDRTOOL_PATH), args);
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(3000);
        return r;
    }
    CollectTool(p, r);
    return r;
}

inline bool ToolBuilt() { return QFileInfo::exists(QStringLiteral(QDRTOOL_PATH)); }

#define REQUIRE_TOOL()                                                                                                \
    if (!ToolBuilt())                                                                                                 \
    GTEST_SKIP() << "qdrtool is not built (build the qdrtool target)"

// A bound loopback UDP socket that never answers: a regulator that is silent.
class SilentPeer {
public:
    SilentPeer()
    {
        Fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
    ~SilentPeer() { ::close(Fd); }
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;
    uint16_t Port = 0;

private:
    int Fd = -1;
};
