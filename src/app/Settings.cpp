#include "app/Settings.h"

#include "app/Config.h"

namespace {
const QString Diagram = QStringLiteral("DIAGRAM");
const QString Komunikacia = QStringLiteral("KOMUNIKACIA");
const QString Ine = QStringLiteral("INE");
} // namespace

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

TSettings TSettings::Read(const TMIniFile& ini)
{
    TSettings s;
    s.Merania = static_cast<uint8_t>(ini.ReadInteger(Diagram, QStringLiteral("Merania"), 0));

    s.Limit = static_cast<uint8_t>(ini.ReadInteger(Komunikacia, QStringLiteral("Limit"), 80));
    if (s.Limit < 32)
        s.Limit = 32;
    s.IP = ini.ReadString(Komunikacia, QStringLiteral("IP"), QString()).trimmed();
    s.PauseW = static_cast<uint16_t>(ini.ReadInteger(Komunikacia, QStringLiteral("PauseW"), 10));
    s.Adr = static_cast<uint8_t>(ini.ReadInteger(Komunikacia, QStringLiteral("Adr"), 0));
    if (s.IP.isEmpty()) {
        s.Com = static_cast<uint8_t>(ini.ReadInteger(Komunikacia, QStringLiteral("Com"), 1));
        s.Device = ini.ReadString(Komunikacia, QStringLiteral("Device"), QString()).trimmed();
        s.PauseD = static_cast<uint16_t>(ini.ReadInteger(Komunikacia, QStringLiteral("PauseD"), 60));
    } else {
        s.UdpPort = DefaultUdpPort;
        if (!SplitHostPort(s.IP, s.Host, s.UdpPort))
            s.Problem = QStringLiteral("KOMUNIKACIA IP=%1: the port is not a number from 1 to 65535").arg(s.IP);
    }
    s.Timeout = static_cast<uint16_t>(ini.ReadInteger(Komunikacia, QStringLiteral("Timeout"), 1200));

    s.Password = AsciiUpper(ini.ReadString(Ine, QStringLiteral("Password"), QString()));
    s.Intervaly = static_cast<uint8_t>(ini.ReadInteger(Ine, QStringLiteral("Intervaly"), 4));
    if (s.Intervaly == 0 || 60 % s.Intervaly != 0)
        s.Intervaly = 4;
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

    s.Jal = static_cast<uint8_t>(ini.ReadInteger(Diagram, QStringLiteral("Jal"), 0));
    if (s.Jal == 0) {
        s.JalPlus = static_cast<uint8_t>(ini.ReadInteger(Diagram, QStringLiteral("Jal+"), 0));
        s.JalMinus = static_cast<uint8_t>(ini.ReadInteger(Diagram, QStringLiteral("Jal-"), 0));
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
    return s;
}
