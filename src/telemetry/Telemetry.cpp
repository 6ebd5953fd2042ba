#include "telemetry/Telemetry.h"

#include "app/Settings.h"
#include "telemetry/MetricsServer.h"
#include "telemetry/MqttPublisher.h"
#include "telemetry/TelemetryModel.h"

namespace {
const QString Version = QStringLiteral(QDR_VERSION);

// An output is made when its section asks for it, and also when the section
// cannot be used, so that Start says why.
bool Wanted(const TMqttSettings& s) { return s.Enabled() || !s.Problem.isEmpty(); }
bool Wanted(const TMetricsSettings& s) { return s.Enabled() || !s.Problem.isEmpty(); }
} // namespace

TTelemetry::TTelemetry(TEngine& engine, const TSettings& settings)
    : FModel(std::make_unique<TTelemetryModel>(engine, settings))
{
    FModel->OnSecond = [this] {
        if (FMqtt)
            FMqtt->Update();
    };
    FModel->OnLog = [this](const TLogLine& line) { Log(line); };
    FModel->MqttConnected = [this] { return FMqtt ? std::optional<bool>(FMqtt->IsConnected()) : std::nullopt; };
    // The live values went with the link: None at once, not at the next
    // second's round.
    FModel->OnLink = FModel->OnSecond;
    if (Wanted(settings.Mqtt))
        FMqtt = std::make_unique<TMqttPublisher>(*FModel, settings.Mqtt, Version);
    if (Wanted(settings.Metrics))
        FMetrics = std::make_unique<TMetricsServer>(*FModel, settings.Metrics, Version);
}

TTelemetry::~TTelemetry() { Stop(0); }

bool TTelemetry::PublishAlert(const QByteArray& json)
{
    return FMqtt && FMqtt->Publish(QStringLiteral("alert"), json, false);
}

void TTelemetry::Follow(TEngine* engine) { FModel->Follow(engine); }

void TTelemetry::SetLimitDanger(bool danger)
{
    FModel->LimitDanger = danger;
}

void TTelemetry::Log(const TLogLine& line)
{
    if (OnLog)
        OnLog(line);
}

bool TTelemetry::StartMqtt()
{
    if (!FMqtt)
        return true;
    FMqtt->OnLog = [this](const TLogLine& line) { Log(line); };
    if (FMqtt->Start())
        return true;
    FProblems << FMqtt->Problem;
    Log(TLogLine(QStringLiteral("mqtt-failed")).Add(QStringLiteral("reason"), FMqtt->Problem));
    return false;
}

bool TTelemetry::StartMetrics()
{
    if (!FMetrics)
        return true;
    FMetrics->OnLog = [this](const TLogLine& line) { Log(line); };
    // Its problem is read live (Problems): a port taken now may be bound later.
    return FMetrics->Start();
}

bool TTelemetry::Start()
{
    FProblems.clear();
    const bool mqtt = StartMqtt();
    const bool metrics = StartMetrics();
    return mqtt && metrics;
}

bool TTelemetry::Apply(const TSettings& settings)
{
    FProblems.clear();
    FModel->Apply(settings);
    bool ok = true;
    if (!FMqtt || FMqtt->Settings() != settings.Mqtt) {
        if (FMqtt) {
            // Another node (or the same one under other topics): the old
            // one's device and values would stay behind as a ghost.
            const TMqttSettings& was = FMqtt->Settings();
            if (settings.Mqtt.Enabled() &&
                (was.Node != settings.Mqtt.Node || was.Topic != settings.Mqtt.Topic || was.Discovery != settings.Mqtt.Discovery))
                FMqtt->Retire();
            else
                FMqtt->Stop();
        }
        FMqtt.reset();
        if (Wanted(settings.Mqtt)) {
            FMqtt = std::make_unique<TMqttPublisher>(*FModel, settings.Mqtt, Version);
            ok = StartMqtt() && ok;
        }
    } else {
        // The same broker: the names and the site's name may have changed.
        FMqtt->Reannounce();
    }
    if (!FMetrics || FMetrics->Settings() != settings.Metrics) {
        FMetrics.reset();
        if (Wanted(settings.Metrics)) {
            FMetrics = std::make_unique<TMetricsServer>(*FModel, settings.Metrics, Version);
            ok = StartMetrics() && ok;
        }
    }
    return ok;
}

void TTelemetry::Stop(int waitMs)
{
    if (FMqtt)
        FMqtt->Stop(waitMs);
    if (FMetrics)
        FMetrics->Stop();
}

QStringList TTelemetry::Problems() const
{
    QStringList problems = FProblems;
    if (FMetrics && !FMetrics->Listening() && !FMetrics->Problem.isEmpty())
        problems << FMetrics->Problem;
    return problems;
}

std::unique_ptr<TTelemetry> StartTelemetry(TEngine& engine, const TSettings& settings,
                                           std::function<void(const TLogLine&)> log)
{
    auto telemetry = std::make_unique<TTelemetry>(engine, settings);
    telemetry->OnLog = std::move(log);
    telemetry->Start();
    return telemetry;
}
