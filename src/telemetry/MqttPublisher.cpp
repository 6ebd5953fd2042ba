#include "telemetry/MqttPublisher.h"

#include "telemetry/TelemetryModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <system_error>

namespace {
const QByteArray None = QByteArrayLiteral("None");

QByteArray Number(double v, int decimals)
{
    QByteArray text = QByteArray::number(v, 'f', decimals);
    if (text.contains('.')) {
        while (text.endsWith('0'))
            text.chop(1);
        if (text.endsWith('.'))
            text.chop(1);
    }
    return text == "-0" ? QByteArrayLiteral("0") : text;
}

QString Two(int n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); }

// A power in kW as published: reactive power in var.
QByteArray PowerText(std::optional<double> v, bool reactive)
{
    if (!v)
        return None;
    return reactive ? Number(*v * 1000.0, 0) : Number(*v, 1);
}

// strerror is not for two threads at once.
QString ErrorText(int error)
{
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

// What a broker's reason code says: MQTT 3.1.1's CONNACK codes are below
// 0x80, version 5's failures from 0x80 on.
QString ReasonText(int rc)
{
    return QString::fromUtf8(rc < 0x80 ? mosquitto_connack_string(rc) : mosquitto_reason_string(rc));
}

std::atomic<int> LingeringClients{0};
} // namespace

struct TMqttPublisher::TContext {
    uint32_t Session = 0;
    QByteArray Host;
    int Port = 0;
    int KeepAlive = 0;
    QByteArray DiscoveryStatus; // the one topic listened to

    // Guards Self, Complaints and the waits on Wake.
    std::mutex Lock;
    std::condition_variable Wake;
    // Cleared under Lock as the publisher lets go: nothing is posted to it
    // from then on.
    TMqttPublisher* Self = nullptr;
    // The library's complaints (a TLS failure, ...) since they were last
    // taken, at most four.
    QStringList Complaints;

    std::atomic<bool> Stop{false};
    // Set with Stop: until then the goodbye may still be going out.
    std::atomic<int64_t> StopBy{0};
    std::atomic<bool> Done{false};     // the thread has left its loop
    std::atomic<bool> Gone{false};     // the connection ended
    std::atomic<bool> Acked{false};    // the broker took a connection
    std::atomic<bool> OldBroker{false};// refused MQTT 5: 3.1.1 from now on
    // One "online" waits to be taken: the rest are dropped until then.
    std::atomic<bool> OnlinePending{false};
    // Each said once per connection.
    std::atomic<bool> PublishRefusalTold{false};
    std::atomic<bool> SubscribeRefusalTold{false};

    static int64_t Now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    // call(publisher) on the publisher's thread, unless it has let go.
    template <typename F> void Post(F call)
    {
        const std::lock_guard<std::mutex> lock(Lock);
        if (Self)
            QMetaObject::invokeMethod(Self, [self = Self, call = std::move(call)] { call(self); }, Qt::QueuedConnection);
    }
    // Sleeps, unless told to stop; false once told.
    bool Pause(int seconds)
    {
        std::unique_lock<std::mutex> lock(Lock);
        return !Wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return Stop.load(); });
    }
};

std::vector<TMqttEntity> MqttEntities(const TTelemetryModel& model)
{
    std::vector<TMqttEntity> list;
    list.push_back({QStringLiteral("link"), QStringLiteral("binary_sensor"), QStringLiteral("Spojenie s regulátorom"),
                    QStringLiteral("link"), QStringLiteral("connectivity"), {}, {}, true,
                    [](const TTelemetryModel& m) {
                        return !m.LinkKnown() ? QByteArray() : m.LinkUp() ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
                    }});
    list.push_back({QStringLiteral("identification"), QStringLiteral("sensor"), QStringLiteral("Identifikácia regulátora"),
                    QStringLiteral("identification"), {}, {}, {}, true, [](const TTelemetryModel& m) {
                        const std::optional<QString> id = m.Identification();
                        return id ? id->toUtf8() : QByteArray();
                    }});
    if (!model.Known())
        return list;

    const QString power = QStringLiteral("power");
    const QString kw = QStringLiteral("kW");
    const QString measurement = QStringLiteral("measurement");
    const QString timestamp = QStringLiteral("timestamp");
    auto powerClass = [&](bool reactive) { return reactive ? QStringLiteral("reactive_power") : power; };
    auto powerUnit = [&](bool reactive) { return reactive ? QStringLiteral("var") : kw; };

    for (int c = 0; c < model.LiveChannels(); ++c) {
        const bool r = model.Reactive(c);
        const QString label = Two(c) + QLatin1Char(' ') + model.ChannelName(c);
        const QString at = QStringLiteral("measurement/") + Two(c) + QLatin1Char('/');
        list.push_back({QStringLiteral("power_") + Two(c), QStringLiteral("sensor"), label + QStringLiteral(" – okamžitý výkon"),
                        at + QStringLiteral("power"), powerClass(r), powerUnit(r), measurement, false,
                        [c, r](const TTelemetryModel& m) { return PowerText(m.Power(c), r); }});
        list.push_back({QStringLiteral("average_") + Two(c), QStringLiteral("sensor"),
                        label + QStringLiteral(" – priemerný výkon v intervale"), at + QStringLiteral("average"), powerClass(r),
                        powerUnit(r), measurement, false,
                        [c, r](const TTelemetryModel& m) { return PowerText(m.Average(c), r); }});
        list.push_back({QStringLiteral("interval_") + Two(c), QStringLiteral("sensor"),
                        label + QStringLiteral(" – výkon posledného intervalu"), at + QStringLiteral("interval"), powerClass(r),
                        powerUnit(r), measurement, false, [c, r](const TTelemetryModel& m) {
                            const TTelemetryModel::TClosed& closed = m.Closed();
                            if (!closed.Valid || c >= closed.Channels)
                                return QByteArray();
                            return PowerText(double(closed.Power[size_t(c)]), r);
                        }});
    }
    // The month's energy, for the month it belongs to (said in its
    // attributes): it falls to 0 when the month turns while records of the
    // month before may still be filed, so it has no state class and the
    // energy dashboard takes energy_total instead.
    for (int c = 0; c < model.ArchiveChannels(); ++c) {
        const bool r = model.Reactive(c);
        list.push_back({QStringLiteral("energy_month_") + Two(c), QStringLiteral("sensor"),
                        Two(c) + QLatin1Char(' ') + model.ChannelName(c) + QStringLiteral(" – energia v tomto mesiaci"),
                        QStringLiteral("measurement/") + Two(c) + QStringLiteral("/energy_month"),
                        r ? QString() : QStringLiteral("energy"), r ? QStringLiteral("kvarh") : QStringLiteral("kWh"),
                        QString(), false,
                        [c](const TTelemetryModel& m) {
                            const TTelemetryModel::TMonth& month = m.Month();
                            if (!month.Valid || size_t(c) >= month.Energy.size())
                                return QByteArray();
                            return Number(month.Energy[size_t(c)], 3);
                        },
                        [](const TTelemetryModel& m) {
                            const TTelemetryModel::TMonth& month = m.Month();
                            if (!month.Valid)
                                return QByteArray();
                            const QString text = QStringLiteral("%1-%2").arg(month.Month / 12).arg(month.Month % 12 + 1, 2, 10, QLatin1Char('0'));
                            return QJsonDocument(QJsonObject{{QStringLiteral("month"), text}}).toJson(QJsonDocument::Compact);
                        }});
    }
    // What an energy dashboard should take: every filed record of every
    // month, so that a month's records filed after it turned still count.
    for (int c = 0; c < model.ArchiveChannels(); ++c) {
        const bool r = model.Reactive(c);
        list.push_back({QStringLiteral("energy_total_") + Two(c), QStringLiteral("sensor"),
                        Two(c) + QLatin1Char(' ') + model.ChannelName(c) + QStringLiteral(" – energia celkom"),
                        QStringLiteral("measurement/") + Two(c) + QStringLiteral("/energy_total"),
                        r ? QStringLiteral("reactive_energy") : QStringLiteral("energy"),
                        r ? QStringLiteral("kvarh") : QStringLiteral("kWh"), QStringLiteral("total_increasing"), false,
                        [c](const TTelemetryModel& m) {
                            const auto it = m.Lifetime().find(c);
                            return it == m.Lifetime().end() ? QByteArray() : Number(it->second, 3);
                        }});
    }
    list.push_back({QStringLiteral("projected"), QStringLiteral("sensor"),
                    QStringLiteral("Predpokladaný priemerný výkon intervalu"), QStringLiteral("projected"), power, kw,
                    measurement, false, [](const TTelemetryModel& m) { return PowerText(m.Projected(), false); }});
    if (model.LimitDanger)
        list.push_back({QStringLiteral("limit_danger"), QStringLiteral("binary_sensor"), QStringLiteral("Limit v ohrození"),
                        QStringLiteral("limit/danger"), QStringLiteral("problem"), {}, {}, false, [](const TTelemetryModel& m) {
                            return !m.LimitDanger ? QByteArray() : *m.LimitDanger ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
                        }});
    list.push_back({QStringLiteral("interval_time"), QStringLiteral("sensor"), QStringLiteral("Začiatok posledného intervalu"),
                    QStringLiteral("interval/start"), timestamp, {}, {}, false, [](const TTelemetryModel& m) {
                        return m.Closed().Valid ? m.Closed().Start.Iso().toUtf8() : QByteArray();
                    }});
    for (int t = 0; t < 2; ++t) {
        const QString tariff = t == 0 ? QStringLiteral("VT") : QStringLiteral("NT");
        list.push_back({QStringLiteral("regulated_") + tariff.toLower(), QStringLiteral("sensor"),
                        QStringLiteral("Regulovaný výkon ") + tariff, QStringLiteral("regulated/") + tariff.toLower(), power,
                        kw, measurement, false, [t](const TTelemetryModel& m) {
                            const std::optional<uint16_t> v = m.Regulated(t);
                            return v ? Number(*v, 0) : None;
                        }});
    }
    list.push_back({QStringLiteral("tariff"), QStringLiteral("sensor"), QStringLiteral("Tarifa"), QStringLiteral("tariff"), {},
                    {}, {}, false, [](const TTelemetryModel& m) {
                        const std::optional<int> t = m.Tariff();
                        return !t ? None : *t == 0 ? QByteArrayLiteral("VT") : QByteArrayLiteral("NT");
                    }});
    list.push_back({QStringLiteral("stage"), QStringLiteral("sensor"), QStringLiteral("Regulačný stupeň"),
                    QStringLiteral("stage"), {}, {}, measurement, false, [](const TTelemetryModel& m) {
                        const std::optional<int> s = m.Stage();
                        return s ? Number(*s, 0) : None;
                    }});
    list.push_back({QStringLiteral("peak"), QStringLiteral("sensor"), QStringLiteral("Maximum mesiaca (00)"),
                    QStringLiteral("peak/power"), power, kw, measurement, false, [](const TTelemetryModel& m) {
                        return m.Month().Valid && m.Month().HavePeak ? Number(m.Month().Peak, 0) : QByteArray();
                    }});
    list.push_back({QStringLiteral("peak_time"), QStringLiteral("sensor"), QStringLiteral("Začiatok intervalu s maximom mesiaca"),
                    QStringLiteral("peak/start"), timestamp, {}, {}, false, [](const TTelemetryModel& m) {
                        return m.Month().Valid && m.Month().HavePeak ? m.Month().PeakStart.Iso().toUtf8() : QByteArray();
                    }});
    for (int n = 1; n <= model.Appliances(); ++n)
        // On while the regulator keeps the appliance switched off.
        list.push_back({QStringLiteral("appliance_") + Two(n), QStringLiteral("binary_sensor"),
                        model.ApplianceName(n) + QStringLiteral(" – odpojený regulátorom"),
                        QStringLiteral("appliance/") + Two(n), {}, {}, {}, false,
                        [n](const TTelemetryModel& m) {
                            const std::optional<bool> on = m.Appliance(n);
                            return !on ? None : *on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
                        }});
    return list;
}

std::vector<TMqttObject> MqttObjectUniverse()
{
    const QString sensor = QStringLiteral("sensor");
    const QString binary = QStringLiteral("binary_sensor");
    std::vector<TMqttObject> all;
    for (int c = 0; c < TTelemetryModel::MaxChannels; ++c)
        // "energy" was the month's energy before it said its month: cleared
        // where an older version left it.
        for (const char* kind : {"power", "average", "interval", "energy", "energy_month", "energy_total"})
            all.push_back({sensor, QLatin1String(kind) + QLatin1Char('_') + Two(c),
                           QStringLiteral("measurement/") + Two(c) + QLatin1Char('/') + QLatin1String(kind),
                           qstrcmp(kind, "energy_month") == 0});
    for (const auto& [object, state] : std::initializer_list<std::pair<const char*, const char*>>{
             {"projected", "projected"},
             {"interval_time", "interval/start"},
             {"regulated_vt", "regulated/vt"},
             {"regulated_nt", "regulated/nt"},
             {"tariff", "tariff"},
             {"stage", "stage"},
             {"peak", "peak/power"},
             {"peak_time", "peak/start"},
             {"identification", "identification"}})
        all.push_back({sensor, QLatin1String(object), QLatin1String(state)});
    all.push_back({binary, QStringLiteral("link"), QStringLiteral("link")});
    all.push_back({binary, QStringLiteral("limit_danger"), QStringLiteral("limit/danger")});
    for (int n = 1; n <= TTelemetryModel::MaxAppliances; ++n)
        all.push_back({binary, QStringLiteral("appliance_") + Two(n), QStringLiteral("appliance/") + Two(n)});
    return all;
}

TMqttPublisher::TMqttPublisher(TTelemetryModel& model, const TMqttSettings& settings, const QString& version)
    : Model(model)
    , FSettings(settings)
    , Version(version)
{
    Later.setSingleShot(true);
    QObject::connect(&Later, &QTimer::timeout, this, [this] {
        if (Running && !Client && !Launch() && Problem.isEmpty())
            Later.start(1000);
    });
    Rediscover.setSingleShot(true);
    QObject::connect(&Rediscover, &QTimer::timeout, this, [this] {
        if (!Running || !Connected)
            return;
        Rediscovered.start();
        Announce(true);
    });
}

TMqttPublisher::~TMqttPublisher() { Stop(0); }

int TMqttPublisher::Lingering() { return LingeringClients.load(); }

QString TMqttPublisher::Broker() const { return QStringLiteral("%1:%2").arg(FSettings.Host).arg(FSettings.Port); }

bool TMqttPublisher::Start()
{
    if (Running)
        return true;
    Problem.clear();
    if (!FSettings.Enabled()) {
        Problem = FSettings.Problem.isEmpty() ? QStringLiteral("no MQTT Host") : FSettings.Problem;
        return false;
    }
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    if (!Launch()) {
        if (!Problem.isEmpty())
            return false;
        // Old clients still ending: this one starts once they are fewer.
        Later.start(1000);
    }
    Running = true;
    LastFailure.clear();
    // Taken, since the usual broker on a LAN asks for exactly that, but said.
    if (!FSettings.Tls && !FSettings.User.isEmpty() && !FSettings.Password.isEmpty())
        Log(TLogLine(QStringLiteral("mqtt-insecure"))
                .Add(QStringLiteral("broker"), Broker())
                .Add(QStringLiteral("reason"), QStringLiteral("password sent without TLS")));
    return true;
}

bool TMqttPublisher::Launch()
{
    if (LingeringClients.load() >= MaxLingering)
        return false;
    ++Session;
    auto context = std::make_shared<TContext>();
    context->Self = this;
    context->Session = Session;
    context->Host = FSettings.Host.toUtf8();
    context->Port = FSettings.Port;
    context->KeepAlive = FSettings.KeepAlive;
    context->DiscoveryStatus = (FSettings.Discovery + QStringLiteral("/status")).toUtf8();
    const QByteArray id = FSettings.ClientId.toUtf8();
    mosquitto* client = mosquitto_new(id.constData(), true, context.get());
    if (!client) {
        Problem = QStringLiteral("cannot make an MQTT client: %1").arg(ErrorText(errno));
        return false;
    }
    auto fail = [&](const QString& why) {
        Problem = why;
        mosquitto_destroy(client);
        return false;
    };
    // MQTT 5, so that a broker's refusal of a publication is told; a broker
    // that knows only 3.1.1 is then spoken to in that.
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    const QByteArray status = (FSettings.Topic + QStringLiteral("/status")).toUtf8();
    if (mosquitto_will_set(client, status.constData(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("MQTT Topic=%1 cannot carry the will").arg(FSettings.Topic));
    if (!FSettings.User.isEmpty()) {
        const QByteArray user = FSettings.User.toUtf8();
        const QByteArray password = FSettings.Password.toUtf8();
        mosquitto_username_pw_set(client, user.constData(), FSettings.Password.isEmpty() ? nullptr : password.constData());
    }
    if (FSettings.Tls) {
        // The system's certificates, and CAFile besides; the broker's name is
        // checked against its certificate.
        mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const QByteArray ca = FSettings.CAFile.toLocal8Bit();
        const int rc = FSettings.CAFile.isEmpty()
            ? mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
            : mosquitto_tls_set(client, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(FSettings.CAFile.isEmpty() ? QStringLiteral("the system's certificates cannot be used for MQTT")
                                                   : QStringLiteral("MQTT CAFile=%1 cannot be read").arg(FSettings.CAFile));
        mosquitto_tls_opts_set(client, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(client, false);
    }
    // Publications come from the main thread while the network thread reads.
    mosquitto_threaded_set(client, true);

    // The network thread's calls: each becomes a queued call on the main
    // thread, carrying the session so that one from a client since replaced
    // is dropped there.
    mosquitto_connect_v5_callback_set(client, [](mosquitto*, void* data, int rc, int, const mosquitto_property*) {
        auto* c = static_cast<TContext*>(data);
        if (rc == 0) {
            c->Acked = true;
            c->PublishRefusalTold = false;
            c->SubscribeRefusalTold = false;
        } else if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION) {
            c->OldBroker = true;
        }
        c->Post([s = c->Session, rc](TMqttPublisher* self) { self->HandleConnect(s, rc); });
    });
    mosquitto_disconnect_callback_set(client, [](mosquitto*, void* data, int) { static_cast<TContext*>(data)->Gone = true; });
    mosquitto_message_callback_set(client, [](mosquitto*, void* data, const mosquitto_message* message) {
        auto* c = static_cast<TContext*>(data);
        if (!message || !message->topic || c->DiscoveryStatus != message->topic)
            return;
        const QByteArray payload(static_cast<const char*>(message->payload), std::min(message->payloadlen, 16));
        // However many come, one waits to be taken: nothing is queued per
        // message.
        if (payload.trimmed() == "online" && !c->OnlinePending.exchange(true))
            c->Post([s = c->Session](TMqttPublisher* self) { self->HandleDiscoveryOnline(s); });
    });
    mosquitto_publish_v5_callback_set(client, [](mosquitto*, void* data, int, int rc, const mosquitto_property*) {
        auto* c = static_cast<TContext*>(data);
        if (rc >= 0x80 && !c->PublishRefusalTold.exchange(true))
            c->Post([s = c->Session, rc](TMqttPublisher* self) { self->HandleRefusal(s, QStringLiteral("publication"), ReasonText(rc)); });
    });
    mosquitto_subscribe_callback_set(client, [](mosquitto*, void* data, int, int count, const int* granted) {
        auto* c = static_cast<TContext*>(data);
        if (count >= 1 && granted && granted[0] >= 0x80 && !c->SubscribeRefusalTold.exchange(true)) {
            const int rc = granted[0];
            c->Post([s = c->Session, rc](TMqttPublisher* self) {
                self->HandleRefusal(s, QStringLiteral("subscription"), rc == 0x80 ? QStringLiteral("refused") : ReasonText(rc));
            });
        }
    });
    mosquitto_log_callback_set(client, [](mosquitto*, void* data, int level, const char* text) {
        if (!(level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) || !text)
            return;
        auto* c = static_cast<TContext*>(data);
        const std::lock_guard<std::mutex> lock(c->Lock);
        if (c->Complaints.size() < 4)
            c->Complaints << QString::fromUtf8(text).trimmed();
    });

    try {
        Thread = std::thread(&TMqttPublisher::Network, client, context);
    } catch (const std::system_error& e) {
        return fail(QStringLiteral("cannot start the MQTT network thread: %1").arg(QString::fromLocal8Bit(e.what())));
    }
    Client = client;
    Context = std::move(context);
    return true;
}

void TMqttPublisher::Network(mosquitto* client, std::shared_ptr<TContext> c)
{
    // The name is looked up here, never on the main thread.
    int rc = mosquitto_connect_async(client, c->Host.constData(), c->Port, c->KeepAlive);
    int error = errno;
    int delay = 1;
    for (;;) {
        if (rc == MOSQ_ERR_SUCCESS) {
            // A quarter second at most, so that a stop is seen.
            rc = mosquitto_loop(client, 250, 1);
            error = errno;
        }
        if (c->Stop) {
            // The goodbye goes out, unless the broker will not take it.
            if (rc != MOSQ_ERR_SUCCESS || c->Gone || TContext::Now() >= c->StopBy)
                break;
            continue;
        }
        if (rc == MOSQ_ERR_SUCCESS)
            continue;
        if (c->OldBroker.exchange(false)) {
            // Nothing failed yet: at once again, in the broker's tongue.
            mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        } else {
            const QString why = rc == MOSQ_ERR_ERRNO ? ErrorText(error) : QString::fromUtf8(mosquitto_strerror(rc));
            c->Post([s = c->Session, why](TMqttPublisher* self) { self->HandleFailure(s, why); });
            if (c->Acked.exchange(false))
                delay = 1;
            if (!c->Pause(delay))
                break;
            delay = std::min(delay * 2, 30);
        }
        if (c->Stop)
            break;
        c->Gone = false;
        rc = mosquitto_reconnect_async(client);
        error = errno;
    }
    c->Done = true;
}

void TMqttPublisher::HandleConnect(uint32_t session, int rc)
{
    if (session != Session || !Running)
        return;
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || rc == CONNACK_REFUSED_PROTOCOL_VERSION)
        return; // tried again at once in 3.1.1
    if (rc != 0) {
        // The network thread drops the connection and tries again.
        const QString why = ReasonText(rc);
        if (why != LastFailure)
            Log(TLogLine(QStringLiteral("mqtt-refused")).Add(QStringLiteral("broker"), Broker()).Add(QStringLiteral("reason"), why));
        LastFailure = why;
        return;
    }
    Connected = true;
    LastFailure.clear();
    TakeComplaints();
    Log(TLogLine(QStringLiteral("mqtt-connected")).Add(QStringLiteral("broker"), Broker()));
    Send(FSettings.Topic + QStringLiteral("/status"), QByteArrayLiteral("online"), true, 1);
    if (!FSettings.Discovery.isEmpty())
        mosquitto_subscribe(Client, nullptr, Context->DiscoveryStatus.constData(), 1);
    // A broker that was restarted may hold nothing of before: all again.
    Cleared = false;
    Announced.clear();
    AnnouncedState.clear();
    AnnouncedComponent.clear();
    States.clear();
    Changed = true;
    Update();
}

void TMqttPublisher::HandleFailure(uint32_t session, const QString& why)
{
    if (session != Session)
        return;
    const bool was = Connected;
    Connected = false;
    if (!Running)
        return;
    QString reason = why;
    if (const QString complaints = TakeComplaints(); !complaints.isEmpty())
        reason += QStringLiteral(" (") + complaints + QLatin1Char(')');
    // One line per outage, not one per attempt.
    if (was)
        Log(TLogLine(QStringLiteral("mqtt-disconnected")).Add(QStringLiteral("broker"), Broker()).Add(QStringLiteral("reason"), reason));
    else if (LastFailure.isEmpty())
        Log(TLogLine(QStringLiteral("mqtt-unreachable")).Add(QStringLiteral("broker"), Broker()).Add(QStringLiteral("reason"), reason));
    if (LastFailure.isEmpty() || was)
        LastFailure = reason;
}

void TMqttPublisher::HandleRefusal(uint32_t session, const QString& what, const QString& why)
{
    if (session != Session || !Running)
        return;
    // Once per connection and kind: the network thread tells no more.
    Log(TLogLine(QStringLiteral("mqtt-refused"))
            .Add(QStringLiteral("broker"), Broker())
            .Add(QStringLiteral("what"), what)
            .Add(QStringLiteral("reason"), why));
}

void TMqttPublisher::HandleDiscoveryOnline(uint32_t session)
{
    if (session != Session)
        return;
    Context->OnlinePending = false;
    if (!Running || !Connected || Rediscover.isActive())
        return;
    // Home Assistant's advice: a random pause, so that many devices do not
    // answer at once; and anyone may publish "online" as often as they
    // like, so the configs go no more often than every RediscoverMs.
    int pause = QRandomGenerator::global()->bounded(1000, 5001);
    if (Rediscovered.isValid() && Rediscovered.elapsed() + pause < RediscoverMs)
        pause = int(RediscoverMs - Rediscovered.elapsed());
    Rediscover.start(pause);
}

QString TMqttPublisher::TakeComplaints()
{
    if (!Context)
        return {};
    const std::lock_guard<std::mutex> lock(Context->Lock);
    const QString text = Context->Complaints.join(QStringLiteral("; "));
    Context->Complaints.clear();
    return text;
}

QString TMqttPublisher::ConfigTopic(const QString& component, const QString& object) const
{
    return QStringLiteral("%1/%2/%3/%4/config").arg(FSettings.Discovery, component, FSettings.Node, object);
}

QByteArray TMqttPublisher::Config(const TMqttEntity& e) const
{
    const QString id = FSettings.Node + QLatin1Char('_') + e.Object;
    QJsonObject c;
    c.insert(QStringLiteral("name"), e.Name);
    c.insert(QStringLiteral("unique_id"), QStringLiteral("qdrwin_") + id);
    // The entity's id from the node and the object, not from the Slovak
    // name: default_entity_id for Home Assistant from 2025.10, object_id for
    // the versions before.
    c.insert(QStringLiteral("default_entity_id"), e.Component + QLatin1Char('.') + id);
    c.insert(QStringLiteral("object_id"), id);
    c.insert(QStringLiteral("state_topic"), FSettings.Topic + QLatin1Char('/') + e.State);
    if (e.Attributes)
        c.insert(QStringLiteral("json_attributes_topic"), FSettings.Topic + QLatin1Char('/') + e.State + QStringLiteral("/attributes"));
    c.insert(QStringLiteral("availability_topic"), FSettings.Topic + QStringLiteral("/status"));
    c.insert(QStringLiteral("payload_available"), QStringLiteral("online"));
    c.insert(QStringLiteral("payload_not_available"), QStringLiteral("offline"));
    if (!e.DeviceClass.isEmpty())
        c.insert(QStringLiteral("device_class"), e.DeviceClass);
    if (!e.Unit.isEmpty())
        c.insert(QStringLiteral("unit_of_measurement"), e.Unit);
    if (!e.StateClass.isEmpty())
        c.insert(QStringLiteral("state_class"), e.StateClass);
    if (e.Diagnostic)
        c.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
    if (e.Component == QLatin1String("binary_sensor")) {
        c.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
        c.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
    }
    QJsonObject device;
    device.insert(QStringLiteral("identifiers"), QJsonArray{QStringLiteral("qdrwin_") + FSettings.Node});
    device.insert(QStringLiteral("name"), Model.SiteName());
    if (const std::optional<QString> model = Model.Identification())
        device.insert(QStringLiteral("model"), *model);
    // The device is the regulator: its firmware, not this program.
    if (const std::optional<QString> firmware = Model.Firmware())
        device.insert(QStringLiteral("sw_version"), *firmware);
    c.insert(QStringLiteral("device"), device);
    c.insert(QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("QDRWin")},
                                                   {QStringLiteral("sw_version"), Version},
                                                   {QStringLiteral("support_url"), QStringLiteral("https://qdrwin.sk/")}});
    return QJsonDocument(c).toJson(QJsonDocument::Compact);
}

bool TMqttPublisher::Send(const QString& topic, const QByteArray& payload, bool retain, int qos)
{
    if (!Client)
        return false;
    const QByteArray t = topic.toUtf8();
    return mosquitto_publish(Client, nullptr, t.constData(), int(payload.size()), payload.constData(), qos, retain) ==
           MOSQ_ERR_SUCCESS;
}

QString TMqttPublisher::Shape() const
{
    QString shape = QStringLiteral("%1 %2 %3 %4 %5 ")
                        .arg(Model.Known())
                        .arg(Model.Generation())
                        .arg(Model.LiveChannels())
                        .arg(Model.ArchiveChannels())
                        .arg(Model.Appliances());
    for (int c = 1; c < TTelemetryModel::MaxChannels; ++c)
        shape += Model.Reactive(c) ? QLatin1Char('r') : QLatin1Char('a');
    return shape + QLatin1Char('|') + Model.SiteName() + QLatin1Char('|') + Model.Identification().value_or(QString());
}

const std::vector<TMqttEntity>& TMqttPublisher::Entities()
{
    // Rebuilt only when what the regulator has, or what it is called, changed.
    const QString shape = Shape();
    if (shape != EntitiesShape) {
        FEntities = MqttEntities(Model);
        EntitiesShape = shape;
        Changed = true;
    }
    return FEntities;
}

void TMqttPublisher::Announce(bool all)
{
    if (FSettings.Discovery.isEmpty() || !Connected)
        return;
    const std::vector<TMqttEntity>& entities = Entities();
    Changed = false;
    QSet<QString> now;
    for (const TMqttEntity& e : entities) {
        now.insert(e.Object);
        const QByteArray config = Config(e);
        if (all || Announced.value(e.Object) != config) {
            Send(ConfigTopic(e.Component, e.Object), config, true, 1);
            Announced.insert(e.Object, config);
            AnnouncedComponent.insert(e.Object, e.Component);
            AnnouncedState.insert(e.Object, FSettings.Topic + QLatin1Char('/') + e.State);
        }
    }
    // Gone while connected (another regulator, fewer meters): its config and
    // its last state go from the broker.
    const QStringList objects = Announced.keys();
    for (const QString& object : objects) {
        if (now.contains(object))
            continue;
        Send(ConfigTopic(AnnouncedComponent.value(object), object), QByteArray(), true, 1);
        const QString state = AnnouncedState.value(object);
        for (const QString& topic : {state, state + QStringLiteral("/attributes")}) {
            if (topic == state || States.contains(topic))
                Send(topic, QByteArray(), true, 1);
            States.remove(topic);
        }
        Announced.remove(object);
        AnnouncedComponent.remove(object);
        AnnouncedState.remove(object);
    }
}

void TMqttPublisher::ClearLeftovers()
{
    // Once per connection, as soon as what the regulator has is known: what
    // an earlier run may have left for this node (a regulator with more
    // meters, ...) and that no longer applies, configs and states alike.
    if (Cleared || !Model.Known())
        return;
    QSet<QString> now;
    for (const TMqttEntity& e : Entities())
        now.insert(e.Object);
    for (const TMqttObject& o : MqttObjectUniverse()) {
        if (now.contains(o.Object))
            continue;
        if (!FSettings.Discovery.isEmpty())
            Send(ConfigTopic(o.Component, o.Object), QByteArray(), true, 1);
        Send(FSettings.Topic + QLatin1Char('/') + o.State, QByteArray(), true, 1);
        if (o.Attributes)
            Send(FSettings.Topic + QLatin1Char('/') + o.State + QStringLiteral("/attributes"), QByteArray(), true, 1);
    }
    Cleared = true;
}

void TMqttPublisher::Update()
{
    if (!Running || !Connected)
        return;
    Entities();
    if (Changed)
        Announce(false);
    ClearLeftovers();
    auto publish = [this](const QString& topic, const QByteArray& payload) {
        if (payload.isNull())
            return;
        auto it = States.find(topic);
        if (it != States.end() && *it == payload)
            return;
        if (Send(topic, payload, true, 0))
            States.insert(topic, payload);
    };
    for (const TMqttEntity& e : Entities()) {
        const QString topic = FSettings.Topic + QLatin1Char('/') + e.State;
        // The attributes first: a reader of the new value knows its month.
        if (e.Attributes)
            publish(topic + QStringLiteral("/attributes"), e.Attributes(Model));
        publish(topic, e.Payload(Model));
    }
}

void TMqttPublisher::Reannounce()
{
    // The names are not in the shape: built anew.
    EntitiesShape.clear();
    if (Running && Connected)
        Announce(true);
}

bool TMqttPublisher::Publish(const QString& subtopic, const QByteArray& payload, bool retain)
{
    if (!Running || !Connected)
        return false;
    return Send(FSettings.Topic + QLatin1Char('/') + subtopic, payload, retain, 1);
}

void TMqttPublisher::Log(const TLogLine& line)
{
    if (OnLog)
        OnLog(line);
}

void TMqttPublisher::Retire(int waitMs)
{
    if (Running && Connected) {
        // At most once: QoS 0 keeps them ahead of the goodbye, which QoS 1
        // beyond the broker's in-flight window would not.
        for (const TMqttObject& o : MqttObjectUniverse()) {
            if (!FSettings.Discovery.isEmpty())
                Send(ConfigTopic(o.Component, o.Object), QByteArray(), true, 0);
            Send(FSettings.Topic + QLatin1Char('/') + o.State, QByteArray(), true, 0);
            if (o.Attributes)
                Send(FSettings.Topic + QLatin1Char('/') + o.State + QStringLiteral("/attributes"), QByteArray(), true, 0);
        }
        Retired = true;
    }
    Stop(waitMs);
}

void TMqttPublisher::Stop(int waitMs)
{
    Later.stop();
    Rediscover.stop();
    const bool wasRunning = Running;
    Running = false;
    if (Client) {
        // The thread gives the goodbye this long to go out, then ends.
        const int64_t start = TContext::Now();
        Context->StopBy = Connected ? start + std::max(waitMs, 300) : start;
        if (Connected) {
            // Said before the goodbye, so that the broker keeps "offline" and
            // sends no will; a retired node leaves nothing.
            Send(FSettings.Topic + QStringLiteral("/status"), Retired ? QByteArray() : QByteArrayLiteral("offline"), true,
                 Retired ? 0 : 1);
            mosquitto_disconnect(Client);
        }
        {
            const std::lock_guard<std::mutex> lock(Context->Lock);
            Context->Stop = true;
        }
        Context->Wake.notify_all();
        // A thread in its loop ends within a quarter second of the stop or
        // of the goodbye's deadline; one in a look-up or a connect that
        // hangs is not waited for.
        while (!Context->Done && TContext::Now() < Context->StopBy + 400)
            QThread::msleep(5);
        Release();
    }
    Connected = false;
    if (wasRunning)
        Log(TLogLine(QStringLiteral("mqtt-stopped")));
}

void TMqttPublisher::Release()
{
    {
        // Nothing more is posted here.
        const std::lock_guard<std::mutex> lock(Context->Lock);
        Context->Self = nullptr;
    }
    if (Context->Done) {
        Thread.join();
        mosquitto_destroy(Client);
    } else {
        // Left to end by itself; its client goes with it, freed by a
        // thread that waits for it.
        struct TOrphan {
            std::thread Thread;
            mosquitto* Client = nullptr;
            std::shared_ptr<TContext> Context;
        };
        auto* orphan = new TOrphan{std::move(Thread), Client, Context};
        ++LingeringClients;
        try {
            std::thread([orphan] {
                orphan->Thread.join();
                mosquitto_destroy(orphan->Client);
                delete orphan;
                --LingeringClients;
            }).detach();
        } catch (const std::system_error&) {
            // No thread to spare: let go unfreed rather than waited for,
            // and it stays counted.
            orphan->Thread.detach();
        }
    }
    Client = nullptr;
    Context.reset();
    // Whatever the old client still had queued is dropped.
    ++Session;
}
