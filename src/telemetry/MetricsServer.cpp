#include "telemetry/MetricsServer.h"

#include "telemetry/TelemetryModel.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>

#include <sys/socket.h>

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
// all when it has none. Samples carry only the labels that tell the series
// apart, never a name or the site: a meter renamed or a scrape config with a
// site label of its own must not start new series (those are on the info
// families).
class TFamily {
public:
    TFamily(QByteArray& page, const char* name, const char* type, const char* help)
        : Page(page)
        , Name(name)
        , Type(type)
        , Help(help)
    {
    }
    void Sample(double value, std::initializer_list<std::pair<const char*, QString>> labels = {})
    {
        if (!Started) {
            Page += "# HELP " + Name + ' ' + Help + '\n';
            Page += "# TYPE " + Name + ' ' + Type + '\n';
            Started = true;
        }
        Page += Name;
        char separator = '{';
        for (const auto& [key, text] : labels) {
            Page += separator + QByteArray(key) + "=\"" + LabelValue(text) + '"';
            separator = ',';
        }
        Page += (separator == ',' ? "} " : " ") + Number(value) + '\n';
    }

private:
    QByteArray& Page;
    QByteArray Name, Type, Help;
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

QString Two(int n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); }

QString TariffName(int t) { return t == 0 ? QStringLiteral("VT") : QStringLiteral("NT"); }

// A figure of measurement 00 in its own family, a meter's in the active or
// the reactive one: sum() over the meters never counts the site twice. Each
// family whole before the next, wherever the reactive meters sit.
struct TByChannel {
    TFamily Site, Active, Reactive;
    // value(channel): kW (kvar), or nothing.
    template <typename F> void Render(const TTelemetryModel& model, int channels, F value)
    {
        for (TFamily* family : {&Site, &Active, &Reactive})
            for (int c = 0; c < channels; ++c) {
                if (family != (c == 0 ? &Site : model.Reactive(c) ? &Reactive : &Active))
                    continue;
                if (const std::optional<double> v = value(c); v && c == 0)
                    family->Sample(*v * 1000.0);
                else if (v)
                    family->Sample(*v * 1000.0, {{"channel", Two(c)}});
            }
    }
};
} // namespace

QByteArray RenderMetrics(const TTelemetryModel& model, const QString& version)
{
    QByteArray page;
    {
        TFamily info(page, "qdr_info", "gauge", "The site and its regulator; the value is always 1.");
        const std::optional<QString> id = model.Identification();
        info.Sample(1, {{"site", model.Node()},
                        {"name", model.SiteName()},
                        {"identification", id.value_or(QString())},
                        {"generation", model.Generation() ? QString::number(model.Generation()) : QString()},
                        {"version", version}});
    }
    TFamily(page, "qdr_link_up", "gauge", "1 while the regulator answers, 0 while it does not or has not yet.")
        .Sample(model.LinkUp() ? 1 : 0);
    if (const std::optional<int64_t> last = model.LastReply())
        TFamily(page, "qdr_last_reply_timestamp_seconds", "gauge", "When the regulator last gave a valid reply.")
            .Sample(double(*last));
    if (const std::optional<bool> mqtt = model.MqttConnected ? model.MqttConnected() : std::nullopt)
        TFamily(page, "qdr_mqtt_connected", "gauge", "1 while the MQTT publisher is connected to its broker, else 0.")
            .Sample(*mqtt ? 1 : 0);
    {
        TFamily info(page, "qdr_channel_info", "gauge",
                     "Name and kind (total: measurement 00, the site; active or reactive: a meter) of a measurement; always 1.");
        for (int c = 0; c < model.LiveChannels(); ++c)
            info.Sample(1, {{"channel", Two(c)},
                            {"name", model.ChannelName(c)},
                            {"kind", c == 0                ? QStringLiteral("total")
                                     : model.Reactive(c) ? QStringLiteral("reactive")
                                                         : QStringLiteral("active")}});
    }
    {
        TByChannel power{{page, "qdr_site_power_watts", "gauge", "Instantaneous active power of measurement 00, the site's total."},
                         {page, "qdr_power_watts", "gauge", "Instantaneous active power of a meter."},
                         {page, "qdr_reactive_power_var", "gauge", "Instantaneous reactive power of a meter."}};
        power.Render(model, model.LiveChannels(), [&](int c) { return model.Power(c); });
    }
    {
        TByChannel average{{page, "qdr_site_interval_average_watts", "gauge",
                            "Average active power of measurement 00 in the running interval so far."},
                           {page, "qdr_interval_average_watts", "gauge",
                            "Average active power of a meter in the running interval so far."},
                           {page, "qdr_interval_average_var", "gauge",
                            "Average reactive power of a meter in the running interval so far."}};
        average.Render(model, model.LiveChannels(), [&](int c) { return model.Average(c); });
    }
    if (const std::optional<double> projected = model.Projected())
        TFamily(page, "qdr_interval_projected_watts", "gauge",
                "Average active power of measurement 00 the running interval ends with if the present power holds.")
            .Sample(*projected * 1000.0);
    if (const std::optional<int> length = model.IntervalSeconds())
        TFamily(page, "qdr_interval_length_seconds", "gauge", "Length of the measuring interval.").Sample(*length);
    if (const std::optional<int> elapsed = model.IntervalElapsed())
        TFamily(page, "qdr_interval_elapsed_seconds", "gauge", "Seconds into the running interval, as the regulator last said.")
            .Sample(*elapsed);
    if (const TTelemetryModel::TClosed& closed = model.Closed(); closed.Valid) {
        TByChannel last{{page, "qdr_site_last_interval_average_watts", "gauge",
                         "Average active power of measurement 00 in the last closed interval."},
                        {page, "qdr_last_interval_average_watts", "gauge",
                         "Average active power of a meter in the last closed interval."},
                        {page, "qdr_last_interval_average_var", "gauge",
                         "Average reactive power of a meter in the last closed interval."}};
        last.Render(model, closed.Channels, [&](int c) { return std::optional<double>(closed.Power[size_t(c)]); });
        TFamily(page, "qdr_last_interval_start_timestamp_seconds", "gauge", "When the last closed interval began.")
            .Sample(double(closed.Start.Utc));
    }
    if (const TTelemetryModel::TMonth& month = model.Month(); month.Valid && month.HavePeak) {
        TFamily(page, "qdr_month_peak_watts", "gauge",
                "Highest interval average of measurement 00 this month, from the month's file.")
            .Sample(month.Peak * 1000.0);
        TFamily(page, "qdr_month_peak_start_timestamp_seconds", "gauge", "When the interval of this month's peak began.")
            .Sample(double(month.PeakStart.Utc));
    }
    if (const std::optional<double> capacity = model.ContractedCapacity())
        TFamily(page, "qdr_contracted_capacity_watts", "gauge",
                "Reserved capacity the contract ([ZMLUVA] Kapacita) holds for the month of qdr_month_peak_watts.")
            .Sample(*capacity * 1000.0);
    if (!model.Lifetime().empty()) {
        TByChannel energy{{page, "qdr_site_energy_joules_total", "counter",
                           "Active energy of measurement 00 over every record filed in the archive's month files."},
                          {page, "qdr_energy_joules_total", "counter",
                           "Active energy of a meter over every record filed in the archive's month files."},
                          {page, "qdr_reactive_energy_varh_total", "counter",
                           "Reactive energy of a meter over every record filed in the archive's month files."}};
        // Render scales by 1000: kWh to J is 3.6e6, kvarh to varh 1e3.
        energy.Render(model, TTelemetryModel::MaxChannels, [&](int c) {
            const auto it = model.Lifetime().find(c);
            if (it == model.Lifetime().end())
                return std::optional<double>();
            return std::optional<double>(model.Reactive(c) ? it->second : it->second * 3600.0);
        });
    }
    {
        TFamily regulated(page, "qdr_regulated_power_watts", "gauge", "Regulated power by tariff, as the regulator last reported it.");
        for (int t = 0; t < 2; ++t)
            if (const std::optional<uint16_t> v = model.Regulated(t))
                regulated.Sample(*v * 1000.0, {{"tariff", TariffName(t)}});
    }
    if (const std::optional<uint16_t> inForce = model.RegulatedInForce())
        TFamily(page, "qdr_regulated_power_in_force_watts", "gauge", "Regulated power of the tariff in force now.")
            .Sample(*inForce * 1000.0);
    if (const std::optional<int> tariff = model.Tariff()) {
        TFamily tariffs(page, "qdr_tariff", "gauge", "1 for the tariff in force now, 0 for the other.");
        for (int t = 0; t < 2; ++t)
            tariffs.Sample(t == *tariff ? 1 : 0, {{"tariff", TariffName(t)}});
    }
    if (const std::optional<int> stage = model.Stage())
        TFamily(page, "qdr_stage", "gauge", "Regulation stage.").Sample(*stage);
    if (model.LimitDanger)
        TFamily(page, "qdr_limit_danger", "gauge", "1 while the running interval is projected over the limit, else 0.")
            .Sample(*model.LimitDanger ? 1 : 0);
    {
        TFamily info(page, "qdr_appliance_info", "gauge", "Name of an appliance; always 1.");
        TFamily disconnected(page, "qdr_appliance_disconnected", "gauge",
                             "1 while the regulator keeps an appliance switched off, else 0.");
        for (int n = 1; n <= model.Appliances(); ++n)
            info.Sample(1, {{"appliance", Two(n)}, {"name", model.ApplianceName(n)}});
        for (int n = 1; n <= model.Appliances(); ++n)
            if (const std::optional<bool> off = model.Appliance(n))
                disconnected.Sample(*off ? 1 : 0, {{"appliance", Two(n)}});
    }
    {
        TFamily exchanges(page, "qdr_exchanges_total", "counter", "Exchanges with the regulator by result.");
        std::map<QString, uint64_t> byResult{{QStringLiteral("ok"), 0}, {QStringLiteral("timeout"), 0}};
        for (const auto& [code, count] : model.Exchanges())
            byResult[ResultName(code)] += count;
        for (const auto& [result, count] : byResult)
            exchanges.Sample(double(count), {{"result", result}});
    }
    TFamily(page, "qdr_archive_records_filed_total", "counter", "Archive records filed into the month files.")
        .Sample(double(model.RecordsFiled()));
    {
        TFamily records(page, "qdr_archive_records", "gauge", "Records held by the file of a month the regulator keeps.");
        for (const auto& [month, count] : model.MonthRecords())
            records.Sample(count, {{"month", QStringLiteral("%1-%2").arg(month / 12).arg(month % 12 + 1, 2, 10, QLatin1Char('0'))}});
    }
    return page;
}

namespace {
// What a request head asks for, or the status it earns by itself.
struct TRequest {
    QByteArray Method;
    QByteArray Path;
    bool KeepAlive = false;
    qint64 Body = 0;
    int Refusal = 0;
};

TRequest Refused(int status)
{
    TRequest r;
    r.Refusal = status;
    return r;
}

bool Digits(const QByteArray& text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The head as read: the request line, header lines, the empty line; each
// line ends with LF or CRLF.
TRequest ParseHead(const QByteArray& head)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QList<QByteArray> parts = lines.value(0).split(' ');
    if (parts.size() != 3 || parts[0].isEmpty() || parts[1].isEmpty())
        return Refused(400);
    const bool old = parts[2] == "HTTP/1.0";
    if (!old && parts[2] != "HTTP/1.1")
        return Refused(parts[2].startsWith("HTTP/") ? 505 : 400);
    TRequest r;
    r.Method = parts[0];
    r.Path = parts[1];
    // The absolute form a proxy sends, and a query the page ignores.
    if (r.Path.startsWith("http://") || r.Path.startsWith("https://")) {
        const qsizetype slash = r.Path.indexOf('/', r.Path.indexOf("//") + 2);
        r.Path = slash < 0 ? QByteArrayLiteral("/") : r.Path.mid(slash);
    }
    if (const qsizetype query = r.Path.indexOf('?'); query >= 0)
        r.Path.truncate(query);
    bool close = false, keepAlive = false;
    std::optional<qint64> length;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).toLower();
        // Folded lines and names with blanks are how requests are smuggled
        // past proxies: refused rather than guessed at.
        if (colon <= 0 || name.contains(' ') || name.contains('\t'))
            return Refused(400);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "connection") {
            for (const QByteArray& token : value.toLower().split(',')) {
                close = close || token.trimmed() == "close";
                keepAlive = keepAlive || token.trimmed() == "keep-alive";
            }
        } else if (name == "content-length") {
            if (!Digits(value))
                return Refused(400);
            // More digits than fit are more than the budget all the same.
            const qint64 n = value.size() > 15 ? std::numeric_limits<qint64>::max() : value.toLongLong();
            if (length && *length != n)
                return Refused(400);
            length = n;
        } else if (name == "transfer-encoding") {
            // A body of unknown length cannot be held to the budget.
            return Refused(411);
        }
    }
    r.Body = length.value_or(0);
    r.KeepAlive = !close && (!old || keepAlive);
    return r;
}

QByteArray Reason(int status)
{
    switch (status) {
    case 200: return QByteArrayLiteral("OK");
    case 400: return QByteArrayLiteral("Bad Request");
    case 404: return QByteArrayLiteral("Not Found");
    case 405: return QByteArrayLiteral("Method Not Allowed");
    case 411: return QByteArrayLiteral("Length Required");
    case 413: return QByteArrayLiteral("Content Too Large");
    case 431: return QByteArrayLiteral("Request Header Fields Too Large");
    case 505: return QByteArrayLiteral("HTTP Version Not Supported");
    default: return QByteArrayLiteral("Error");
    }
}

QByteArray Response(int status, const QByteArray& type, const QByteArray& body, bool head, bool keepAlive)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + Reason(status) + "\r\nContent-Type: " + type +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (status == 405)
        out += "Allow: GET, HEAD\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    if (!head)
        out += body;
    return out;
}

const QByteArray PlainText = QByteArrayLiteral("text/plain; charset=utf-8");
} // namespace

// One peer: reads a request head line by line, throws its body away, sends
// one answer and only then reads on.
class TMetricsServer::TConnection : public QObject {
public:
    TConnection(TMetricsServer& server, QTcpSocket* socket)
        : Socket(socket)
        , Server(server)
    {
        socket->setParent(this);
        // Qt stops taking bytes from the kernel once this much waits, so a
        // flood stays in the peer's send queue, not in our memory.
        socket->setReadBufferSize(MaxRequestBytes);
        Deadline.setSingleShot(true);
        // A coarse timer may fire 5 % early: a request at 4.8 s is in time.
        Deadline.setTimerType(Qt::PreciseTimer);
        Deadline.start(IdleMs);
        connect(&Deadline, &QTimer::timeout, this, [this] { Server.Drop(this); });
        connect(socket, &QTcpSocket::readyRead, this, [this] { Serve(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (Socket->bytesToWrite() > 0)
                return;
            if (Closing) {
                Linger();
                return;
            }
            Deadline.start(IdleMs);
            Serve();
        });
        connect(socket, &QTcpSocket::disconnected, this, [this] { Server.Drop(this); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this] { Server.Drop(this); });
    }

    // Being answered: the last one to give its place to a newcomer.
    bool Answering() const { return Socket->bytesToWrite() > 0 || !Pending.isEmpty(); }

    void Serve()
    {
        if (Closing) {
            Socket->skip(Socket->bytesAvailable());
            return;
        }
        while (!Closing && Socket->bytesToWrite() == 0) {
            if (!Pending.isEmpty()) {
                if (Discard > 0)
                    Discard -= std::max<qint64>(0, Socket->skip(std::min(Discard, Socket->bytesAvailable())));
                if (Discard > 0)
                    return;
                Send();
                continue;
            }
            if (Socket->bytesAvailable() <= 0)
                return;
            if (!InRequest) {
                InRequest = true;
                Deadline.start(RequestMs);
            }
            if (!Socket->canReadLine()) {
                if (Head.size() + Socket->bytesAvailable() >= MaxRequestBytes)
                    Refuse(431);
                return;
            }
            const QByteArray line = Socket->readLine();
            Head += line;
            if (Head.size() > MaxRequestBytes) {
                Refuse(431);
            } else if (line == "\r\n" || line == "\n") {
                // Blank lines before a request line are tolerated.
                if (Head.size() > line.size())
                    Answer(ParseHead(Head));
            }
        }
    }

    QTcpSocket* const Socket;

private:
    void Refuse(int status) { Answer(Refused(status)); }

    void Answer(TRequest r)
    {
        if (!r.Refusal && r.Body > MaxRequestBytes - Head.size())
            r = Refused(413);
        if (r.Refusal) {
            Pending = Response(r.Refusal, PlainText, Reason(r.Refusal) + '\n', false, false);
            KeepAlive = false;
            return;
        }
        KeepAlive = r.KeepAlive;
        Discard = r.Body;
        const bool head = r.Method == "HEAD";
        if (!head && r.Method != "GET")
            Pending = Response(405, PlainText, QByteArrayLiteral("GET or HEAD only\n"), false, KeepAlive);
        else if (r.Path == "/metrics")
            Pending = Response(200, QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"), Server.Page(), head,
                               KeepAlive);
        else if (r.Path == "/")
            Pending = Response(200, PlainText, QByteArrayLiteral("QDRWin metrics are at /metrics\n"), head, KeepAlive);
        else
            Pending = Response(404, PlainText, QByteArrayLiteral("not found; metrics are at /metrics\n"), head, KeepAlive);
    }

    void Send()
    {
        Socket->write(Pending);
        Pending.clear();
        Head.clear();
        InRequest = false;
        if (!KeepAlive) {
            // The answer goes out, then the connection closes; a peer that
            // does not take it has RequestMs.
            Closing = true;
            Deadline.start(RequestMs);
            if (Socket->bytesToWrite() == 0)
                Linger();
            return;
        }
        Deadline.start(Socket->bytesToWrite() > 0 ? RequestMs : IdleMs);
    }

    // Our side ends once the answer is out; what the peer still sends is
    // read and dropped until it closes, briefly. Closing with bytes unread
    // would reset the connection, and the peer could lose the answer (a
    // 413 while it is still sending its body).
    void Linger()
    {
        if (Lingering)
            return;
        Lingering = true;
        ::shutdown(int(Socket->socketDescriptor()), SHUT_WR);
        Deadline.start(LingerMs);
        Serve();
    }

    TMetricsServer& Server;
    QTimer Deadline;
    QByteArray Head;     // of the request being read
    bool InRequest = false;
    QByteArray Pending;  // the answer, once the body is thrown away
    qint64 Discard = 0;  // of the body still to come
    bool KeepAlive = false;
    bool Closing = false;
    bool Lingering = false;
};

TMetricsServer::TMetricsServer(TTelemetryModel& model, const TMetricsSettings& settings, const QString& version)
    : Model(model)
    , FSettings(settings)
    , Version(version)
{
    Clock.start();
    connect(&Listener, &QTcpServer::newConnection, this, [this] { Accept(); });
    connect(&Retry, &QTimer::timeout, this, [this] {
        if (Listen())
            Retry.stop();
    });
}

TMetricsServer::~TMetricsServer() { Stop(); }

void TMetricsServer::Log(const TLogLine& line)
{
    if (OnLog)
        OnLog(line);
}

bool TMetricsServer::Listen()
{
    QHostAddress address(FSettings.Address);
    // [::] is every interface, IPv4 too, as elsewhere on Linux; Qt's own
    // reading of it would be IPv6 alone.
    if (address == QHostAddress::AnyIPv6)
        address = QHostAddress::Any;
    if (!Listener.listen(address, FSettings.Port)) {
        Problem = QStringLiteral("cannot listen on %1: %2").arg(FSettings.Listen, Listener.errorString());
        return false;
    }
    Problem.clear();
    TLogLine line(QStringLiteral("metrics-listening"));
    line.Add(QStringLiteral("listen"), FSettings.Listen);
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::Any)
        line.Add(QStringLiteral("exposed"), QStringLiteral("all-interfaces"));
    Log(line);
    return true;
}

bool TMetricsServer::Start()
{
    if (Started)
        return Listening();
    Problem.clear();
    if (!FSettings.Enabled()) {
        Problem = FSettings.Problem.isEmpty() ? QStringLiteral("no METRIKY Listen") : FSettings.Problem;
        return false;
    }
    Started = true;
    if (Listen())
        return true;
    // Said once; the port may be freed later (another program ending, an
    // address not yet up at boot), so it is tried again quietly.
    Log(TLogLine(QStringLiteral("metrics-failed")).Add(QStringLiteral("reason"), Problem));
    Retry.start(RetryMs);
    return false;
}

void TMetricsServer::Stop()
{
    Started = false;
    Retry.stop();
    Listener.close();
    while (!Open.empty())
        Drop(Open.back());
}

bool TMetricsServer::Listening() const { return Listener.isListening(); }

uint16_t TMetricsServer::Port() const { return Listener.isListening() ? Listener.serverPort() : 0; }

QByteArray TMetricsServer::Page() const { return RenderMetrics(Model, Version); }

void TMetricsServer::Accept()
{
    while (QTcpSocket* socket = Listener.nextPendingConnection()) {
        if (int(Open.size()) >= MaxConnections)
            MakeRoom();
        auto* connection = new TConnection(*this, socket);
        connection->setParent(this);
        Open.push_back(connection);
        connection->Serve();
    }
}

void TMetricsServer::MakeRoom()
{
    // The oldest that is not being answered: a trickler or an idle keep-alive
    // has had its chance, a newcomer may be the scraper that matters.
    const auto victim = std::find_if(Open.begin(), Open.end(), [](const TConnection* c) { return !c->Answering(); });
    Drop(victim == Open.end() ? Open.front() : *victim);
    ++Evicted;
    const qint64 now = Clock.elapsed();
    if (CrowdedSaidAt < 0 || now - CrowdedSaidAt >= 60000) {
        Log(TLogLine(QStringLiteral("metrics-crowded"))
                .Add(QStringLiteral("connections"), qlonglong(MaxConnections))
                .Add(QStringLiteral("dropped"), qlonglong(Evicted)));
        Evicted = 0;
        CrowdedSaidAt = now;
    }
}

void TMetricsServer::Drop(TConnection* connection)
{
    const auto it = std::find(Open.begin(), Open.end(), connection);
    if (it == Open.end())
        return;
    Open.erase(it);
    // Nothing of it may call back once it is out of the list; it is deleted
    // once the signal that brought us here has returned.
    QObject::disconnect(connection->Socket, nullptr, connection, nullptr);
    connection->Socket->abort();
    connection->deleteLater();
}
