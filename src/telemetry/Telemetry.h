#pragma once
// The site's live values where sites keep them: an MQTT publisher with Home
// Assistant discovery and a Prometheus endpoint, each as the configuration
// turns it on ([MQTT] Host, [METRIKY] Listen), both fed by one model that
// follows the engine. The engine knows nothing of them: they observe it, and
// neither ever makes a poll wait.
//
// The site service makes one with StartTelemetry after the engine, hands it
// every reloaded configuration through Apply, and stops it before the engine.
#include "core/LogLine.h"

#include <QStringList>

#include <functional>
#include <memory>

class TEngine;
class TMetricsServer;
class TMqttPublisher;
class TTelemetryModel;
struct TSettings;

class TTelemetry {
public:
    TTelemetry(TEngine& engine, const TSettings& settings);
    // Stops without waiting for the broker: the will says "offline".
    ~TTelemetry();
    TTelemetry(const TTelemetry&) = delete;
    TTelemetry& operator=(const TTelemetry&) = delete;

    // Starts the outputs the settings turn on. False when one of them could
    // not start (Problems says why); the others run all the same, and MQTT
    // keeps trying to reach its broker by itself.
    bool Start();
    // A configuration read again: an output whose section changed starts
    // again with it (one turned off stops), names and the site's name go out
    // again. False as for Start.
    bool Apply(const TSettings& settings);
    // Follows another engine, or none for a while (see TTelemetryModel).
    void Follow(TEngine* engine);
    // "offline" on the broker, waiting at most waitMs for it, the endpoint
    // closed.
    void Stop(int waitMs = 1000);

    // Why an output is not running although configured, one line each.
    QStringList Problems() const;

    // The alerts, where they run beside the outputs: one on Topic/alert
    // (not retained; false while MQTT is off or away from its broker, the
    // log and the mail carry it all the same), and whether a projected
    // exceedance stands (the "limit in danger" entity, from the first call).
    bool PublishAlert(const QByteArray& json);
    void SetLimitDanger(bool danger);
    TTelemetryModel& Model() const { return *FModel; }
    TMqttPublisher* Mqtt() const { return FMqtt.get(); }
    TMetricsServer* Metrics() const { return FMetrics.get(); }

    // The outputs' events (mqtt-connected, mqtt-disconnected, metrics-
    // listening, ...), one line each, for the service's log.
    std::function<void(const TLogLine&)> OnLog;

private:
    bool StartMqtt();
    bool StartMetrics();
    void Log(const TLogLine& line);

    std::unique_ptr<TTelemetryModel> FModel;
    std::unique_ptr<TMqttPublisher> FMqtt;
    std::unique_ptr<TMetricsServer> FMetrics;
    QStringList FProblems;
};

// The one call the service needs: a telemetry for the engine, log lines to
// log, started. Problems() tells what could not start.
std::unique_ptr<TTelemetry> StartTelemetry(TEngine& engine, const TSettings& settings,
                                           std::function<void(const TLogLine&)> log = {});
