#include "app/Settings.h"

#include "app/Config.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <arpa/inet.h>

#include <limits>

namespace {
const QString Diagram = QStringLiteral("DIAGRAM");
const QString Komunikacia = QStringLiteral("KOMUNIKACIA");
const QString Ine = QStringLiteral("INE");

// A number key kept to the range the setting has (at most its width): a
// missing key gives def; text that is no number gives def and a value out of
// range the nearest bound, either said in notes.
template <typename T>
T Number(const TMIniFile& ini, const QString& section, const QString& key, T def, QStringList& notes,
         int32_t min = 0, int32_t max = int32_t(std::numeric_limits<T>::max()))
{
    if (!ini.ValueExists(section, key))
        return def;
    const QString text = ini.ReadString(section, key, QString());
    int32_t v = 0;
    if (!TMIniFile::ParseInteger(text, v)) {
        notes << QStringLiteral("%1 %2=%3 is not a whole number; %4 is used").arg(section, key, text).arg(int(def));
        return def;
    }
    if (v < min || v > max) {
        const int32_t used = v < min ? min : max;
        notes << QStringLiteral("%1 %2=%3 is out of range %4 to %5; %6 is used")
                     .arg(section, key, text)
                     .arg(min)
                     .arg(max)
                     .arg(used);
        return static_cast<T>(used);
    }
    return static_cast<T>(v);
}

void ReadAlerts(const TMIniFile& ini, TSettings& s)
{
    const QString section = QStringLiteral("ALARMY");
    TAlertSettings& a = s.Alerts;
    const QString kinds = ini.ReadString(section, QStringLiteral("Druhy"), QString()).trimmed();
    if (!kinds.isEmpty() && kinds.compare(QLatin1String("all"), Qt::CaseInsensitive) != 0) {
        a.Kinds = 0;
        const QStringList names = kinds.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
        for (const QString& name : names) {
            const TAlertSettings::TKind kind = TAlertSettings::KindOf(name);
            if (kind == TAlertSettings::KindCount)
                s.Notes << QStringLiteral("ALARMY Druhy: %1 is no kind of alert; it is left out").arg(name);
            else
                a.Kinds |= 1u << kind;
        }
    }
    a.Reserve = Number<uint16_t>(ini, section, QStringLiteral("Rezerva"), 0, s.Notes);
    a.Earliest = Number<uint16_t>(ini, section, QStringLiteral("Najskor"), 60, s.Notes, 0, 3600);
    a.LinkSeconds = Number<uint16_t>(ini, section, QStringLiteral("Spojenie"), 120, s.Notes);
    a.ClockSeconds = Number<uint16_t>(ini, section, QStringLiteral("Hodiny"), 120, s.Notes, 1);
    a.MailInterval = Number<uint32_t>(ini, section, QStringLiteral("MailInterval"), 900, s.Notes, 1, 7 * 86400);
    const uint32_t length = 3600u / s.Intervaly;
    if (a.Enabled(TAlertSettings::Projected) && a.Earliest >= length)
        s.Notes << QStringLiteral("ALARMY Najskor=%1 is not below the interval's %2 s; no projection is ever judged")
                       .arg(a.Earliest).arg(length);
    const QString reading = ini.ReadString(section, QStringLiteral("Priemer"), QString()).trimmed().toLower();
    if (reading == QLatin1String("interval"))
        a.Reading = TAverageReading::Interval;
    else if (!reading.isEmpty() && reading != QLatin1String("elapsed"))
        s.Notes << QStringLiteral("ALARMY Priemer=%1 is neither elapsed nor interval; elapsed is used").arg(reading);
    const QString mail = ini.ReadString(section, QStringLiteral("Mail"), QString());
    for (const QString& to : mail.split(QRegularExpression(QStringLiteral("[,;]")), Qt::SkipEmptyParts))
        if (!to.trimmed().isEmpty())
            a.Mail << to.trimmed();
}

// A topic given in the file: no wildcard, no empty level at either end, not
// one of the broker's own ($SYS/...).
QString TopicProblem(const QString& key, const QString& topic)
{
    if (topic.contains(QLatin1Char('+')) || topic.contains(QLatin1Char('#')) || topic.contains(QChar(0)))
        return QStringLiteral("MQTT %1=%2: a topic cannot hold + or #").arg(key, topic);
    if (topic.startsWith(QLatin1Char('/')) || topic.endsWith(QLatin1Char('/')) || topic.contains(QLatin1String("//")))
        return QStringLiteral("MQTT %1=%2: a topic has no empty level").arg(key, topic);
    if (topic.startsWith(QLatin1Char('$')))
        return QStringLiteral("MQTT %1=%2: topics beginning with $ are the broker's").arg(key, topic);
    return {};
}

// folder: the site's, whose name the node is unless given.
void ReadMqtt(const TMIniFile& ini, const QString& folder, TMqttSettings& m)
{
    const QString mqtt = QStringLiteral("MQTT");
    auto text = [&](const char* key) { return ini.ReadString(mqtt, QLatin1String(key), QString()).trimmed(); };
    auto problem = [&m](const QString& why) {
        if (m.Problem.isEmpty())
            m.Problem = why;
    };
    m.Host = text("Host");
    const QString security = text("Security").toLower();
    if (security == QLatin1String("tls"))
        m.Tls = true;
    else if (!security.isEmpty() && security != QLatin1String("none"))
        problem(QStringLiteral("MQTT Security=%1: none or tls").arg(security));
    m.Port = m.Tls ? 8883 : 1883;
    if (const QString port = text("Port"); !port.isEmpty()) {
        bool ok = false;
        const uint v = port.toUInt(&ok, 10);
        if (ok && v >= 1 && v <= 65535)
            m.Port = static_cast<uint16_t>(v);
        else
            problem(QStringLiteral("MQTT Port=%1: a number from 1 to 65535").arg(port));
    }
    m.CAFile = text("CAFile");
    m.User = ini.ReadString(mqtt, QStringLiteral("User"), QString());
    m.Password = ini.ReadString(mqtt, QStringLiteral("Password"), QString());
    // A node is written as it is used: two sites whose names were made the
    // same would share a client id and throw each other off the broker.
    const QString given = text("Node");
    if (given.isEmpty()) {
        const QString site = folder.isEmpty() ? QFileInfo(ini.FileName).absolutePath() : folder;
        m.Node = TSettings::TopicSafe(QFileInfo(QDir::cleanPath(QFileInfo(site).absoluteFilePath())).fileName());
    } else if (TSettings::TopicSafe(given) == given) {
        m.Node = given;
    } else {
        problem(QStringLiteral("MQTT Node=%1: lower-case a-z, 0-9 and single _ between them only").arg(given));
    }
    if (m.Node.isEmpty())
        m.Node = QStringLiteral("qdrwin");
    m.ClientId = text("ClientId");
    if (m.ClientId.isEmpty())
        m.ClientId = QStringLiteral("qdrwin-") + m.Node;
    m.Topic = text("Topic");
    if (m.Topic.isEmpty())
        m.Topic = QStringLiteral("qdrwin/") + m.Node;
    if (const QString why = TopicProblem(QStringLiteral("Topic"), m.Topic); !why.isEmpty())
        problem(why);
    m.Discovery = ini.ValueExists(mqtt, QStringLiteral("Discovery")) ? text("Discovery") : QStringLiteral("homeassistant");
    if (const QString why = TopicProblem(QStringLiteral("Discovery"), m.Discovery); !why.isEmpty())
        problem(why);
    // Home Assistant reads everything under its prefix as configs.
    if (!m.Discovery.isEmpty() && (m.Topic == m.Discovery || m.Topic.startsWith(m.Discovery + QLatin1Char('/'))))
        problem(QStringLiteral("MQTT Topic=%1: it lies in Discovery=%2").arg(m.Topic, m.Discovery));
    if (const QString keep = text("KeepAlive"); !keep.isEmpty()) {
        bool ok = false;
        const uint v = keep.toUInt(&ok, 10);
        if (ok && v >= 5 && v <= 3600)
            m.KeepAlive = static_cast<uint16_t>(v);
        else
            problem(QStringLiteral("MQTT KeepAlive=%1: seconds from 5 to 3600").arg(keep));
    }
}

void ReadMetrics(const TMIniFile& ini, TMetricsSettings& m)
{
    m.Listen = ini.ReadString(QStringLiteral("METRIKY"), QStringLiteral("Listen"), QString()).trimmed();
    if (m.Listen.isEmpty())
        return;
    // host:port with an address, never a name to look up: [::1]:9842 for IPv6.
    const qsizetype colon = m.Listen.lastIndexOf(QLatin1Char(':'));
    QString address = colon > 0 ? m.Listen.left(colon) : QString();
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        address = address.mid(1, address.size() - 2);
    else if (address.contains(QLatin1Char(':')))
        address.clear();
    if (address == QLatin1String("localhost"))
        address = QStringLiteral("127.0.0.1");
    bool ok = false;
    const uint port = colon > 0 ? m.Listen.mid(colon + 1).toUInt(&ok, 10) : 0;
    unsigned char binary[16];
    const QByteArray latin = address.toLatin1();
    const bool literal = !address.isEmpty() && (inet_pton(AF_INET, latin.constData(), binary) == 1 ||
                                                 inet_pton(AF_INET6, latin.constData(), binary) == 1);
    if (!literal || !ok || port < 1 || port > 65535) {
        m.Problem = QStringLiteral("METRIKY Listen=%1: an address and a port, such as 127.0.0.1:9842 or [::1]:9842").arg(m.Listen);
        return;
    }
    m.Address = address;
    m.Port = static_cast<uint16_t>(port);
}
} // namespace

QString TSettings::TopicSafe(const QString& text)
{
    QString out;
    for (const QChar c : text.normalized(QString::NormalizationForm_KD)) {
        if (c.isMark())
            continue;
        const QChar l = c.toLower();
        if ((l >= QLatin1Char('a') && l <= QLatin1Char('z')) || (l >= QLatin1Char('0') && l <= QLatin1Char('9')))
            out += l;
        else if (!out.isEmpty() && !out.endsWith(QLatin1Char('_')))
            out += QLatin1Char('_');
    }
    while (out.endsWith(QLatin1Char('_')))
        out.chop(1);
    return out;
}

QString TSettings::AsciiUpper(const QString& text)
{
    QString out = text;
    for (QChar& c : out)
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    return out;
}

bool TSettings::SplitHostPort(const QString& text, QString& host, uint16_t& port)
{
    const QString t = text.trimmed();
    // More than one colon is an IPv6 literal, which carries no port here.
    if (t.count(QLatin1Char(':')) != 1) {
        host = t;
        return true;
    }
    const qsizetype colon = t.indexOf(QLatin1Char(':'));
    host = t.left(colon).trimmed();
    const QString p = t.mid(colon + 1).trimmed();
    bool ok = false;
    const uint v = p.toUInt(&ok, 10);
    if (!ok || v == 0 || v > 65535 || host.isEmpty())
        return false;
    port = static_cast<uint16_t>(v);
    return true;
}

TSettings TSettings::Read(const TMIniFile& ini, const QString& folder)
{
    TSettings s;
    s.Merania = Number<uint8_t>(ini, Diagram, QStringLiteral("Merania"), 0, s.Notes);

    s.Limit = Number<uint8_t>(ini, Komunikacia, QStringLiteral("Limit"), 80, s.Notes, 32);
    s.IP = ini.ReadString(Komunikacia, QStringLiteral("IP"), QString()).trimmed();
    s.PauseW = Number<uint16_t>(ini, Komunikacia, QStringLiteral("PauseW"), 10, s.Notes);
    s.Adr = Number<uint8_t>(ini, Komunikacia, QStringLiteral("Adr"), 0, s.Notes);
    if (s.IP.isEmpty()) {
        s.Com = Number<uint8_t>(ini, Komunikacia, QStringLiteral("Com"), 1, s.Notes);
        s.Device = ini.ReadString(Komunikacia, QStringLiteral("Device"), QString()).trimmed();
        s.PauseD = Number<uint16_t>(ini, Komunikacia, QStringLiteral("PauseD"), 60, s.Notes);
    } else {
        s.UdpPort = DefaultUdpPort;
        if (!SplitHostPort(s.IP, s.Host, s.UdpPort))
            s.Problem = QStringLiteral("KOMUNIKACIA IP=%1: the port is not a number from 1 to 65535").arg(s.IP);
    }
    s.Timeout = Number<uint16_t>(ini, Komunikacia, QStringLiteral("Timeout"), 1200, s.Notes);
    s.Rychlo = Number<uint8_t>(ini, Komunikacia, QStringLiteral("Rychlo"), 0, s.Notes, 0, 1) != 0;

    s.Password = AsciiUpper(ini.ReadString(Ine, QStringLiteral("Password"), QString()));
    s.Intervaly = Number<uint8_t>(ini, Ine, QStringLiteral("Intervaly"), 4, s.Notes, 1, 60);
    if (60 % s.Intervaly != 0) {
        s.Notes << QStringLiteral("INE Intervaly=%1 does not divide an hour; 4 is used").arg(int(s.Intervaly));
        s.Intervaly = 4;
    }
    s.Miesto = ini.ReadString(Ine, QStringLiteral("Miesto"), QString()).trimmed();
    s.TimeZone = ini.ReadString(Ine, QStringLiteral("TimeZone"), QString()).trimmed();

    // Names are kept as written, so a name of blanks still counts as given.
    auto names = [&ini](const QString& section, const char* prefix, int count) {
        QStringList list;
        for (int n = 1; n <= count; ++n)
            list << ini.ReadString(section, QStringLiteral("%1%2").arg(QLatin1String(prefix)).arg(n, 2, 10, QLatin1Char('0')), QString());
        return list;
    };
    s.MeterNames = names(QStringLiteral("ELEKTROMERY"), "EM", 12);
    s.ApplianceNames = names(QStringLiteral("SPOTREBICE"), "RO", 64);
    s.SignalNames = names(QStringLiteral("SIGNALY"), "SI", 64);

    s.Jal = Number<uint8_t>(ini, Diagram, QStringLiteral("Jal"), 0, s.Notes);
    if (s.Jal == 0) {
        s.JalPlus = Number<uint8_t>(ini, Diagram, QStringLiteral("Jal+"), 0, s.Notes);
        s.JalMinus = Number<uint8_t>(ini, Diagram, QStringLiteral("Jal-"), 0, s.Notes);
    } else {
        s.JalPlus = s.Jal;
        s.JalMinus = 0;
    }

    const QString mail = QStringLiteral("MAIL");
    s.Mail.Host = ini.ReadString(mail, QStringLiteral("Host"), QString()).trimmed();
    // A port that is not a number stops the mailing with its reason rather
    // than quietly trying port 25.
    const QString port = ini.ReadString(mail, QStringLiteral("Port"), QString()).trimmed();
    if (!port.isEmpty()) {
        bool ok = false;
        const uint v = port.toUInt(&ok, 10);
        if (ok && v >= 1 && v <= 65535)
            s.Mail.Port = static_cast<int>(v);
        else
            s.Mail.Problem = QStringLiteral("Nesprávne nastavenie MAIL Port=%1 (číslo od 1 do 65535) !").arg(port);
    }
    s.Mail.User = ini.ReadString(mail, QStringLiteral("User"), QString());
    s.Mail.FromName = ini.ReadString(mail, QStringLiteral("FromName"), QString());
    s.Mail.FromAdr = ini.ReadString(mail, QStringLiteral("FromAdr"), QString());
    s.Mail.ToAdr = ini.ReadString(mail, QStringLiteral("ToAdr"), QString());
    const QString security = ini.ReadString(mail, QStringLiteral("Security"), QString()).trimmed().toLower();
    s.Mail.Security = TMailSettings::DefaultSecurity(s.Mail.Port);
    if (security == QLatin1String("none"))
        s.Mail.Security = TMailSecurity::None;
    else if (security == QLatin1String("starttls"))
        s.Mail.Security = TMailSecurity::StartTls;
    else if (security == QLatin1String("tls"))
        s.Mail.Security = TMailSecurity::Tls;
    else if (!security.isEmpty() && s.Mail.Problem.isEmpty())
        s.Mail.Problem = QStringLiteral("Nesprávne nastavenie MAIL Security=%1 (none, starttls alebo tls) !").arg(security);
    s.Mail.Login = ini.ReadString(mail, QStringLiteral("Login"), QString());
    s.Mail.Password = ini.ReadString(mail, QStringLiteral("Password"), QString());
    s.Mail.CAFile = ini.ReadString(mail, QStringLiteral("CAFile"), QString()).trimmed();
    ReadAlerts(ini, s);

    const QString contract = QStringLiteral("ZMLUVA");
    s.Contract = ParseContract(
        ini.SectionExists(contract),
        [&ini, &contract](const QString& key, QString& text) {
            if (!ini.ValueExists(contract, key))
                return false;
            text = ini.ReadString(contract, key, QString());
            return true;
        },
        60 / s.Intervaly);
    ReadMqtt(ini, folder, s.Mqtt);
    ReadMetrics(ini, s.Metrics);
    return s;
}
