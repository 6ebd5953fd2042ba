#pragma once
// The Prometheus endpoint: GET and HEAD of /metrics in the text exposition
// format 0.0.4, / with a line that points there, everything else 404 (other
// methods 405). A small HTTP/1.x reader of our own rather than a general
// server, because the endpoint faces whatever the network sends and each
// connection has to stay within budgets no general server enforces:
//  - a request (head and body) is at most MaxRequestBytes in all; a longer
//    one is answered with an error and the connection closed, a body within
//    the budget is read and thrown away;
//  - a request must be complete within RequestMs of its first byte, an answer
//    taken by the peer within RequestMs, and a connection that starts no
//    request is closed after IdleMs; after its last answer a connection
//    lingers at most LingerMs for the peer to close;
//  - at most MaxConnections at once; a newcomer to a full house takes the
//    place of the oldest connection that is not being answered, so clients
//    that trickle or hoard cannot keep an honest scraper out;
//  - one answer at a time per connection: nothing more is read until the last
//    one is written, so a peer that never reads cannot pile up answers.
// The page is made on the main thread from the model's small copies and
// written without waiting for the peer: a scrape never holds up a poll.
#include "core/LogLine.h"
#include "core/TelemetrySettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <vector>

class TTelemetryModel;

// The page /metrics answers with.
QByteArray RenderMetrics(const TTelemetryModel& model, const QString& version);

class TMetricsServer : public QObject {
public:
    static constexpr int MaxConnections = 64;
    static constexpr int IdleMs = 10000;
    static constexpr int RequestMs = 5000;
    static constexpr int LingerMs = 2000;
    static constexpr qint64 MaxRequestBytes = 16384;

    TMetricsServer(TTelemetryModel& model, const TMetricsSettings& settings, const QString& version);
    ~TMetricsServer() override;
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Listens; false (Problem says why: the address is taken, ...) when it
    // cannot. A port that cannot be bound is tried again every RetryMs until
    // it can or Stop, logged once when it fails and once when it listens.
    bool Start();
    void Stop();
    bool Listening() const;
    uint16_t Port() const;
    // Connections open now.
    int Connections() const { return int(Open.size()); }
    const TMetricsSettings& Settings() const { return FSettings; }
    QString Problem;
    // Between tries of a port that could not be bound.
    int RetryMs = 60000;

    std::function<void(const TLogLine&)> OnLog;

private:
    class TConnection;
    friend class TConnection;

    bool Listen();
    void Log(const TLogLine& line);
    void Accept();
    void MakeRoom();
    void Drop(TConnection* connection);
    QByteArray Page() const;

    TTelemetryModel& Model;
    TMetricsSettings FSettings;
    QString Version;
    QTcpServer Listener;
    QTimer Retry;
    bool Started = false;
    std::vector<TConnection*> Open; // children of this, oldest first
    QElapsedTimer Clock;
    // Connections dropped for room since the last metrics-crowded line, and
    // when that line was said (at most one a minute).
    int Evicted = 0;
    qint64 CrowdedSaidAt = -1;
};
