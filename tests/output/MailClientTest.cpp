// The mail client against a real local SMTP server (tests/support/smtp_sink.py):
// what arrives on the wire and in the stored message, each failure's
// message, the time-out, the refusal of fields that would break lines, the
// secure dialogues with a CA of the test's own, and qdrtool mail on top of it.
#include "app/Config.h"
#include "app/Settings.h"
#include "output/MailClient.h"
#include "support/SmtpSink.h"
#include "support/TestCa.h"
#include "support/ToolRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <signal.h>

#include <gtest/gtest.h>

namespace {

void Aim(TMailClient& c, int port)
{
    AimAtSink(c, port);
    c.FromName = QStringLiteral("Dispecing");
    c.ToAddress = QStringList{QStringLiteral("Jan Novak <jan@firma.sk>")};
    c.Subject = QStringLiteral("Mesacny archiv");
}

struct Outcome {
    bool Sent = false;
    int Successes = 0;
    QString Message;
};

Outcome Deliver(TMailClient& c)
{
    Outcome o;
    BindMailEvents(c, o.Message, [&o] { ++o.Successes; });
    o.Sent = DeliverMail(c, o.Message);
    EXPECT_FALSE(c.Connected());
    return o;
}

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

QString DecodeWords(const QString& value)
{
    static const QRegularExpression word(QStringLiteral(R"(=\?utf-8\?B\?([A-Za-z0-9+/=]*)\?=)"));
    QByteArray bytes;
    for (const QRegularExpressionMatch& m : word.globalMatch(value))
        bytes += QByteArray::fromBase64(m.captured(1).toLatin1());
    return QString::fromUtf8(bytes);
}

} // namespace

TEST(MailClient, LaysOutTheMessageAndTheAttachmentArrivesByteForByte)
{
    // HELO gets a reply of three lines whose last one comes late.
    SmtpSink sink({QStringLiteral("--multiline")});
    ASSERT_GT(sink.Port, 0);
    QTemporaryDir files;
    QByteArray data;
    for (int i = 0; i < 1000; ++i)
        data += char(i * 7 % 256);
    TMailClient c;
    Aim(c, sink.Port);
    c.Body = QStringList{QStringLiteral("Dobry den"), QStringLiteral("."), QStringLiteral(".bodka\n.")};
    c.Attachments = QStringList{WriteFile(files, QStringLiteral("sub/data.bin"), data)};
    const Outcome o = Deliver(c);
    EXPECT_TRUE(o.Sent);
    EXPECT_EQ(o.Successes, 1);
    EXPECT_TRUE(o.Message.isEmpty()) << o.Message.toStdString();

    const QByteArray wire = sink.Wire();
    EXPECT_TRUE(wire.startsWith("HELO tester\r\nRSET\r\nMAIL FROM:<qdr@site.sk>\r\nRCPT TO:<jan@firma.sk>\r\nDATA\r\n"))
        << wire.left(200).toStdString();
    EXPECT_FALSE(wire.contains("EARLY")) << "a command went out before the whole HELO reply";
    EXPECT_TRUE(wire.contains("\r\nDobry den\r\n..\r\n..bodka\r\n..\r\n--=")) << wire.mid(wire.indexOf("Dobry"), 60).toStdString();
    EXPECT_TRUE(wire.endsWith("====--\r\n.\r\nQUIT\r\n"));

    const QList<QByteArray> lines = sink.Message().split('\n');
    QList<QByteArray> l;
    for (const QByteArray& line : lines)
        l << (line.endsWith('\r') ? line.chopped(1) : line);
    ASSERT_GT(l.size(), 20);
    EXPECT_EQ(l[0], "From: Dispecing<qdr@site.sk>");
    EXPECT_EQ(l[1], "To: Jan Novak <jan@firma.sk>");
    EXPECT_EQ(l[2], "Subject: Mesacny archiv");
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d [A-Z][a-z]{2} 20\d\d \d\d:\d\d:\d\d [+-]\d{4}$)"))
                    .match(QString::fromLatin1(l[3])).hasMatch()) << l[3].toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^Message-ID: <[0-9a-z.]+@site\.sk>$)")).match(QString::fromLatin1(l[4])).hasMatch())
        << l[4].toStdString();
    l.remove(3, 2);
    EXPECT_EQ(l[3], "Mime-Version: 1.0");
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral(R"re(^Content-Type: multipart/mixed; boundary="(====================54535[a-y]{6}====)"$)re"))
            .match(QString::fromLatin1(l[4]));
    ASSERT_TRUE(m.hasMatch()) << l[4].toStdString();
    const QByteArray b = m.captured(1).toLatin1();
    // clang-format off
    const QList<QByteArray> head{"", "", "--" + b, "Content-Type: text/plain; charset=us-ascii", "",
        "Dobry den", ".", ".bodka", ".", "--" + b, "Content-Type: application/octet-stream; name=\"data.bin\"",
        "Content-Transfer-Encoding: base64", "Content-Disposition: attachment; filename=\"data.bin\"", ""};
    // clang-format on
    EXPECT_EQ(l.mid(5, head.size()), head);
    QByteArray encoded;
    qsizetype i = 5 + head.size();
    for (; i < l.size() && !l[i].startsWith("--"); ++i) {
        if (i + 1 < l.size() && !l[i + 1].startsWith("--")) {
            EXPECT_EQ(l[i].size(), 60) << "line " << i;
        }
        encoded += l[i];
    }
    EXPECT_EQ(QByteArray::fromBase64(encoded), data);
    ASSERT_LT(i, l.size());
    EXPECT_EQ(l[i], "--" + b + "--");
}

TEST(MailClient, ARefusedRecipientStopsTheSendBeforeData)
{
    SmtpSink sink({QStringLiteral("--reject-rcpt"), QStringLiteral("zly@firma.sk")});
    ASSERT_GT(sink.Port, 0);
    TMailClient c;
    Aim(c, sink.Port);
    c.ToAddress = QStringList{QStringLiteral("Kopia: dobry@firma.sk"), QStringLiteral("zly@firma.sk")};
    const Outcome o = Deliver(c);
    EXPECT_FALSE(o.Sent);
    EXPECT_EQ(o.Successes, 0);
    EXPECT_EQ(o.Message, QStringLiteral("Neznámy príjemca \"zly@firma.sk\" ! Server: 550 5.1.1 no such user. "
                                        "Správa nebola odoslaná."));
    EXPECT_TRUE(sink.Wire().endsWith("RCPT TO:<dobry@firma.sk>\r\nRCPT TO:<zly@firma.sk>\r\nQUIT\r\n"))
        << sink.Wire().toStdString();
    EXPECT_TRUE(sink.Message().isEmpty());

    // Two good ones get it; without attachments it is a plain text message.
    c.ToAddress = QStringList{QStringLiteral("jan@firma.sk"), QStringLiteral("Kopia: dobry@firma.sk")};
    ASSERT_TRUE(Deliver(c).Sent);
    EXPECT_TRUE(sink.Message().contains("\r\nTo: jan@firma.sk,Kopia <dobry@firma.sk>\r\n"));
    EXPECT_TRUE(sink.Message().contains("\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n\r\n"));
}

TEST(MailClient, EachFailureEndsTheAttemptWithItsMessage)
{
    struct Case {
        const char* Name;
        QStringList Options;
        std::function<void(TMailClient&)> Spoil;
        QString Message;
        QByteArray Wire; // what the client sent, when it matters; "-": no connection at all
    };
    const std::vector<Case> cases{
        {"no sender", {}, [](TMailClient& c) { c.FromAddress.clear(); }, "Chýba adresa odosielateľa !", "-"},
        {"no recipient", {}, [](TMailClient& c) { c.ToAddress = {" <> "}; }, "Chýba adresa príjemcu !", "-"},
        {"missing file", {}, [](TMailClient& c) { c.Attachments = {"/nonexistent/2026NOV.TXT"}; },
         "Neexistuje súbor \"/nonexistent/2026NOV.TXT\" !", "-"},
        {"empty user", {}, [](TMailClient& c) { c.UserID.clear(); }, "Neznámy užívateľ !", "HELO \r\nQUIT\r\n"},
        {"DATA refused", {"--reject-data"}, [](TMailClient&) {},
         "Server 127.0.0.1 odmietol príkaz DATA (554 5.7.1 no DATA today) ! Správa nebola odoslaná.", {}},
        {"message refused", {"--reject-message"}, [](TMailClient&) {},
         "Správa neodoslaná ! Server: 554 5.6.0 message refused.", {}},
        {"no host", {}, [](TMailClient& c) { c.Host = "  "; }, "Nesprávny server !", {}},
    };
    for (const Case& k : cases) {
        SmtpSink sink(k.Options);
        ASSERT_GT(sink.Port, 0);
        TMailClient c;
        Aim(c, sink.Port);
        k.Spoil(c);
        const Outcome o = Deliver(c);
        EXPECT_FALSE(o.Sent) << k.Name;
        EXPECT_EQ(o.Successes, 0) << k.Name;
        EXPECT_EQ(o.Message, k.Message) << k.Name;
        if (k.Wire == "-") {
            EXPECT_EQ(sink.Connections(), 0) << k.Name;
        } else if (!k.Wire.isEmpty()) {
            EXPECT_EQ(sink.Wire(), k.Wire) << k.Name;
        }
        EXPECT_TRUE(sink.Message().isEmpty()) << k.Name;
    }

    // A port nobody listens on.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const int port = closed.serverPort();
    closed.close();
    TMailClient c;
    Aim(c, port);
    EXPECT_EQ(Deliver(c).Message, QStringLiteral("Chyba pri nadviazaní spojenia !"));
}

TEST(MailClient, SilentServerTimesOutWhileTheWindowKeepsRunning)
{
    SmtpSink sink({QStringLiteral("--silent")});
    ASSERT_GT(sink.Port, 0);
    TMailClient c;
    Aim(c, sink.Port);
    c.TimeoutMs = 700;
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(50);
    QElapsedTimer clock;
    clock.start();
    const Outcome o = Deliver(c);
    const qint64 ms = clock.elapsed();
    EXPECT_FALSE(o.Sent);
    EXPECT_EQ(o.Message, MailText::NoGreeting(QStringLiteral("127.0.0.1")));
    EXPECT_GE(ms, 650);
    EXPECT_LT(ms, 3000);
    EXPECT_GE(ticks, 8) << "events are processed while the client waits";
    EXPECT_EQ(sink.Connections(), 1);
    EXPECT_TRUE(sink.Wire().isEmpty()) << "nothing is sent before the greeting";
}

TEST(MailClient, FieldsThatWouldBreakLinesOrCarryParametersAreRefusedBeforeAnythingIsSent)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    const QString evil = QStringLiteral("x\r\nRCPT TO:<spy@elsewhere.sk>");
    const QString line = QStringLiteral("obsahuje koniec riadku");
    // An address with a ">" or a blank would pass parameters of its own into
    // MAIL FROM or RCPT TO.
    const QString address = QStringLiteral("nie je platná adresa");
    const std::vector<std::pair<std::function<void(TMailClient&)>, QString>> spoils{
        {[&](TMailClient& c) { c.Subject = evil; }, line},
        {[&](TMailClient& c) { c.ToAddress = {"jan@firma.sk", evil}; }, line},
        {[&](TMailClient& c) { c.FromName = evil; }, line},
        {[&](TMailClient& c) { c.FromAddress = QStringLiteral("qdr@site.sk\n"); }, line},
        {[&](TMailClient& c) { c.UserID = evil; }, line},
        {[&](TMailClient& c) { c.Attachments = {QStringLiteral("a\r\nContent-Type: text/html")}; }, line},
        {[](TMailClient& c) { c.ToAddress = {QStringLiteral("jan@firma.sk> NOTIFY=SUCCESS,FAILURE")}; }, address},
        {[](TMailClient& c) { c.ToAddress = {QStringLiteral("Jan <jan novak@firma.sk>")}; }, address},
        {[](TMailClient& c) { c.ToAddress = {QStringLiteral("jan@firma@sk")}; }, address},
        {[](TMailClient& c) { c.ToAddress = {QStringLiteral("jan@firma.sk"), QStringLiteral("bez zavinaca")}; }, address},
        {[](TMailClient& c) { c.FromAddress = QStringLiteral("qdr@site.sk> SIZE=1"); }, address},
        {[](TMailClient& c) { c.FromAddress = QStringLiteral(".qdr@site.sk"); }, address},
    };
    for (size_t i = 0; i < spoils.size(); ++i) {
        TMailClient c;
        Aim(c, sink.Port);
        spoils[i].first(c);
        const Outcome o = Deliver(c);
        EXPECT_FALSE(o.Sent) << i;
        EXPECT_TRUE(o.Message.contains(spoils[i].second)) << i << o.Message.toStdString();
    }
    EXPECT_EQ(sink.Connections(), 0);
}

TEST(MailClient, NamesAndTextAreEncodedForStrictRelays)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    const QString subject = QStringLiteral("Mesačný archív – november 2026, odberné miesto Žilina sever");
    const QString line = QStringLiteral("Spotreba: 1 234 kWh, ťažký mesiac = 5 %");
    // Its soft breaks put the "." at the start of a line.
    const QString longLine = QString(1500, QLatin1Char('x')) + QStringLiteral(".y");
    TMailClient c;
    Aim(c, sink.Port);
    c.FromName = QStringLiteral("Energetik, a.s.");
    c.ToAddress = QStringList{QStringLiteral("Vedenie, s.r.o. <vedenie@firma.sk>")};
    c.Subject = subject;
    c.Body = QStringList{line, longLine, QStringLiteral(".")};
    QTemporaryDir files;
    c.Attachments = QStringList{WriteFile(files, QStringLiteral("Spotreba máj.txt"), "a\r\n")};
    ASSERT_TRUE(Deliver(c).Sent);

    const QByteArray message = sink.Message();
    const QByteArray head = message.left(message.indexOf("\r\nDate: "));
    EXPECT_TRUE(head.startsWith("From: \"Energetik, a.s.\"<qdr@site.sk>\r\nTo: \"Vedenie, s.r.o.\" <vedenie@firma.sk>\r\n"))
        << head.toStdString();
    EXPECT_EQ(DecodeWords(QString::fromLatin1(head)), subject);
    for (const QByteArray& l : message.split('\n'))
        EXPECT_LE(l.size(), 999) << "998 bytes and the CR";
    for (const char b : message)
        ASSERT_EQ(b & 0x80, 0) << "8-bit data in a message to a server that never offered 8BITMIME";
    EXPECT_TRUE(message.contains("name=\"=?utf-8?B?" + QStringLiteral("Spotreba máj.txt").toUtf8().toBase64() + "?=\"\r\n"));
    EXPECT_TRUE(message.contains("filename*=utf-8''Spotreba%20m%C3%A1j.txt\r\n"));

    // The body decoded as quoted-printable is the text as typed.
    const qsizetype from = message.indexOf("Content-Transfer-Encoding: quoted-printable\r\n\r\n");
    ASSERT_GE(from, 0);
    QByteArray body = message.mid(from + 47, message.indexOf("\r\n--", from) - from - 47);
    body.replace("=\r\n", "");
    QByteArray decoded;
    for (qsizetype i = 0; i < body.size(); ++i)
        if (body[i] == '=' && i + 2 < body.size()) {
            decoded += char(body.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            decoded += body[i];
        }
    EXPECT_EQ(QString::fromUtf8(decoded), line + QStringLiteral("\r\n") + longLine + QStringLiteral("\r\n."));
    EXPECT_TRUE(message.contains("Content-Type: text/plain; charset=utf-8\r\n"));
}

TEST(MailTool, SendsTheFileAndExitsByTheOutcome)
{
    REQUIRE_TOOL();
    SmtpSink sink({QStringLiteral("--reject-rcpt"), QStringLiteral("zly@firma.sk")});
    ASSERT_GT(sink.Port, 0);
    QTemporaryDir site;
    const QByteArray text = "Merania 2026NOV\r\n.\r\n";
    WriteFile(site, QStringLiteral("2026NOV.TXT"), text);
    WriteFile(site, QStringLiteral("qdrwin.ini"),
              QStringLiteral("[MAIL]\nHost=127.0.0.1\nPort=%1\nUser=tester\nFromAdr=qdr@site.sk\nToAdr=jan@firma.sk\n")
                  .arg(sink.Port)
                  .toUtf8());

    const ToolRun sent = RunTool(site.path(), {"mail", "2026NOV.TXT"});
    EXPECT_EQ(sent.Exit, 0) << sent.Text().toStdString();
    EXPECT_TRUE(sent.Out.contains(QStringLiteral("Správa odoslaná")));
    const QByteArray message = sink.Message();
    EXPECT_TRUE(message.contains("\r\nTo: jan@firma.sk\r\nSubject: Mesacny archiv\r\n"));
    EXPECT_TRUE(message.contains("\r\n" + text.toBase64() + "\r\n"));
    EXPECT_TRUE(message.contains("From: <qdr@site.sk>\r\n")) << "an empty FromName leaves the address alone";

    const ToolRun refused = RunTool(site.path(), {"mail", "--to", "zly@firma.sk", "2026NOV.TXT"});
    EXPECT_EQ(refused.Exit, 1) << refused.Text().toStdString();
    EXPECT_TRUE(refused.Err.contains(QStringLiteral("Neznámy príjemca \"zly@firma.sk\" ! Server: 550 5.1.1 no such user.")))
        << refused.Err.toStdString();
    EXPECT_FALSE(sink.Wire(2).contains("DATA")) << sink.Wire(2).toStdString();

    WriteFile(site, QStringLiteral("qdrwin.ini"), "[MAIL]\nToAdr=jan@firma.sk\n");
    EXPECT_EQ(RunTool(site.path(), {"mail", "2026NOV.TXT"}).Exit, 2) << "no Host";
}

namespace {

// A client for a secure sink: the test CA trusted, the sink's credentials.
void AimSecure(TMailClient& c, int port, TMailSecurity security, const TestCa& ca)
{
    Aim(c, port);
    c.Security = security;
    c.CAFile = ca.CaFile();
    c.Login = QStringLiteral("dispecing");
    c.Password = QStringLiteral("Tajne-Heslo1");
}

const QString SinkAuth = QStringLiteral("dispecing:Tajne-Heslo1");

} // namespace

TEST(MailClient, StartTlsAndTlsLogInAndDeliverTheAttachmentByteForByte)
{
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    QTemporaryDir files;
    QByteArray data;
    for (int i = 0; i < 5000; ++i)
        data += char(i * 13 % 256);
    const QString file = WriteFile(files, QStringLiteral("2026NOV.TXT"), data);
    struct Case {
        const char* Name;
        QStringList Options;
        TMailSecurity Security;
        QByteArray WireStart; // what went out in clear and then inside TLS, up to the credentials
    };
    const std::vector<Case> cases{
        {"starttls, PLAIN", {"--starttls"}, TMailSecurity::StartTls, "EHLO tester\r\nSTARTTLS\r\nEHLO tester\r\nAUTH PLAIN "},
        {"starttls, LOGIN only", {"--starttls", "--login-only"}, TMailSecurity::StartTls,
         "EHLO tester\r\nSTARTTLS\r\nEHLO tester\r\nAUTH LOGIN\r\n" + QByteArray("dispecing").toBase64() + "\r\n" +
             QByteArray("Tajne-Heslo1").toBase64() + "\r\nRSET\r\n"},
        {"tls", {"--tls"}, TMailSecurity::Tls, "EHLO tester\r\nAUTH PLAIN "},
    };
    for (const Case& k : cases) {
        SmtpSink sink(ca.SinkOptions() + k.Options + QStringList{QStringLiteral("--auth"), SinkAuth});
        ASSERT_GT(sink.Port, 0) << k.Name;
        TMailClient c;
        AimSecure(c, sink.Port, k.Security, ca);
        c.Attachments = QStringList{file};
        const Outcome o = Deliver(c);
        EXPECT_TRUE(o.Sent) << k.Name << ": " << o.Message.toStdString();
        EXPECT_TRUE(sink.Wire().startsWith(k.WireStart)) << k.Name << ": " << sink.Wire().left(160).toStdString();
        const QByteArray message = sink.Message();
        const qsizetype at = message.indexOf("filename=\"2026NOV.TXT\"\r\n\r\n");
        ASSERT_GE(at, 0) << k.Name;
        const qsizetype begin = message.indexOf("\r\n\r\n", at) + 4;
        EXPECT_EQ(QByteArray::fromBase64(message.mid(begin, message.indexOf("\r\n--", begin) - begin)), data) << k.Name;
    }
}

TEST(MailClient, NothingGoesOutInClearAndNoCredentialsToAnUntrustedServer)
{
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    const QStringList auth{QStringLiteral("--auth"), SinkAuth};
    struct Case {
        const char* Name;
        QStringList Options;
        std::function<void(TMailClient&)> Spoil;
        QString Message; // a part of it
        QByteArray Wire;  // everything the server got
    };
    const std::vector<Case> cases{
        {"no STARTTLS offered", QStringList{"--auth", SinkAuth}, [](TMailClient&) {}, "neponúka šifrovanie STARTTLS",
         "EHLO tester\r\nQUIT\r\n"},
        {"untrusted certificate", ca.SinkOptions() + QStringList{"--starttls"} + auth,
         [](TMailClient& c) { c.CAFile.clear(); }, "nie je dôveryhodný", "EHLO tester\r\nSTARTTLS\r\n"},
        {"untrusted, tls", ca.SinkOptions() + QStringList{"--tls"} + auth,
         [](TMailClient& c) {
             c.CAFile.clear();
             c.Security = TMailSecurity::Tls;
         },
         "nie je dôveryhodný", ""},
        {"certificate of another host", ca.SinkOptions("other") + QStringList{"--starttls"} + auth, [](TMailClient&) {},
         "nepatrí serveru 127.0.0.1", "EHLO tester\r\nSTARTTLS\r\n"},
        {"wrong password", ca.SinkOptions() + QStringList{"--starttls"} + auth,
         [](TMailClient& c) { c.Password = QStringLiteral("Zle-Heslo9"); }, "Server odmietol prihlásenie", {}},
        {"no login where the server asks for one", ca.SinkOptions() + QStringList{"--starttls"} + auth,
         [](TMailClient& c) { c.Login.clear(); }, "Server vyžaduje prihlásenie",
         "EHLO tester\r\nSTARTTLS\r\nEHLO tester\r\nRSET\r\nMAIL FROM:<qdr@site.sk>\r\nQUIT\r\n"},
        {"login without encryption", auth, [](TMailClient& c) { c.Security = TMailSecurity::None; }, "nešifrovane", ""},
        {"plain dialogue to a server that wants STARTTLS", ca.SinkOptions() + QStringList{"--starttls"},
         [](TMailClient& c) {
             c.Security = TMailSecurity::None;
             c.Login.clear();
         },
         "Server vyžaduje šifrované spojenie", {}},
    };
    for (const Case& k : cases) {
        SmtpSink sink(k.Options);
        ASSERT_GT(sink.Port, 0) << k.Name;
        TMailClient c;
        AimSecure(c, sink.Port, TMailSecurity::StartTls, ca);
        k.Spoil(c);
        const Outcome o = Deliver(c);
        EXPECT_FALSE(o.Sent) << k.Name;
        EXPECT_TRUE(o.Message.contains(k.Message)) << k.Name << ": " << o.Message.toStdString();
        EXPECT_FALSE(o.Message.contains(c.Password)) << k.Name;
        if (!k.Wire.isNull()) {
            EXPECT_EQ(sink.Wire(), k.Wire) << k.Name;
        }
        EXPECT_TRUE(k.Wire.contains("MAIL FROM") || !sink.Wire().contains("MAIL FROM")) << k.Name;
        EXPECT_TRUE(sink.Message().isEmpty()) << k.Name;
    }
}

TEST(MailClient, TimeOutsBoundTheConnectionAndEachWholeReply)
{
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    // TLS to a server that never answers the handshake: no connection was
    // established. A greeting that trickles in a byte at a time: the reply
    // as a whole is bounded.
    const std::vector<std::pair<const char*, TMailSecurity>> cases{{"--silent", TMailSecurity::Tls},
                                                                    {"--trickle", TMailSecurity::None}};
    for (const auto& [option, security] : cases) {
        SmtpSink sink({QString::fromLatin1(option)});
        ASSERT_GT(sink.Port, 0);
        TMailClient c;
        Aim(c, sink.Port);
        c.Security = security;
        c.CAFile = ca.CaFile();
        c.TimeoutMs = 700;
        QElapsedTimer clock;
        clock.start();
        const Outcome o = Deliver(c);
        // The first TLS connection of a process reads the system's
        // certificates as well (CAFile adds to them).
        EXPECT_LT(clock.elapsed(), 10000) << option;
        EXPECT_FALSE(o.Sent) << option;
        EXPECT_EQ(o.Message, security == TMailSecurity::Tls ? MailText::ConnectionFailed
                                                            : MailText::NoGreeting(QStringLiteral("127.0.0.1")))
            << option << o.Message.toStdString();
    }
}

TEST(MailClient, AddressesOfEveryDayFormsPass)
{
    for (const char* good : {"jan.novak+archiv@firma.sk", "o'brien@example.co.uk", "root@[192.0.2.1]", "a@b"})
        EXPECT_TRUE(TMailClient::ValidAddress(QString::fromLatin1(good))) << good;
}

TEST(MailSettings, SecurityFollowsThePortUnlessGiven)
{
    const auto read = [](const char* text) {
        TMIniFile ini(QStringLiteral("/nonexistent/none.ini"));
        ini.SetText(QStringLiteral("[MAIL]\n") + QString::fromUtf8(text));
        return TSettings::Read(ini).Mail;
    };
    const std::vector<std::pair<const char*, TMailSecurity>> cases{{"Host=x", TMailSecurity::None},
        {"Port=465", TMailSecurity::Tls}, {"Port=587", TMailSecurity::StartTls},
        {"Port=587\nSecurity=None", TMailSecurity::None}, {"Port=2525\nSecurity=tls", TMailSecurity::Tls}};
    for (const auto& [text, security] : cases)
        EXPECT_EQ(read(text).Security, security) << text;
    for (const char* bad : {"Port=abc", "Port=0", "Port=70000", "Security=ssl"})
        EXPECT_FALSE(read(bad).Problem.isEmpty()) << bad;
}

TEST(MailTool, SecureSettingsAndBadOnesExitHonestly)
{
    REQUIRE_TOOL();
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    SmtpSink sink(ca.SinkOptions() + QStringList{QStringLiteral("--starttls"), QStringLiteral("--auth"), SinkAuth});
    ASSERT_GT(sink.Port, 0);
    QTemporaryDir site;
    WriteFile(site, QStringLiteral("2026NOV.TXT"), "Merania 2026NOV\r\n");
    const auto config = [&](const QString& password, const QString& port) {
        WriteFile(site, QStringLiteral("qdrwin.ini"),
                  QStringLiteral("[MAIL]\nHost=127.0.0.1\nPort=%1\nSecurity=starttls\nUser=tester\nLogin=dispecing\n"
                                 "Password=%2\nCAFile=%3\nFromAdr=qdr@site.sk\nToAdr=jan@firma.sk\n")
                      .arg(port, password, ca.CaFile())
                      .toUtf8());
    };
    config(QStringLiteral("Tajne-Heslo1"), QString::number(sink.Port));
    const ToolRun sent = RunTool(site.path(), {"mail", "2026NOV.TXT"});
    EXPECT_EQ(sent.Exit, 0) << sent.Text().toStdString();
    EXPECT_TRUE(sent.Err.isEmpty()) << sent.Err.toStdString();
    EXPECT_EQ(sink.Count("msg-*.eml"), 1);

    config(QStringLiteral("Zle-Heslo9"), QString::number(sink.Port));
    const ToolRun refused = RunTool(site.path(), {"mail", "2026NOV.TXT"});
    EXPECT_EQ(refused.Exit, 1) << refused.Text().toStdString();
    EXPECT_EQ(refused.Err.trimmed(), QStringLiteral("qdrtool: ") + MailText::LoginRefused)
        << "standard error holds our message alone";
    EXPECT_FALSE(refused.Text().contains(QStringLiteral("Zle-Heslo9")));

    config(QStringLiteral("Tajne-Heslo1"), QStringLiteral("25x"));
    const ToolRun badPort = RunTool(site.path(), {"mail", "2026NOV.TXT"});
    EXPECT_EQ(badPort.Exit, 2) << badPort.Text().toStdString();
    EXPECT_TRUE(badPort.Err.contains(QStringLiteral("Port=25x"))) << badPort.Err.toStdString();
    EXPECT_EQ(sink.Count("msg-*.eml"), 1);
}

TEST(MailClient, EachBrokenExchangeAroundTheDataHasItsOwnText)
{
    const QString host = QStringLiteral("127.0.0.1");
    const std::vector<std::pair<const char*, QString>> cases{
        {"--silent", MailText::NoGreeting(host)},
        {"--close-after-data", MailText::ClosedAfterData(host)},
        {"--silent-after-data", MailText::NoReplyAfterData(host)},
        {"--close-after-354", MailText::ClosedAfter354(host)},
    };
    for (const auto& [option, text] : cases) {
        SmtpSink sink({QString::fromLatin1(option)});
        ASSERT_GT(sink.Port, 0);
        TMailClient c;
        Aim(c, sink.Port);
        c.TimeoutMs = 700;
        const Outcome o = Deliver(c);
        EXPECT_FALSE(o.Sent) << option;
        EXPECT_EQ(o.Message, text) << option;
        EXPECT_TRUE(sink.Message().isEmpty()) << option;
    }
}

TEST(MailClient, AServerThatTakesTheMessageSlowlyCannotHoldTheDialogueForEver)
{
    // It reads a little every tenth of a second: each step moves, the
    // whole never ends.
    SmtpSink sink({QStringLiteral("--slow-read")});
    ASSERT_GT(sink.Port, 0);
    QTemporaryDir files;
    const QString big = files.filePath(QStringLiteral("big.bin"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(12 * 1024 * 1024));
    }
    TMailClient c;
    Aim(c, sink.Port);
    c.Attachments = QStringList{big};
    c.TimeoutMs = 10000;
    c.DialogueTimeoutMs = 3000;
    QElapsedTimer clock;
    clock.start();
    const Outcome o = Deliver(c);
    EXPECT_FALSE(o.Sent);
    EXPECT_EQ(c.LastResult.Fault, TMailFault::TimedOut) << o.Message.toStdString();
    EXPECT_EQ(o.Message, QStringLiteral("Odosielanie cez server 127.0.0.1 trvalo dlhšie ako 3 s ! Správa nebola odoslaná."));
    EXPECT_LT(clock.elapsed(), 9000);
}

TEST(MailClient, ACompanyCaAddsToTheSystemsCertificates)
{
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    if (system.isEmpty())
        GTEST_SKIP() << "this machine has no system certificates";
    const QList<QSslCertificate> trusted = TSmtpDialogue::TlsConfiguration(ca.CaFile()).caCertificates();
    EXPECT_TRUE(trusted.contains(system.first()) && trusted.contains(system.last()))
        << "a relay with a public certificate stays trusted";
    EXPECT_TRUE(trusted.contains(QSslCertificate::fromPath(ca.CaFile()).value(0)));
}

TEST(MailClient, SendMailReturnsAtOnceAndTellsTheOutcomeLater)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    TMailSettings settings;
    settings.Host = QStringLiteral("127.0.0.1");
    settings.Port = sink.Port;
    settings.User = QStringLiteral("tester");
    settings.FromAdr = QStringLiteral("qdr@site.sk");
    QObject context;
    std::vector<TMailResult> results;
    const QString subject = QStringLiteral("Prekročenie limitu – Žilina");
    SendMail(settings, {QStringLiteral("jan@firma.sk")}, subject, QStringLiteral("Výkon 412 kW\nLimit 400 kW"),
             QString(), &context, [&](const TMailResult& r) { results.push_back(r); });
    EXPECT_TRUE(results.empty()) << "nothing waits inside the call";
    QElapsedTimer clock;
    clock.start();
    while (results.empty() && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].Sent) << results[0].Reason.toStdString();
    const QByteArray message = sink.Message();
    EXPECT_EQ(DecodeWords(QString::fromLatin1(message.mid(message.indexOf("Subject: "), 200))), subject);
    EXPECT_FALSE(message.contains("multipart")) << "no attachment, a plain message";

    // A refusal comes the same way, later.
    SendMail(settings, {QStringLiteral("bez zavinaca")}, subject, QString(), QString(), &context,
             [&](const TMailResult& r) { results.push_back(r); });
    EXPECT_EQ(results.size(), 1u);
    QCoreApplication::processEvents();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].Fault, TMailFault::Refused);
    EXPECT_TRUE(results[1].LocalFault());
}

TEST(MailTool, AMessageTooLargeIsRefusedWithExit2BeforeTheFileIsRead)
{
    REQUIRE_TOOL();
    TestCa ca;
    ASSERT_TRUE(ca.Ok) << ca.Error.toStdString();
    QTemporaryDir site;
    // 20 MB is 27 MB as base64: over the stated 25 MB of the plain dialogue.
    const QString big = site.filePath(QStringLiteral("big.bin"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(20 * 1024 * 1024));
    }
    SmtpSink plain;
    ASSERT_GT(plain.Port, 0);
    WriteFile(site, QStringLiteral("qdrwin.ini"),
              QStringLiteral("[MAIL]\nHost=127.0.0.1\nPort=%1\nUser=tester\nFromAdr=qdr@site.sk\nToAdr=jan@firma.sk\n")
                  .arg(plain.Port)
                  .toUtf8());
    const ToolRun tooBig = RunTool(site.path(), {"mail", "big.bin"});
    EXPECT_EQ(tooBig.Exit, 2) << tooBig.Text().toStdString();
    EXPECT_TRUE(tooBig.Err.contains(QStringLiteral("najviac 25,0 MB"))) << tooBig.Err.toStdString();
    EXPECT_EQ(plain.Connections(), 0);

    // A server that states its SIZE is held to it.
    SmtpSink sized(ca.SinkOptions() + QStringList{QStringLiteral("--starttls"), QStringLiteral("--size"),
                                                  QStringLiteral("50000")});
    ASSERT_GT(sized.Port, 0);
    WriteFile(site, QStringLiteral("small.bin"), QByteArray(60000, 'x'));
    WriteFile(site, QStringLiteral("qdrwin.ini"),
              QStringLiteral("[MAIL]\nHost=127.0.0.1\nPort=%1\nSecurity=starttls\nCAFile=%2\nUser=tester\n"
                             "FromAdr=qdr@site.sk\nToAdr=jan@firma.sk\n")
                  .arg(sized.Port)
                  .arg(ca.CaFile())
                  .toUtf8());
    const ToolRun overSize = RunTool(site.path(), {"mail", "small.bin"});
    EXPECT_EQ(overSize.Exit, 2) << overSize.Text().toStdString();
    EXPECT_TRUE(overSize.Err.contains(QStringLiteral("server 127.0.0.1 prijme najviac 48,8 kB")))
        << overSize.Err.toStdString();
    EXPECT_FALSE(sized.Wire().contains("MAIL FROM")) << sized.Wire().toStdString();
}
