// qdrtool run: the site service. Follows the regulator for as long as it
// runs, files the archive as records appear and tells what happens one line
// per event; systemd runs it as qdrtool-run@SITE.service.
#include "Tool.h"

#include "alerts/Alerts.h"
#include "service/ServicePart.h"
#include "service/SiteService.h"
#include "telemetry/MqttPublisher.h"
#include "telemetry/Telemetry.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// The live values over MQTT and the metrics endpoint. Made with the first
// engine and kept across the engines the service makes after it, so the
// broker's session and the endpoint's counters survive a reopened link.
class TTelemetryPart : public TServicePart {
public:
    explicit TTelemetryPart(TSiteService& service)
        : Service(service)
    {
    }

    QString Name() const override { return QStringLiteral("telemetry"); }
    QString Check(const TSettings& s) const override
    {
        if (!s.Mqtt.Problem.isEmpty())
            return s.Mqtt.Problem;
        return s.Metrics.Problem;
    }
    void Apply(const TSettings& s) override
    {
        Settings = s;
        if (Telemetry)
            Telemetry->Apply(s);
    }
    void Follow(TEngine* engine) override
    {
        if (Telemetry) {
            Telemetry->Follow(engine);
            return;
        }
        if (!engine)
            return;
        Telemetry = StartTelemetry(*engine, Settings, [this](const TLogLine& line) { Service.Log(line); });
        Telemetry->SetLimitDanger(Danger);
    }
    QString Status() const override
    {
        if (!Telemetry)
            return {};
        QStringList parts = Telemetry->Problems();
        if (const TMqttPublisher* mqtt = Telemetry->Mqtt(); mqtt && Settings.Mqtt.Enabled() && !mqtt->IsConnected())
            parts << QStringLiteral("MQTT broker unreachable");
        return parts.join(QStringLiteral(", "));
    }
    void Stop(int ms) override
    {
        if (Telemetry)
            Telemetry->Stop(ms);
    }

    void PublishAlert(const TAlert& alert)
    {
        if (Telemetry)
            Telemetry->PublishAlert(alert.Json());
    }
    void SetLimitDanger(bool danger)
    {
        Danger = danger;
        if (Telemetry)
            Telemetry->SetLimitDanger(danger);
    }

private:
    TSiteService& Service;
    TSettings Settings;
    std::unique_ptr<TTelemetry> Telemetry;
    bool Danger = false;
};

// The alerts: a line in the log each, on MQTT beside the live values, and
// mailed, since the service holds the site's folder.
class TAlertsPart : public TServicePart {
public:
    TAlertsPart(TSiteService& service, TTelemetryPart& telemetry)
    {
        Alerts.OnAlert = [&service, &telemetry](const TAlert& alert) {
            service.Log(TLogLine(alert.Line()));
            telemetry.PublishAlert(alert);
        };
        Alerts.OnDanger = [&telemetry](bool danger) { telemetry.SetLimitDanger(danger); };
        Alerts.OnLog = [&service](const QString& line) { service.Log(TLogLine(line)); };
    }

    QString Name() const override { return QStringLiteral("alerts"); }
    void Apply(const TSettings& s) override
    {
        Alerts.Apply(s);
        Alerts.SetMayMail(true);
    }
    void Follow(TEngine* engine) override { Alerts.Follow(engine); }
    void Stop(int) override { Alerts.Stop(); }

private:
    TAlerts Alerts;
};

const QString RunUsage = QStringLiteral(
    "usage: qdrtool run [--config FILE] [--dir DIR]\n"
    "\n"
    "Follows the regulator without a window until stopped: identifies it, polls its live\n"
    "values as the window's MERANIE page does, asks for its information block every minute\n"
    "and copies each new archive record into the monthly files within seconds. It holds the\n"
    "folder, so no window or fetch writes there meanwhile. A port that is missing is opened\n"
    "again every 10 s, a regulator that does not answer is asked on, a monthly file that\n"
    "cannot be written is kept in memory and saved again every 30 s. It publishes the live\n"
    "values over MQTT ([MQTT]) and to Prometheus ([METRIKY]) and raises the alerts\n"
    "([ALARMY]), as the configuration turns them on.\n"
    "\n"
    "  --config FILE   configuration file (default qdrwin.ini, current directory first,\n"
    "                  then beside the program); read again on SIGHUP\n"
    "  --dir DIR       folder of the monthly files (default: the current directory)\n"
    "\n"
    "Standard error gets one line per event, never one per poll: the event, then key=value\n"
    "pairs (values with blanks in double quotes): start, link-up, link-down reason=...,\n"
    "identified ident=... generation=... meters=..., month-filed month=... records=...,\n"
    "stall month=... record=... reason=..., records-lost month=... count=...,\n"
    "recordsize-changed month=... was=... now=... kept=..., regulator-changed was=... now=...\n"
    "kept=..., write-failed file=... reason=...,\n"
    "write-resumed file=..., fast-fallback reason=... (KOMUNIKACIA Rychlo=1), file-unreadable,\n"
    "file-kept, file-refused, config-note, config-reloaded changed=..., config-refused\n"
    "reason=..., folder-held, port-held, stop; alert ..., alert-mailed, alert-mail-failed,\n"
    "alert-mail-unsent, alert-config; mqtt-connected, mqtt-unreachable, mqtt-disconnected, mqtt-refused (the\n"
    "connection, a publication or the subscription), mqtt-insecure, mqtt-failed, mqtt-stopped,\n"
    "metrics-listening, metrics-failed, metrics-crowded.\n"
    "Under systemd (Type=notify) it reports READY, a STATUS line, RELOADING around SIGHUP,\n"
    "STOPPING and the watchdog's keep-alive while its threads work.\n"
    "\n"
    "SIGTERM and SIGINT end it within 2 s with the files saved. SIGHUP reads the\n"
    "configuration again and applies what changed (a changed link is opened anew); a\n"
    "configuration that cannot be used is refused and the one in use kept.\n"
    "\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT; 2 bad command line, configuration or\n"
    "folder; 3 the folder or the serial port is held by another program (named).");

int RunRun(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("dir")}, {})) {
        Fail(options.Error + QStringLiteral(" (try 'qdrtool help run')"));
        return ExitUsage;
    }
    TServiceOptions service;
    service.ConfigName = options.Value(QStringLiteral("config"));
    service.Folder = QDir(options.Value(QStringLiteral("dir"), QStringLiteral("."))).absolutePath();
    service.Version = QCoreApplication::applicationVersion();
    TSiteService site(service);
    TTelemetryPart telemetry(site);
    TAlertsPart alerts(site, telemetry);
    site.AddPart(&telemetry);
    site.AddPart(&alerts);
    return site.Run();
}

const TToolRegistration Registration({QStringLiteral("run"),
                                      QStringLiteral("follow the regulator as the site's service"), RunUsage, RunRun});

} // namespace
