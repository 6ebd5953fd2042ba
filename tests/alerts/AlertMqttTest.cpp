// The alerts on a real broker beside the live values: each alert as JSON on
// Topic/alert, not retained, and "limit in danger" on while a projected
// exceedance stands.
#include "alerts/Alerts.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "support/Broker.h"
#include "support/Pump.h"
#include "support/SimProcess.h"
#include "telemetry/Telemetry.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

TEST(AlertMqtt, EachAlertOnTheAlertTopicAndTheLimitInDangerWhileItStands)
{
    Broker broker;
    ASSERT_TRUE(broker.Running);
    SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--interval"), QStringLiteral("1"),
                    QStringLiteral("--speed"), QStringLiteral("4"), QStringLiteral("--load"), QStringLiteral("ramp:120"),
                    // Day time: the day tariff, whatever the hour of the run.
                    QStringLiteral("--now"), QStringLiteral("2026-12-01T10:00")});
    ASSERT_TRUE(sim.Ready);
    SiteDir dir(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[INE]\nMiesto=Skúšobňa 2\nIntervaly=60\n[MQTT]\nHost=127.0.0.1\nPort=%2\n"
                               "Node=skuska\n[ALARMY]\nNajskor=10\n")
                    .arg(sim.Udp)
                    .arg(broker.Port));
    TMIniFile ini(dir.Path(QStringLiteral("qdrwin.ini")));
    const TSettings settings = TSettings::Read(ini);
    TEngine engine(settings, 100, dir.Path());
    engine.SetDownload(false);
    Watch watch(broker, QStringLiteral("qdrwin/skuska/#"), true);
    TTelemetry telemetry(engine, settings);
    ASSERT_TRUE(telemetry.Start()) << qPrintable(telemetry.Problems().join('\n'));
    TAlerts alerts;
    alerts.HostClock.Forced = THostClock::TState::NotSynchronized;
    alerts.OnAlert = [&](const TAlert& a) { telemetry.PublishAlert(a.Json()); };
    alerts.OnDanger = [&](bool danger) { telemetry.SetLimitDanger(danger); };
    telemetry.SetLimitDanger(alerts.Danger());
    alerts.Apply(settings);
    alerts.Follow(&engine);

    const auto seen = [&](const QString& topic, const QByteArray& payload, size_t from = 0) -> long {
        const auto& all = watch.Messages();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].Topic == topic && (payload.isEmpty() || all[i].Payload.contains(payload)))
                return long(i);
        return -1;
    };
    const QString danger = QStringLiteral("qdrwin/skuska/limit/danger");
    const QString alert = QStringLiteral("qdrwin/skuska/alert");
    ASSERT_TRUE(PumpUntil([&] { return seen(danger, "ON") >= 0; }, 60000));
    ASSERT_TRUE(PumpUntil([&] { return seen(alert, "\"kind\":\"projected-exceedance\"") >= 0; }, 10000));
    const long on = seen(danger, "ON");
    ASSERT_TRUE(PumpUntil([&] { return seen(danger, "OFF", size_t(on)) >= 0; }, 30000)) << "off when the interval closed";

    const QJsonObject json =
        QJsonDocument::fromJson(watch.Messages()[size_t(seen(alert, "\"kind\":\"projected-exceedance\""))].Payload).object();
    EXPECT_EQ(json.value(QStringLiteral("limit")).toDouble(), 400) << "a number";
    EXPECT_GT(json.value(QStringLiteral("projected")).toDouble(), 400);
    EXPECT_EQ(json.value(QStringLiteral("tariff")).toString(), QStringLiteral("VT"));
    EXPECT_EQ(json.value(QStringLiteral("site")).toString(), QStringLiteral("Skúšobňa 2"));
    EXPECT_TRUE(json.value(QStringLiteral("text")).toString().startsWith(QStringLiteral("Hrozí prekročenie")));
    EXPECT_TRUE(json.value(QStringLiteral("interval")).toString().contains(QLatin1Char('T')));

    const auto config = broker.Retained(QStringLiteral("homeassistant/binary_sensor/skuska/limit_danger/config"));
    ASSERT_EQ(config.size(), 1);
    EXPECT_TRUE(config.first().contains("\"device_class\":\"problem\"")) << config.first().constData();
    EXPECT_TRUE(broker.Retained(alert).isEmpty()) << "an alert is news, not a state";
    telemetry.Stop(1000);
}
