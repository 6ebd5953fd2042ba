#pragma once
// The Prometheus endpoint: GET /metrics in the text exposition format 0.0.4,
// everything else 404. Qt's HTTP server answers on a listener of our own that
// takes at most MaxConnections at once, closes a connection idle for IdleMs
// or open for LifeMs, and one that sends more than MaxRequestBytes, so that
// a stuck or hostile scraper cannot pile up sockets or memory. The page is
// made on the main thread from the model's small copies and written without
// waiting for the peer: a scrape never holds up a poll.
#include "core/LogLine.h"
#include "core/TelemetrySettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <functional>
#include <memory>

class QHttpServer;
class TTelemetryModel;

// The page /metrics answers with.
QByteArray RenderMetrics(const TTelemetryModel& model, const QString& version);

class TLimitedTcpServer : public QTcpServer {
public:
    static constexpr int MaxConnections = 8;
    static constexpr int IdleMs = 10000;
    static constexpr int LifeMs = 30000;
    static constexpr qint64 MaxRequestBytes = 16384;

    using QTcpServer::QTcpServer;
    int Open() const { return OpenCount; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    int OpenCount = 0;
};

class TMetricsServer : public QObject {
public:
    TMetricsServer(TTelemetryModel& model, const TMetricsSettings& settings, const QString& version);
    ~TMetricsServer() override;
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // Listens; false (Problem says why: the address is taken, ...) when it
    // cannot.
    bool Start();
    void Stop();
    bool Listening() const;
    uint16_t Port() const;
    const TMetricsSettings& Settings() const { return FSettings; }
    QString Problem;

    std::function<void(const TLogLine&)> OnLog;

private:
    TTelemetryModel& Model;
    TMetricsSettings FSettings;
    QString Version;
    std::unique_ptr<QHttpServer> Http;
    TLimitedTcpServer* Listener = nullptr; // owned by Http once bound
};
