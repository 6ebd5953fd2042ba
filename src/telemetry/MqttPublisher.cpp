#include "telemetry/MqttPublisher.h"

#include "telemetry/TelemetryModel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

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

// The libraries' codes after which its network thread ends instead of
// trying again.
bool EndsThread(int rc)
{
    switch (rc) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
        return true;
    default:
        return false;
    }
}

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

QStringList Tasks() { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
} // namespace

struct TMqttPublisher::TContext {
    TMqttPublisher* Self = nullptr;
    uint32_t Session = 0;
    QByteArray DiscoveryStatus; // the one topic listened to
    // The library's complaints (a TLS failure, ...) since they were last
    // taken. Kept here rather than queued: a connection started from the
    // main thread may fail, and complain, before it returns.
    std::mutex Lock;
    QStringList Complaints;
    // Set by the network thread as the connection ends.
    std::atomic<bool> Gone{false};
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
    for (int c = 0; c < model.ArchiveChannels(); ++c) {
        const bool r = model.Reactive(c);
        list.push_back({QStringLiteral("energy_") + Two(c), QStringLiteral("sensor"),
                        Two(c) + QLatin1Char(' ') + model.ChannelName(c) + QStringLiteral(" – energia v tomto mesiaci"),
                        QStringLiteral("measurement/") + Two(c) + QStringLiteral("/energy"),
                        r ? QString() : QStringLiteral("energy"), r ? QStringLiteral("kvarh") : QStringLiteral("kWh"),
                        QStringLiteral("total_increasing"), false, [c](const TTelemetryModel& m) {
                            const TTelemetryModel::TMonth& month = m.Month();
                            if (!month.Valid || size_t(c) >= month.Energy.size())
                                return QByteArray();
                            return Number(month.Energy[size_t(c)], 3);
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

std::vector<std::pair<QString, QString>> MqttObjectUniverse()
{
    const QString sensor = QStringLiteral("sensor");
    const QString binary = QStringLiteral("binary_sensor");
    std::vector<std::pair<QString, QString>> all;
    for (int c = 0; c < TTelemetryModel::MaxChannels; ++c)
        for (const char* kind : {"power_", "average_", "interval_", "energy_"})
            all.emplace_back(sensor, QLatin1String(kind) + Two(c));
    for (const char* object : {"projected", "interval_time", "regulated_vt", "regulated_nt", "tariff", "stage", "peak",
                               "peak_time", "identification"})
        all.emplace_back(sensor, QLatin1String(object));
    all.emplace_back(binary, QStringLiteral("link"));
    all.emplace_back(binary, QStringLiteral("limit_danger"));
    for (int n = 1; n <= TTelemetryModel::MaxAppliances; ++n)
        all.emplace_back(binary, QStringLiteral("appliance_") + Two(n));
    return all;
}

TMqttPublisher::TMqttPublisher(TTelemetryModel& model, const TMqttSettings& settings, const QString& version)
    : Model(model)
    , FSettings(settings)
    , Version(version)
{
    Retry.setSingleShot(true);
    QObject::connect(&Retry, &QTimer::timeout, this, [this] { TryConnect(); });
}

TMqttPublisher::~TMqttPublisher() { Stop(0); }

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

    ++Session;
    Context = std::make_unique<TContext>();
    Context->Self = this;
    Context->Session = Session;
    Context->DiscoveryStatus = (FSettings.Discovery + QStringLiteral("/status")).toUtf8();
    const QByteArray id = FSettings.ClientId.toUtf8();
    Client = mosquitto_new(id.constData(), true, Context.get());
    if (!Client) {
        Problem = QStringLiteral("cannot make an MQTT client: %1").arg(ErrorText(errno));
        Context.reset();
        return false;
    }
    auto fail = [this](const QString& why) {
        Problem = why;
        Destroy(true);
        return false;
    };
    const QByteArray status = (FSettings.Topic + QStringLiteral("/status")).toUtf8();
    if (mosquitto_will_set(Client, status.constData(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("MQTT Topic=%1 cannot carry the will").arg(FSettings.Topic));
    if (!FSettings.User.isEmpty()) {
        const QByteArray user = FSettings.User.toUtf8();
        const QByteArray password = FSettings.Password.toUtf8();
        mosquitto_username_pw_set(Client, user.constData(), FSettings.Password.isEmpty() ? nullptr : password.constData());
    }
    if (FSettings.Tls) {
        // The system's certificates, and CAFile besides; the broker's name is
        // checked against its certificate.
        mosquitto_int_option(Client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const QByteArray ca = FSettings.CAFile.toLocal8Bit();
        const int rc = FSettings.CAFile.isEmpty()
            ? mosquitto_tls_set(Client, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
            : mosquitto_tls_set(Client, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(FSettings.CAFile.isEmpty() ? QStringLiteral("the system's certificates cannot be used for MQTT")
                                                   : QStringLiteral("MQTT CAFile=%1 cannot be read").arg(FSettings.CAFile));
        mosquitto_tls_opts_set(Client, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(Client, false);
    }
    mosquitto_reconnect_delay_set(Client, 1, 30, true);

    // The network thread's calls: each becomes a queued call on the main
    // thread, carrying the session so that one from a client since replaced
    // is dropped there.
    mosquitto_connect_callback_set(Client, [](mosquitto*, void* data, int rc) {
        auto* c = static_cast<TContext*>(data);
        QMetaObject::invokeMethod(c->Self, [self = c->Self, s = c->Session, rc] { self->HandleConnect(s, rc); },
                                  Qt::QueuedConnection);
    });
    mosquitto_disconnect_callback_set(Client, [](mosquitto*, void* data, int rc) {
        auto* c = static_cast<TContext*>(data);
        c->Gone = true;
        // errno is this thread's: the reason of a failed socket call is
        // taken here, and EPROTO ends the library's thread like the codes.
        const int error = errno;
        const int code = rc == MOSQ_ERR_ERRNO && error == EPROTO ? MOSQ_ERR_PROTOCOL : rc;
        const QString why = rc == MOSQ_ERR_ERRNO ? ErrorText(error) : QString::fromUtf8(mosquitto_strerror(rc));
        QMetaObject::invokeMethod(c->Self, [self = c->Self, s = c->Session, code, why] { self->HandleDisconnect(s, code, why); },
                                  Qt::QueuedConnection);
    });
    mosquitto_message_callback_set(Client, [](mosquitto*, void* data, const mosquitto_message* message) {
        auto* c = static_cast<TContext*>(data);
        if (!message || !message->topic || c->DiscoveryStatus != message->topic)
            return;
        const QByteArray payload(static_cast<const char*>(message->payload), std::min(message->payloadlen, 16));
        if (payload.trimmed() == "online")
            QMetaObject::invokeMethod(c->Self, [self = c->Self, s = c->Session] { self->HandleDiscoveryOnline(s); },
                                      Qt::QueuedConnection);
    });
    mosquitto_log_callback_set(Client, [](mosquitto*, void* data, int level, const char* text) {
        if (!(level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) || !text)
            return;
        auto* c = static_cast<TContext*>(data);
        const std::lock_guard<std::mutex> lock(c->Lock);
        if (c->Complaints.size() < 4)
            c->Complaints << QString::fromUtf8(text).trimmed();
    });

    Running = true;
    RetrySeconds = 1;
    LastFailure.clear();
    TryConnect();
    return true;
}

void TMqttPublisher::TryConnect()
{
    if (!Running || !Client || Threaded)
        return;
    // Named brokers are looked up here, on the main thread, once per start
    // and after the library gave up; its own retries look up in its thread.
    TakeComplaints();
    const QByteArray host = FSettings.Host.toUtf8();
    int rc = mosquitto_connect_async(Client, host.constData(), FSettings.Port, FSettings.KeepAlive);
    QString why = rc == MOSQ_ERR_ERRNO ? ErrorText(errno) : QString::fromUtf8(mosquitto_strerror(rc));
    if (rc == MOSQ_ERR_SUCCESS) {
        // The thread's task, to see it end: a TLS handshake that fails ends
        // the library's thread without a word.
        const QStringList before = Tasks();
        rc = mosquitto_loop_start(Client);
        if (rc == MOSQ_ERR_SUCCESS) {
            Threaded = true;
            QStringList added = Tasks();
            for (const QString& t : before)
                added.removeAll(t);
            ThreadTask = added.size() == 1 ? added.first() : QString();
            return;
        }
        why = QStringLiteral("cannot start the network thread: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
    }
    if (const QString complaints = TakeComplaints(); !complaints.isEmpty())
        why += QStringLiteral(" (") + complaints + QLatin1Char(')');
    if (LastFailure.isEmpty())
        Log(TLogLine(QStringLiteral("mqtt-unreachable"))
                .Add(QStringLiteral("broker"), QStringLiteral("%1:%2").arg(FSettings.Host).arg(FSettings.Port))
                .Add(QStringLiteral("reason"), why));
    LastFailure = why;
    ScheduleRetry();
}

void TMqttPublisher::ScheduleRetry()
{
    if (!Running)
        return;
    Retry.start(RetrySeconds * 1000);
    RetrySeconds = std::min(RetrySeconds * 2, 30);
}

void TMqttPublisher::HandleConnect(uint32_t session, int rc)
{
    if (session != Session || !Running)
        return;
    const QString broker = QStringLiteral("%1:%2").arg(FSettings.Host).arg(FSettings.Port);
    if (rc != 0) {
        // The library drops the connection and tries again by itself.
        const QString why = QString::fromUtf8(mosquitto_connack_string(rc));
        if (why != LastFailure)
            Log(TLogLine(QStringLiteral("mqtt-refused")).Add(QStringLiteral("broker"), broker).Add(QStringLiteral("reason"), why));
        LastFailure = why;
        return;
    }
    Connected = true;
    RetrySeconds = 1;
    LastFailure.clear();
    TakeComplaints();
    Log(TLogLine(QStringLiteral("mqtt-connected")).Add(QStringLiteral("broker"), broker));
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

void TMqttPublisher::HandleDisconnect(uint32_t session, int rc, const QString& why)
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
    const QString broker = QStringLiteral("%1:%2").arg(FSettings.Host).arg(FSettings.Port);
    // One line per outage, not one per attempt.
    if (was)
        Log(TLogLine(QStringLiteral("mqtt-disconnected")).Add(QStringLiteral("broker"), broker).Add(QStringLiteral("reason"), reason));
    else if (LastFailure.isEmpty())
        Log(TLogLine(QStringLiteral("mqtt-unreachable")).Add(QStringLiteral("broker"), broker).Add(QStringLiteral("reason"), reason));
    if (LastFailure.isEmpty() || was)
        LastFailure = reason;
    if (EndsThread(rc)) {
        // The library's thread has ended: it is started again from here.
        if (Threaded)
            mosquitto_loop_stop(Client, false);
        Threaded = false;
        ScheduleRetry();
    }
}

void TMqttPublisher::HandleDiscoveryOnline(uint32_t session)
{
    if (session == Session && Running && Connected)
        Announce(true);
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
    c.insert(QStringLiteral("unique_id"), id);
    c.insert(QStringLiteral("object_id"), id);
    c.insert(QStringLiteral("state_topic"), FSettings.Topic + QLatin1Char('/') + e.State);
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
    device.insert(QStringLiteral("sw_version"), Version);
    c.insert(QStringLiteral("device"), device);
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
        Send(state, QByteArray(), true, 1);
        States.remove(state);
        Announced.remove(object);
        AnnouncedComponent.remove(object);
        AnnouncedState.remove(object);
    }
    // Once per connection, as soon as what the regulator has is known: the
    // configs an earlier run may have left for this node and that no longer
    // apply.
    if (!Cleared && Model.Known()) {
        for (const auto& [component, object] : MqttObjectUniverse())
            if (!now.contains(object))
                Send(ConfigTopic(component, object), QByteArray(), true, 1);
        Cleared = true;
    }
}

void TMqttPublisher::Update()
{
    if (Running && Threaded && !Connected && !ThreadTask.isEmpty() &&
        !QFileInfo::exists(QStringLiteral("/proc/self/task/") + ThreadTask)) {
        // The library gave up without telling: started again from here.
        mosquitto_loop_stop(Client, false);
        Threaded = false;
        QString why = TakeComplaints();
        if (why.isEmpty())
            why = QStringLiteral("the connection could not be made");
        if (LastFailure.isEmpty())
            Log(TLogLine(QStringLiteral("mqtt-unreachable"))
                    .Add(QStringLiteral("broker"), QStringLiteral("%1:%2").arg(FSettings.Host).arg(FSettings.Port))
                    .Add(QStringLiteral("reason"), why));
        LastFailure = why;
        ScheduleRetry();
    }
    if (!Running || !Connected)
        return;
    Entities();
    if (Changed)
        Announce(false);
    for (const TMqttEntity& e : Entities()) {
        const QByteArray payload = e.Payload(Model);
        if (payload.isNull())
            continue;
        const QString topic = FSettings.Topic + QLatin1Char('/') + e.State;
        auto it = States.find(topic);
        if (it != States.end() && *it == payload)
            continue;
        if (Send(topic, payload, true, 0))
            States.insert(topic, payload);
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

void TMqttPublisher::Stop(int waitMs)
{
    Retry.stop();
    if (!Client) {
        Running = false;
        return;
    }
    const bool wasRunning = Running;
    Running = false;
    bool ended = true;
    if (Connected) {
        // Said before the goodbye, so that the broker keeps "offline" and
        // sends no will.
        Context->Gone = false;
        Send(FSettings.Topic + QStringLiteral("/status"), QByteArrayLiteral("offline"), true, 1);
        mosquitto_disconnect(Client);
        // The network thread writes both and ends. It is not cancelled
        // while it may be writing (it would keep the library's locks), so
        // a stop without waiting still gives it a moment, though without
        // serving events: that is a destructor's.
        QElapsedTimer waited;
        waited.start();
        const int limit = std::max(waitMs, 300);
        while (!Context->Gone && waited.elapsed() < limit) {
            if (waitMs > 0) {
                QEventLoop loop;
                QTimer::singleShot(10, &loop, &QEventLoop::quit);
                loop.exec();
            } else {
                QThread::msleep(5);
            }
        }
        ended = Context->Gone;
    } else {
        // Leaves the library's reconnecting loop.
        mosquitto_disconnect(Client);
    }
    // A thread not ended waits on a broker that does not answer, or before
    // its next try: nothing of the library's is held there.
    Destroy(!ended);
    Connected = false;
    if (wasRunning)
        Log(TLogLine(QStringLiteral("mqtt-stopped")));
}

void TMqttPublisher::Destroy(bool force)
{
    if (Client) {
        if (Threaded)
            mosquitto_loop_stop(Client, force);
        mosquitto_destroy(Client);
    }
    Threaded = false;
    Client = nullptr;
    Context.reset();
    // Whatever the old client still had queued is dropped.
    ++Session;
}
