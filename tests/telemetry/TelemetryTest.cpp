// The site's live values on a real broker and a real metrics endpoint: a
// telemetry driver process (an engine polling qdrsim over UDP, with MQTT and
// the endpoint on) against a mosquitto of the test's own, read back with
// mosquitto_sub and checked against the simulator's own model.
#include "app/Projection.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "e2e/ExpectedArchive.h"
#include "support/Broker.h"
#include "support/ServiceChild.h"
#include "support/SimProcess.h"
#include "support/TestCa.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QRegularExpression>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <set>

namespace {
const QString Status = QStringLiteral("qdrwin/zavod/status");
const QString Configs = QStringLiteral("homeassistant/+/zavod/+/config");

// The outputs of one site in a process of their own, so that a test can
// kill it or stop it as a hung service would be. silence: seconds after
// which a mute regulator counts as gone, 0 for the engine's own minute.
struct Driver : ServiceChild {
    explicit Driver(const QString& site, int silence = 0)
        : ServiceChild(QStringLiteral(TELEMETRY_DRIVER_PATH), silence > 0 ? QStringList{site, QString::number(silence)} : QStringList{site},
                       site + QStringLiteral("/driver.log"))
    {
    }
};

QString SiteIni(const SimProcess& sim, const Broker& broker, uint16_t metrics, const QString& mqtt = QStringLiteral("Host=127.0.0.1"),
                const QString& more = {})
{
    return QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[INE]\nMiesto=Závod Test\nTimeZone=Europe/Bratislava\n"
                          "[ELEKTROMERY]\nEM01=Kompresory\n[SPOTREBICE]\nRO01=Pec\n"
                          "[MQTT]\n%4\nPort=%2\nNode=zavod\n[METRIKY]\nListen=127.0.0.1:%3\n")
               .arg(sim.Udp)
               .arg(broker.Port)
               .arg(metrics)
               .arg(mqtt) +
        more;
}

QStringList SimArgs(int generation, int meters)
{
    return {QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), QString::number(generation),
            QStringLiteral("--meters"), QString::number(meters), QStringLiteral("--kinds"), QStringLiteral("0x8"),
            QStringLiteral("--preg"), QStringLiteral("450,320"), QStringLiteral("--now"), QStringLiteral("2026-12-01T03:07"),
            QStringLiteral("--lost"), QStringLiteral("2870"), QStringLiteral("--seed"), QStringLiteral("3"),
            QStringLiteral("--speed"), QStringLiteral("0")};
}

// Polls the broker's retained messages under topic until done holds them.
QMap<QString, QByteArray> RetainedWhen(const Broker& broker, const QString& topic,
                                       const std::function<bool(const QMap<QString, QByteArray>&)>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    QMap<QString, QByteArray> now;
    do {
        now = broker.Retained(topic);
        if (done(now))
            break;
    } while (t.elapsed() < ms);
    return now;
}

// The objects of the node's discovery configs.
std::set<QString> Objects(const QMap<QString, QByteArray>& configs)
{
    std::set<QString> out;
    for (auto it = configs.begin(); it != configs.end(); ++it)
        if (!it.value().isEmpty())
            out.insert(it.key().section(QLatin1Char('/'), 3, 3));
    return out;
}

std::set<QString> ExpectedObjects(int generation, int meters, int appliances)
{
    std::set<QString> out{"projected", "interval_time", "regulated_vt", "regulated_nt", "tariff", "stage", "peak",
                          "peak_time", "identification", "link"};
    const int live = generation >= 3 ? meters + 1 : 1;
    const int archive = generation >= 3 ? meters + 1 : meters;
    for (int c = 0; c < live; ++c)
        for (const char* kind : {"power_", "average_", "interval_"})
            out.insert(QStringLiteral("%1%2").arg(QLatin1String(kind)).arg(c, 2, 10, QLatin1Char('0')));
    for (int c = 0; c < archive; ++c) {
        for (const char* kind : {"energy_month_", "energy_total_"})
            out.insert(QStringLiteral("%1%2").arg(QLatin1String(kind)).arg(c, 2, 10, QLatin1Char('0')));
    }
    for (int n = 1; generation >= 2 && n <= appliances; ++n)
        out.insert(QStringLiteral("appliance_%1").arg(n, 2, 10, QLatin1Char('0')));
    return out;
}

QJsonObject Config(const QMap<QString, QByteArray>& configs, const char* component, const char* object)
{
    return QJsonDocument::fromJson(configs.value(QStringLiteral("homeassistant/%1/zavod/%2/config")
                                                     .arg(QLatin1String(component), QLatin1String(object))))
        .object();
}

// GET path from the endpoint: the status code and the body.
std::pair<int, QByteArray> Get(uint16_t port, const QByteArray& path)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return {0, {}};
    s.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        s.waitForReadyRead(200);
        reply += s.readAll();
        const qsizetype end = reply.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        const QByteArray head = reply.left(end).toLower();
        const qsizetype at = head.indexOf("content-length:");
        const qsizetype length = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
        if (reply.size() - end - 4 >= length)
            return {reply.mid(9, 3).toInt(), reply.mid(end + 4, length)};
    }
    return {0, reply};
}

// Energy of a channel over the simulator's records of a month (its current
// one by default), kWh.
double MonthEnergy(TSimRegulator& r, int channel, uint16_t month = 0)
{
    if (month == 0)
        month = r.MonthTable().Month0;
    uint64_t sum = 0;
    for (uint16_t i = 1; i <= r.NumberedRecords(month); ++i)
        if (const std::optional<TSimBytes> rec = r.Record(month, i)) {
            const uint16_t v = uint16_t((*rec)[2 + 2 * channel] | (*rec)[3 + 2 * channel] << 8);
            if (v != 0xFFFF)
                sum += v;
        }
    return double(sum) * r.Config().IntervalMinutes / 60.0;
}
} // namespace

TEST(Telemetry, Generation3ValuesDiscoveryAndMetricsAreThoseOfTheSimulator)
{
    const QStringList args = SimArgs(3, 4);
    TSimMirror mirror(args);
    ASSERT_TRUE(mirror.Valid) << mirror.Error;
    SimProcess sim(args);
    ASSERT_TRUE(sim.Ready);
    Broker broker;
    ASSERT_TRUE(broker.Running);
    const uint16_t metricsPort = FreePort();
    // The regulator's average spreads the energy so far over the whole
    // interval: the projection is the alerts' for that reading.
    SiteDir site(SiteIni(sim, broker, metricsPort, QStringLiteral("Host=127.0.0.1"), QStringLiteral("[ALARMY]\nPriemer=interval\n")));
    Driver driver(site.Path());
    ASSERT_TRUE(driver.Ready) << driver.Log().toStdString();

    // The energies come once the month's file is whole.
    const QString energy0 = QStringLiteral("qdrwin/zavod/measurement/00/energy_month");
    QMap<QString, QByteArray> state = RetainedWhen(
        broker, QStringLiteral("qdrwin/zavod/#"), [&](const auto& m) { return m.contains(energy0) && m.contains("qdrwin/zavod/stage"); },
        60000);
    ASSERT_TRUE(state.contains(energy0)) << driver.Log().toStdString();
    TSimRegulator& r = mirror.Regulator();
    const int64_t now = r.GetClock();
    auto value = [&](const char* topic) { return state.value(QStringLiteral("qdrwin/zavod/") + QLatin1String(topic)); };
    EXPECT_EQ(value("status"), "online");
    EXPECT_EQ(value("link"), "ON");
    EXPECT_EQ(value("identification"), QByteArray::fromStdString(r.IdText()).trimmed());
    EXPECT_EQ(value("measurement/00/power"), QByteArray::number(r.SitePower(now)));
    EXPECT_EQ(value("measurement/00/average"), QByteArray::number(r.SiteAverage(now)));
    EXPECT_EQ(value("measurement/01/power"), QByteArray::number(r.MeterPower(1, now)));
    EXPECT_EQ(value("measurement/03/average"), QByteArray::number(r.MeterAverage(3, now)));
    // Meter 4 measures reactive power: var, not kvar.
    EXPECT_EQ(value("measurement/04/power"), QByteArray::number(r.MeterPower(4, now) * 1000));
    const double projected = ProjectedIntervalPower(r.SiteAverage(now), r.SitePower(now), 7 * 60, 15 * 60, TAverageReading::Interval);
    EXPECT_NEAR(value("projected").toDouble(), projected, 0.051);
    EXPECT_EQ(value("regulated/vt"), "450");
    EXPECT_EQ(value("regulated/nt"), "320");
    EXPECT_EQ(value("tariff"), r.Tariff(now) == 0 ? "VT" : "NT");
    EXPECT_EQ(value("stage"), QByteArray::number(r.Stage(now)));
    EXPECT_EQ(value("appliance/01"), r.Stage(now) >= 1 ? "ON" : "OFF");
    for (int c = 0; c <= 4; ++c)
        EXPECT_NEAR(state.value(QStringLiteral("qdrwin/zavod/measurement/%1/energy_month").arg(c, 2, 10, QLatin1Char('0'))).toDouble(),
                    MonthEnergy(r, c), 1e-6)
            << "channel " << c;
    EXPECT_FALSE(state.contains(QStringLiteral("qdrwin/zavod/measurement/00/interval"))) << "no interval closed yet";

    // Discovery: one device, classes Home Assistant takes.
    const QMap<QString, QByteArray> configs = broker.Retained(Configs);
    EXPECT_EQ(Objects(configs), ExpectedObjects(3, 4, 8));
    const QJsonObject power = Config(configs, "sensor", "power_00");
    EXPECT_EQ(power.value("device_class"), "power");
    EXPECT_EQ(power.value("unit_of_measurement"), "kW");
    EXPECT_EQ(power.value("state_class"), "measurement");
    // Ids from the node and the object, never from the Slovak names.
    EXPECT_EQ(power.value("unique_id"), "qdrwin_zavod_power_00");
    EXPECT_EQ(power.value("default_entity_id"), "sensor.zavod_power_00");
    EXPECT_EQ(power.value("object_id"), "zavod_power_00");
    EXPECT_EQ(Config(configs, "binary_sensor", "link").value("default_entity_id"), "binary_sensor.zavod_link");
    const QJsonObject origin = power.value("origin").toObject();
    EXPECT_EQ(origin.value("name"), "QDRWin");
    EXPECT_FALSE(origin.value("sw_version").toString().isEmpty());
    EXPECT_TRUE(origin.value("support_url").toString().startsWith("https://"));
    EXPECT_EQ(power.value("state_topic"), "qdrwin/zavod/measurement/00/power");
    EXPECT_EQ(power.value("availability_topic"), "qdrwin/zavod/status");
    const QJsonObject device = power.value("device").toObject();
    EXPECT_EQ(device.value("identifiers").toArray().first(), "qdrwin_zavod");
    EXPECT_EQ(device.value("name"), "Závod Test");
    EXPECT_EQ(device.value("model").toString().toUtf8(), QByteArray::fromStdString(r.IdText()).trimmed());
    // The regulator's firmware from its identification, not this program's.
    EXPECT_EQ(device.value("sw_version"), "3.0");
    const QJsonObject reactive = Config(configs, "sensor", "power_04");
    EXPECT_EQ(reactive.value("device_class"), "reactive_power");
    EXPECT_EQ(reactive.value("unit_of_measurement"), "var");
    // The month's energy falls at the turn: no state class, so that only
    // energy_total can feed an energy dashboard; its month beside it.
    const QJsonObject energy = Config(configs, "sensor", "energy_month_00");
    EXPECT_EQ(energy.value("device_class"), "energy");
    EXPECT_EQ(energy.value("unit_of_measurement"), "kWh");
    EXPECT_FALSE(energy.contains("state_class"));
    EXPECT_EQ(energy.value("json_attributes_topic"), "qdrwin/zavod/measurement/00/energy_month/attributes");
    EXPECT_EQ(QJsonDocument::fromJson(value("measurement/00/energy_month/attributes")).object().value("month"), "2026-12");
    const QJsonObject reactiveEnergy = Config(configs, "sensor", "energy_month_04");
    EXPECT_FALSE(reactiveEnergy.contains("device_class"));
    EXPECT_EQ(reactiveEnergy.value("unit_of_measurement"), "kvarh");
    EXPECT_EQ(Config(configs, "sensor", "energy_total_04").value("state_class"), "total_increasing");
    for (const char* plain : {"tariff", "identification", "interval_time", "peak_time"}) {
        const QJsonObject c = Config(configs, "sensor", plain);
        EXPECT_FALSE(c.contains("state_class") || c.contains("unit_of_measurement")) << plain;
    }
    EXPECT_EQ(Config(configs, "binary_sensor", "link").value("device_class"), "connectivity");
    // Unnamed ones called as the window calls them.
    EXPECT_EQ(Config(configs, "sensor", "power_03").value("name"), "03 Elektromer 3 – okamžitý výkon");
    EXPECT_EQ(Config(configs, "binary_sensor", "appliance_02").value("name"), "Spotrebič 2 – odpojený regulátorom");

    // The endpoint: base units, the site on its info alone, clean for promtool.
    const auto [code, page] = Get(metricsPort, "/metrics");
    ASSERT_EQ(code, 200);
    EXPECT_TRUE(page.contains("\nqdr_site_power_watts " + QByteArray::number(r.SitePower(now) * 1000) + "\n")) << page.toStdString();
    EXPECT_TRUE(page.contains("\nqdr_power_watts{channel=\"01\"} "));
    EXPECT_TRUE(page.contains("\nqdr_reactive_power_var{channel=\"04\"} " + QByteArray::number(r.MeterPower(4, now) * 1000) + "\n"));
    EXPECT_TRUE(page.contains("\nqdr_regulated_power_watts{tariff=\"VT\"} 450000\n"));
    const QByteArray projectedLine = "\nqdr_interval_projected_watts ";
    const qsizetype at = page.indexOf(projectedLine);
    ASSERT_GE(at, 0);
    EXPECT_NEAR(page.mid(at + projectedLine.size(), page.indexOf('\n', at + 1) - at - projectedLine.size()).toDouble(), projected * 1000, 1);
    EXPECT_TRUE(page.contains("\nqdr_link_up 1\n"));
    EXPECT_TRUE(page.contains("\nqdr_archive_records{month=\"2026-12\"} 12\n"));
    EXPECT_TRUE(page.contains("\nqdr_archive_records_filed_total 22\n"));
    EXPECT_TRUE(page.contains("# TYPE qdr_exchanges_total counter\n"));
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    promtool.write(page);
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(30000));
    EXPECT_EQ(promtool.exitCode(), 0);
    EXPECT_EQ(promtool.readAll(), QByteArray()) << "promtool said something";
    EXPECT_EQ(Get(metricsPort, "/").first, 200);
    EXPECT_EQ(Get(metricsPort, "/metrics/x").first, 404);

    // The interval ends: its power with its start, and its record in the
    // month's energy.
    const QByteArray average = QByteArray::number(r.SiteAverage(now));
    sim.Command("advance 15");
    mirror.Advance(15);
    const QByteArray energyAfter = QByteArray::number(MonthEnergy(r, 0), 'f', 2);
    state = RetainedWhen(
        broker, QStringLiteral("qdrwin/zavod/#"),
        [&](const auto& m) {
            return m.contains("qdrwin/zavod/interval/start") && m.value(energy0).toDouble() == MonthEnergy(r, 0);
        },
        30000);
    EXPECT_EQ(value("measurement/00/interval"), average);
    EXPECT_EQ(value("interval/start"), "2026-12-01T03:00:00+01:00");
    EXPECT_NEAR(value("measurement/00/energy_month").toDouble(), MonthEnergy(r, 0), 1e-6) << energyAfter.toStdString();
    EXPECT_EQ(driver.Terminate(), 0);
}

// A sample's value on the page, NaN when it is not there.
double Sample(const QByteArray& page, const QByteArray& series)
{
    const qsizetype at = page.indexOf("\n" + series + ' ');
    if (at < 0)
        return std::nan("");
    const qsizetype from = at + series.size() + 2;
    return page.mid(from, page.indexOf('\n', from) - from).toDouble();
}

TEST(Telemetry, LifetimeEnergyKeepsTheOldMonthsRecordsFiledAfterTheTurn)
{
    // An hour before the year's end.
    QStringList args = SimArgs(3, 4);
    args[args.indexOf(QStringLiteral("--now")) + 1] = QStringLiteral("2026-12-31T23:07");
    args[args.indexOf(QStringLiteral("--lost")) + 1] = QStringLiteral("0");
    TSimMirror mirror(args);
    ASSERT_TRUE(mirror.Valid) << mirror.Error;
    SimProcess sim(args);
    ASSERT_TRUE(sim.Ready);
    Broker broker;
    ASSERT_TRUE(broker.Running);
    const uint16_t metricsPort = FreePort();
    SiteDir site(SiteIni(sim, broker, metricsPort));
    TSimRegulator& r = mirror.Regulator();
    const uint16_t dec = 2026 * 12 + 11, jan = 2027 * 12, nov = 2026 * 12 + 10;
    {
        // The site filed November and most of December before: the service
        // fetches only the rest.
        TArchiveQDR earlier(site.Path());
        earlier.SetChannels(5);
        earlier.KindMask = 0x8;
        for (const auto& [month, last] : {std::pair<uint16_t, uint16_t>{nov, 2880}, {dec, 2970}})
            for (uint16_t i = 1; i <= last; ++i) {
                const std::optional<TSimBytes> rec = r.Record(month, i);
                ASSERT_TRUE(rec && earlier.StoreRecord(month, i, rec->data(), uint16_t(rec->size()))) << month << ' ' << i;
            }
        ASSERT_TRUE(earlier.SaveAll());
    }
    Watch watch(broker, QStringLiteral("qdrwin/zavod/measurement/00/energy_total"));
    Driver driver(site.Path());
    ASSERT_TRUE(driver.Ready) << driver.Log().toStdString();
    // November leaves the regulator with the turn; its file stays.
    std::array<double, 5> november{};
    for (int c = 0; c < 5; ++c)
        november[size_t(c)] = MonthEnergy(r, c, nov);
    auto simTotal = [&](int c) { return november[size_t(c)] + MonthEnergy(r, c, dec) + MonthEnergy(r, c, jan); };
    const QString total0 = QStringLiteral("qdrwin/zavod/measurement/00/energy_total");
    auto reached = [&](double kwh) {
        return RetainedWhen(
                   broker, total0, [&](const auto& m) { return std::abs(m.value(total0).toDouble() - kwh) < 1e-6; }, 60000)
            .value(total0);
    };
    const double before = simTotal(0);
    ASSERT_NEAR(reached(before).toDouble(), before, 1e-6) << driver.Log().toStdString();

    // The year turns while the service is held: December's last records are
    // filed after January's file began.
    driver.Signal(SIGSTOP);
    sim.Command("advance 90");
    mirror.Advance(90);
    driver.Signal(SIGCONT);
    ASSERT_GT(MonthEnergy(r, 0, jan), 0.0);
    const double after = simTotal(0);
    ASSERT_GT(after, before + MonthEnergy(r, 0, jan));
    EXPECT_NEAR(reached(after).toDouble(), after, 1e-6) << driver.Log().toStdString();

    // Never lower on the way.
    for (QElapsedTimer t; !t.isValid() || t.elapsed() < 10000;) {
        if (!t.isValid())
            t.start();
        watch.Sub.waitForReadyRead(200);
        if (!watch.Messages().empty() && std::abs(watch.Messages().back().Payload.toDouble() - after) < 1e-6)
            break;
    }
    double last = 0;
    int seen = 0;
    for (const Watch::Message& m : watch.Messages()) {
        ASSERT_FALSE(m.Payload.isEmpty());
        EXPECT_GE(m.Payload.toDouble(), last) << "fell at message " << seen;
        last = m.Payload.toDouble();
        ++seen;
    }
    EXPECT_GE(seen, 2);

    const auto [code, page] = Get(metricsPort, "/metrics");
    ASSERT_EQ(code, 200);
    EXPECT_TRUE(page.contains("# TYPE qdr_site_energy_joules_total counter\n"));
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    promtool.write(page);
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(30000));
    EXPECT_EQ(promtool.exitCode(), 0);
    EXPECT_EQ(promtool.readAll(), QByteArray()) << "promtool said something";
    const QMap<QString, QByteArray> state = broker.Retained(QStringLiteral("qdrwin/zavod/measurement/+/energy_total"));
    EXPECT_EQ(driver.Terminate(), 0);

    // What the month files hold, read as the archive page reads them.
    TArchiveQDR archive(site.Path());
    std::array<double, 5> files{};
    for (const uint16_t month : {nov, dec, jan}) {
        TDispArch view(&archive, 15);
        ASSERT_TRUE(view.Open(archive.MonthFileName(month))) << month;
        for (size_t c = 0; c < files.size(); ++c)
            files[c] += view.Sums[c].Total / 4.0;
    }
    for (int c = 0; c < 5; ++c) {
        const QByteArray ch = QByteArray::number(c).rightJustified(2, '0');
        EXPECT_NEAR(state.value("qdrwin/zavod/measurement/" + ch + "/energy_total").toDouble(), files[size_t(c)], 1e-6) << c;
        EXPECT_NEAR(files[size_t(c)], simTotal(c), 1e-6) << c;
    }
    EXPECT_NEAR(Sample(page, "qdr_site_energy_joules_total"), files[0] * 3.6e6, 1);
    EXPECT_NEAR(Sample(page, "qdr_energy_joules_total{channel=\"01\"}"), files[1] * 3.6e6, 1);
    // Meter 4 measures reactive power.
    EXPECT_NEAR(Sample(page, "qdr_reactive_energy_varh_total{channel=\"04\"}"), files[4] * 1e3, 1);
}

TEST(Telemetry, ConfigsFollowTheGenerationAndStaleOnesAreCleared)
{
    Broker broker;
    ASSERT_TRUE(broker.Running);
    // Generation 3 first; then the same node with older regulators, whose
    // meters (and, for generation 1, appliances) are gone.
    // What an older version published for the month's energy goes too.
    ASSERT_TRUE(broker.Publish(QStringLiteral("qdrwin/zavod/measurement/00/energy"), "12.5", true));
    for (const auto& [generation, meters] : std::vector<std::pair<int, int>>{{3, 4}, {1, 2}, {2, 2}}) {
        SimProcess sim(SimArgs(generation, meters));
        ASSERT_TRUE(sim.Ready);
        SiteDir site(SiteIni(sim, broker, FreePort()));
        Driver driver(site.Path());
        ASSERT_TRUE(driver.Ready);
        const std::set<QString> expected = ExpectedObjects(generation, meters, 8);
        const QMap<QString, QByteArray> configs =
            RetainedWhen(broker, Configs, [&](const auto& m) { return Objects(m) == expected; }, 30000);
        EXPECT_EQ(Objects(configs), expected) << "generation " << generation << "\n" << driver.Log().toStdString();
        // The states of what the last run had and this one has not go too:
        // meter 4's, and for generation 1 the meters' live values and the
        // appliances.
        const std::vector<QString> gone =
            generation == 3 ? std::vector<QString>{QStringLiteral("qdrwin/zavod/measurement/00/energy")}
                            : std::vector<QString>{QStringLiteral("qdrwin/zavod/measurement/04/power"),
                                                   QStringLiteral("qdrwin/zavod/measurement/04/energy_month"),
                                                   QStringLiteral("qdrwin/zavod/measurement/01/average")};
        const auto cleared = [&](const QMap<QString, QByteArray>& m) {
            return m.contains(QStringLiteral("qdrwin/zavod/measurement/00/power")) &&
                std::none_of(gone.begin(), gone.end(), [&](const QString& t) { return m.contains(t); }) &&
                (generation != 1 || !m.contains(QStringLiteral("qdrwin/zavod/appliance/01")));
        };
        const QMap<QString, QByteArray> state = RetainedWhen(broker, QStringLiteral("qdrwin/zavod/#"), cleared, 15000);
        EXPECT_TRUE(cleared(state)) << "generation " << generation << ": " << QStringList(state.keys()).join(' ').toStdString();
        if (generation == 2) {
            // Another Node by reload: the old node's device and values go,
            // the new one comes.
            site.WriteIni(SiteIni(sim, broker, FreePort()).replace(QStringLiteral("Node=zavod"), QStringLiteral("Node=hala")));
            driver.Signal(SIGHUP);
            const auto none = [](const QMap<QString, QByteArray>& m) { return m.isEmpty(); };
            EXPECT_EQ(RetainedWhen(broker, Configs, none, 15000).size(), 0);
            EXPECT_EQ(RetainedWhen(broker, QStringLiteral("qdrwin/zavod/#"), none, 5000).keys().join(' '), QString());
            const QString hala = QStringLiteral("homeassistant/+/hala/+/config");
            EXPECT_EQ(Objects(RetainedWhen(broker, hala, [&](const auto& m) { return Objects(m) == expected; }, 30000)), expected);
        }
        EXPECT_EQ(driver.Terminate(), 0);
    }
}

TEST(Telemetry, LiveValuesGoWithTheLinkAndAnOutageSendsNoConfigsAgain)
{
    SimProcess sim(SimArgs(3, 4));
    Broker broker;
    ASSERT_TRUE(sim.Ready && broker.Running);
    const uint16_t metricsPort = FreePort();
    SiteDir site(SiteIni(sim, broker, metricsPort));
    // The regulator counts as gone 15 s after its last reply rather than 60.
    Driver driver(site.Path(), 15);
    ASSERT_TRUE(driver.Ready);
    const std::set<QString> expected = ExpectedObjects(3, 4, 8);
    ASSERT_EQ(Objects(RetainedWhen(broker, Configs, [&](const auto& m) { return Objects(m) == expected; }, 30000)), expected);
    const QString power = QStringLiteral("qdrwin/zavod/measurement/00/power");
    ASSERT_NE(RetainedWhen(broker, power, [&](const auto& m) { return !m.value(power).isEmpty(); }, 15000).value(power), "");

    Watch configs(broker, Configs, true);
    Watch state(broker, QStringLiteral("qdrwin/zavod/#"), true);
    // Mute for 25 s: the link goes down after 10, the regulator is gone
    // after 15 and answers again after 25.
    sim.Command("mute 25");
    const qint64 down = state.WaitFor(QStringLiteral("qdrwin/zavod/link"), "OFF", 20000);
    ASSERT_GE(down, 0) << driver.Log().toStdString();
    // Gone from the endpoint beside qdr_link_up 0 at once.
    const auto [code, page] = Get(metricsPort, "/metrics");
    ASSERT_EQ(code, 200);
    EXPECT_TRUE(page.contains("\nqdr_link_up 0\n")) << page.toStdString();
    for (const char* metric : {"qdr_site_power_watts", "qdr_power_watts", "qdr_site_interval_average_watts",
                               "qdr_interval_average_watts", "qdr_interval_projected_watts", "qdr_interval_elapsed_seconds",
                               "qdr_stage", "qdr_tariff", "qdr_regulated_power_in_force_watts", "qdr_appliance_disconnected"}) {
        // A sample line: the name, then its labels or its value.
        const QRegularExpression sample(QStringLiteral("^%1[{ ]").arg(QLatin1String(metric)),
                                        QRegularExpression::MultilineOption);
        EXPECT_FALSE(QString::fromUtf8(page).contains(sample)) << metric << "\n" << page.toStdString();
    }

    // And None on the broker with the link, not half a minute later.
    for (const char* topic : {"measurement/00/power", "measurement/00/average", "measurement/02/power", "projected", "tariff",
                              "stage", "appliance/01"}) {
        const qint64 at = state.WaitFor(QStringLiteral("qdrwin/zavod/") + QLatin1String(topic), "None", 3000);
        EXPECT_GE(at, 0) << topic;
        EXPECT_LE(at - down, 1500) << topic;
    }
    // Back: the values again, and not one config more for the outage.
    ASSERT_GE(state.WaitFor(QStringLiteral("qdrwin/zavod/link"), "ON", 30000), 0) << driver.Log().toStdString();
    const auto live = [&](const QMap<QString, QByteArray>& m) { return !m.value(power).isEmpty() && m.value(power) != "None"; };
    EXPECT_TRUE(live(RetainedWhen(broker, power, live, 15000)));
    QThread::sleep(3);
    // Taken in from the pipe (nothing read it while muted).
    while (configs.Sub.waitForReadyRead(500)) {
    }
    std::vector<QString> again;
    for (const Watch::Message& m : configs.Messages())
        again.push_back(m.Topic + QLatin1Char(' ') + QString::fromUtf8(m.Payload.left(80)));
    EXPECT_EQ(again, std::vector<QString>{}) << driver.Log().toStdString();
    EXPECT_EQ(driver.Terminate(), 0);
}

TEST(Telemetry, AvailabilityIsRetainedAndTheWillComesAfterAKillOrAHang)
{
    const QStringList args = SimArgs(3, 4);
    SimProcess sim(args);
    Broker broker;
    ASSERT_TRUE(sim.Ready && broker.Running);
    SiteDir site(SiteIni(sim, broker, FreePort(), QStringLiteral("Host=127.0.0.1\nKeepAlive=5\nUser=site\nPassword=secret")));
    Watch watch(broker, Status);
    {
        Driver driver(site.Path());
        ASSERT_GE(watch.WaitFor(Status, "online", 20000), 0) << driver.Log().toStdString();
        EXPECT_EQ(broker.Retained(Status).value(Status), "online");
        // Taken, but said.
        EXPECT_EQ(driver.Log().count(QStringLiteral("mqtt-insecure broker=127.0.0.1:%1 reason=\"password sent without TLS\"\n")
                                         .arg(broker.Port).toUtf8()),
                  1)
            << driver.Log().toStdString();
        const size_t seen = watch.Messages().size();
        const qint64 killed = watch.Clock.elapsed();
        driver.Signal(SIGKILL);
        const qint64 will = watch.WaitFor(Status, "offline", 10000, seen);
        ASSERT_GE(will, 0) << "no will after kill -9";
        EXPECT_LT(will - killed, 3000);
    }
    {
        // A process that hangs without closing its socket: the broker gives
        // up on it after 1.5 x KeepAlive (5 s here) without a message from it.
        // mosquitto 2.0 counts that in whole seconds and checks now and then:
        // 7.5 s to 12.7 s were seen, so twice the time is allowed; a hang
        // noticed only by TCP would take minutes.
        Driver driver(site.Path());
        size_t seen = watch.Messages().size();
        ASSERT_GE(watch.WaitFor(Status, "online", 20000, seen), 0);
        seen = watch.Messages().size();
        const qint64 stopped = watch.Clock.elapsed();
        driver.Signal(SIGSTOP);
        const qint64 will = watch.WaitFor(Status, "offline", 20000, seen);
        ASSERT_GE(will, 0) << "no will after SIGSTOP";
        std::printf("[ timing ] the will came %lld ms after SIGSTOP (KeepAlive 5 s)\n", static_cast<long long>(will - stopped));
        EXPECT_LE(will - stopped, 2 * 7500);
        driver.Signal(SIGCONT);
    }
    {
        // An orderly stop says "offline" itself and ends at once.
        Driver driver(site.Path());
        const size_t seen = watch.Messages().size();
        ASSERT_GE(watch.WaitFor(Status, "online", 20000, seen), 0);
        EXPECT_EQ(driver.Terminate(), 0);
        EXPECT_EQ(broker.Retained(Status).value(Status), "offline");
        EXPECT_TRUE(driver.Log().contains("mqtt-stopped")) << driver.Log().toStdString();
    }
}

TEST(Telemetry, ConfigsComeAgainForHomeAssistantAndAfterTheBrokerRestarts)
{
    SimProcess sim(SimArgs(3, 4));
    Broker broker;
    ASSERT_TRUE(sim.Ready && broker.Running);
    SiteDir site(SiteIni(sim, broker, FreePort()));
    Driver driver(site.Path());
    const std::set<QString> expected = ExpectedObjects(3, 4, 8);
    ASSERT_EQ(Objects(RetainedWhen(broker, Configs, [&](const auto& m) { return Objects(m) == expected; }, 30000)), expected);

    {
        // Home Assistant restarts: every config again, after a pause of 1
        // to 5 s. Anyone else who says "online" 600 times gets no more than
        // that, and the service no bigger.
        Watch watch(broker, QStringLiteral("homeassistant/+/zavod/#"), true);
        const long before = driver.ResidentKb();
        QProcess pub;
        pub.start(QStringLiteral("mosquitto_pub"),
                  broker.Args({QStringLiteral("-t"), QStringLiteral("homeassistant/status"), QStringLiteral("-l")}));
        ASSERT_TRUE(pub.waitForStarted(5000));
        const qint64 asked = watch.Clock.elapsed();
        pub.write(QByteArray("online\n").repeated(600));
        pub.closeWriteChannel();
        ASSERT_TRUE(pub.waitForFinished(10000));
        std::map<QString, int> sent;
        qint64 first = -1;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 9000) {
            watch.Sub.waitForReadyRead(100);
            sent.clear();
            for (const Watch::Message& m : watch.Messages())
                if (!m.Payload.isEmpty()) {
                    ++sent[m.Topic.section(QLatin1Char('/'), 3, 3)];
                    if (first < 0)
                        first = m.At;
                }
        }
        std::set<QString> again;
        for (const auto& [object, count] : sent) {
            again.insert(object);
            EXPECT_EQ(count, 1) << object.toStdString() << " sent " << count << " times";
        }
        EXPECT_EQ(again, expected) << driver.Log().toStdString();
        EXPECT_GE(first - asked, 900) << "the configs came at once";
        EXPECT_LE(first - asked, 6500);
        const long after = driver.ResidentKb();
        std::printf("[ memory ] %ld kB before 600 \"online\", %ld kB after\n", before, after);
        EXPECT_LT(after - before, 5 * 1024);
    }

    // Ten seconds without a broker (which keeps nothing): everything again
    // once it is back.
    broker.Stop();
    QThread::sleep(10);
    ASSERT_TRUE(broker.Start());
    const QMap<QString, QByteArray> configs =
        RetainedWhen(broker, Configs, [&](const auto& m) { return Objects(m) == expected; }, 45000);
    EXPECT_EQ(Objects(configs), expected) << driver.Log().toStdString();
    const QMap<QString, QByteArray> state = RetainedWhen(
        broker, QStringLiteral("qdrwin/zavod/#"),
        [](const auto& m) {
            return m.value(Status) == "online" && m.contains("qdrwin/zavod/measurement/00/power") &&
                m.contains("qdrwin/zavod/measurement/00/energy_month");
        },
        15000);
    EXPECT_EQ(state.value(Status), "online");
    // The state goes out topic by topic: waited for whole, not caught halfway.
    EXPECT_TRUE(state.contains(QStringLiteral("qdrwin/zavod/measurement/00/energy_month")));
    EXPECT_TRUE(driver.Log().contains("mqtt-disconnected")) << driver.Log().toStdString();

    // The broker comes back with an access list that keeps the site out of
    // the discovery prefix: its refusal of every config is said once.
    broker.Stop();
    {
        QFile acl(broker.Dir.filePath(QStringLiteral("acl")));
        ASSERT_TRUE(acl.open(QIODevice::WriteOnly));
        acl.write("topic readwrite qdrwin/#\n");
        QFile conf(broker.Dir.filePath(QStringLiteral("mosquitto.conf")));
        ASSERT_TRUE(conf.open(QIODevice::Append));
        conf.write("acl_file " + QFile::encodeName(acl.fileName()) + "\n");
    }
    const qsizetype logged = driver.Log().size();
    ASSERT_TRUE(broker.Start());
    const QByteArray refused = QStringLiteral("mqtt-refused broker=127.0.0.1:%1 what=").arg(broker.Port).toUtf8();
    QElapsedTimer t;
    t.start();
    while (!driver.Log().mid(logged).contains(refused) && t.elapsed() < 45000)
        QThread::msleep(200);
    QThread::sleep(2);
    const QByteArray log = driver.Log().mid(logged);
    EXPECT_EQ(log.count(refused + "publication reason=\"Not authorized\"\n"), 1) << log.toStdString();
    EXPECT_EQ(driver.Terminate(), 0);
}

TEST(Telemetry, ATlsBrokerIsCheckedAgainstCaFileAndItsName)
{
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    SimProcess sim(SimArgs(3, 4));
    ASSERT_TRUE(sim.Ready);
    // A certificate for localhost from the CA given: taken. One for another
    // name from the same CA: refused, and said why.
    for (const auto& [certificate, taken] : std::vector<std::pair<QString, bool>>{{"server", true}, {"other", false}}) {
        Broker broker(ca.Path(certificate + ".pem"), ca.Path(certificate + ".key"));
        ASSERT_TRUE(broker.Running);
        broker.CaFile = ca.CaFile();
        SiteDir site(SiteIni(sim, broker, FreePort(),
                             QStringLiteral("Host=localhost\nSecurity=tls\nCAFile=%1").arg(ca.CaFile())));
        Driver driver(site.Path());
        ASSERT_TRUE(driver.Ready);
        if (taken) {
            Watch watch(broker, Status);
            ASSERT_GE(watch.WaitFor(Status, "online", 20000), 0) << driver.Log().toStdString();
        } else {
            // Read with a client that does not check the name.
            QThread::sleep(5);
            broker.AnyName = true;
            EXPECT_TRUE(broker.Retained(Status).isEmpty());
            EXPECT_TRUE(driver.Log().contains("certificate verify failed")) << driver.Log().toStdString();
        }
        EXPECT_EQ(driver.Terminate(), 0);
    }
}
