#include "telemetry/MetricsServer.h"

#include "telemetry/TelemetryModel.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <iterator>

#include <unistd.h>

namespace {
QByteArray Number(double v)
{
    QByteArray text = QByteArray::number(v, 'f', 3);
    while (text.endsWith('0'))
        text.chop(1);
    if (text.endsWith('.'))
        text.chop(1);
    return text == "-0" ? QByteArrayLiteral("0") : text;
}

QByteArray LabelValue(const QString& value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// One family: its HELP and TYPE once, before its first sample; nothing at
// all when it has none.
class TFamily {
public:
    TFamily(QByteArray& page, const char* name, const char* type, const char* help, const QString& site)
        : Page(page)
        , Name(name)
        , Type(type)
        , Help(help)
        , Site(LabelValue(site))
    {
    }
    void Sample(double value, std::initializer_list<std::pair<const char*, QString>> labels = {})
    {
        if (!Started) {
            Page += "# HELP " + Name + ' ' + Help + '\n';
            Page += "# TYPE " + Name + ' ' + Type + '\n';
            Started = true;
        }
        Page += Name + "{site=\"" + Site + '"';
        for (const auto& [key, text] : labels)
            Page += QByteArray(",") + key + "=\"" + LabelValue(text) + '"';
        Page += "} " + Number(value) + '\n';
    }

private:
    QByteArray& Page;
    QByteArray Name, Type, Help, Site;
    bool Started = false;
};

QString ResultName(uint8_t code)
{
    // The exchange results: 0 success, 1 no reply, 2 the port, then the
    // reply checks in their order.
    static const char* const names[] = {"ok", "timeout", "port", "short", "long", "length", "checksum", "address",
                                        "command", "size"};
    return code < std::size(names) ? QLatin1String(names[code]) : QStringLiteral("other");
}
} // namespace

QByteArray RenderMetrics(const TTelemetryModel& model, const QString& version)
{
    QByteArray page;
    const QString site = model.Node();
    {
        TFamily info(page, "qdr_info", "gauge", "The site and its regulator; the value is always 1.", site);
        const std::optional<QString> id = model.Identification();
        info.Sample(1, {{"name", model.SiteName()},
                        {"identification", id.value_or(QString())},
                        {"generation", model.Generation() ? QString::number(model.Generation()) : QString()},
                        {"version", version}});
    }
    TFamily(page, "qdr_link_up", "gauge", "1 while the regulator answers, 0 while it does not or has not yet.", site)
        .Sample(model.LinkUp() ? 1 : 0);
    if (const std::optional<int64_t> last = model.LastReply())
        TFamily(page, "qdr_last_reply_timestamp_seconds", "gauge", "When the regulator last gave a valid reply.", site)
            .Sample(double(*last));
    {
        TFamily power(page, "qdr_power_watts", "gauge", "Instantaneous active power of a measurement.", site);
        TFamily reactive(page, "qdr_reactive_power_var", "gauge", "Instantaneous reactive power of a meter.", site);
        TFamily average(page, "qdr_interval_average_watts", "gauge",
                        "Average active power of a measurement in the running interval so far.", site);
        for (int c = 0; c < model.LiveChannels(); ++c) {
            const QString channel = QStringLiteral("%1").arg(c, 2, 10, QLatin1Char('0'));
            const QString name = model.ChannelName(c);
            if (const std::optional<double> p = model.Power(c))
                (model.Reactive(c) ? reactive : power).Sample(*p * 1000.0, {{"channel", channel}, {"name", name}});
        }
        for (int c = 0; c < model.LiveChannels(); ++c)
            if (const std::optional<double> a = model.Average(c); a && !model.Reactive(c))
                average.Sample(*a * 1000.0, {{"channel", QStringLiteral("%1").arg(c, 2, 10, QLatin1Char('0'))},
                                             {"name", model.ChannelName(c)}});
    }
    if (const std::optional<double> projected = model.Projected())
        TFamily(page, "qdr_interval_projected_watts", "gauge",
                "Average active power of measurement 00 the running interval ends with if the present power holds.", site)
            .Sample(*projected * 1000.0);
    {
        TFamily regulated(page, "qdr_regulated_power_watts", "gauge", "Regulated power by tariff, as the regulator last reported it.",
                          site);
        for (int t = 0; t < 2; ++t)
            if (const std::optional<uint16_t> v = model.Regulated(t))
                regulated.Sample(*v * 1000.0, {{"tariff", t == 0 ? QStringLiteral("VT") : QStringLiteral("NT")}});
    }
    if (const std::optional<int> stage = model.Stage())
        TFamily(page, "qdr_stage", "gauge", "Regulation stage.", site).Sample(*stage);
    {
        TFamily exchanges(page, "qdr_exchanges_total", "counter", "Exchanges with the regulator by result.", site);
        std::map<QString, uint64_t> byResult{{QStringLiteral("ok"), 0}, {QStringLiteral("timeout"), 0}};
        for (const auto& [code, count] : model.Exchanges())
            byResult[ResultName(code)] += count;
        for (const auto& [result, count] : byResult)
            exchanges.Sample(double(count), {{"result", result}});
    }
    TFamily(page, "qdr_archive_records_filed_total", "counter", "Archive records filed into the month files.", site)
        .Sample(double(model.RecordsFiled()));
    {
        TFamily records(page, "qdr_archive_records", "gauge", "Records held by the file of a month the regulator keeps.", site);
        for (const auto& [month, count] : model.MonthRecords())
            records.Sample(count, {{"month", QStringLiteral("%1-%2").arg(month / 12).arg(month % 12 + 1, 2, 10, QLatin1Char('0'))}});
    }
    return page;
}

void TLimitedTcpServer::incomingConnection(qintptr descriptor)
{
    // Beyond the limit the connection is closed at once: a scraper tries
    // again, a flood gets nothing.
    if (OpenCount >= MaxConnections) {
        ::close(int(descriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    ++OpenCount;
    QObject::connect(socket, &QObject::destroyed, this, [this] { --OpenCount; });
    QPointer<QTcpSocket> guard(socket);
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->start(IdleMs);
    QTimer::singleShot(LifeMs, socket, [guard] {
        if (guard)
            guard->abort();
    });
    QObject::connect(idle, &QTimer::timeout, socket, [guard] {
        if (guard)
            guard->abort();
    });
    // Connected before the HTTP server's own handler, so it sees what waits
    // to be parsed before it is taken.
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [guard, idle] {
        if (!guard)
            return;
        idle->start(IdleMs);
        if (guard->bytesAvailable() > MaxRequestBytes)
            guard->abort();
    });
    QObject::connect(socket, &QTcpSocket::bytesWritten, idle, [idle] { idle->start(IdleMs); });
    addPendingConnection(socket);
}

TMetricsServer::TMetricsServer(TTelemetryModel& model, const TMetricsSettings& settings, const QString& version)
    : Model(model)
    , FSettings(settings)
    , Version(version)
{
}

TMetricsServer::~TMetricsServer() { Stop(); }

bool TMetricsServer::Start()
{
    if (Http)
        return true;
    Problem.clear();
    if (!FSettings.Enabled()) {
        Problem = FSettings.Problem.isEmpty() ? QStringLiteral("no METRIKY Listen") : FSettings.Problem;
        return false;
    }
    auto http = std::make_unique<QHttpServer>();
    http->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get, [this](const QHttpServerRequest&) {
        return QHttpServerResponse(QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"), RenderMetrics(Model, Version));
    });
    auto* listener = new TLimitedTcpServer();
    if (!listener->listen(QHostAddress(FSettings.Address), FSettings.Port)) {
        Problem = QStringLiteral("cannot listen on %1: %2").arg(FSettings.Listen, listener->errorString());
        delete listener;
        if (OnLog)
            OnLog(TLogLine(QStringLiteral("metrics-failed")).Add(QStringLiteral("reason"), Problem));
        return false;
    }
    http->bind(listener);
    Listener = listener;
    Http = std::move(http);
    if (OnLog)
        OnLog(TLogLine(QStringLiteral("metrics-listening")).Add(QStringLiteral("listen"), FSettings.Listen));
    return true;
}

void TMetricsServer::Stop()
{
    Listener = nullptr;
    Http.reset();
}

bool TMetricsServer::Listening() const { return Listener && Listener->isListening(); }

uint16_t TMetricsServer::Port() const { return Listener ? Listener->serverPort() : 0; }
