// The mail client against a real local SMTP server (tests/support/smtp_sink.py):
// what arrives on the wire and in the stored message, each failure's
// message, the time-out, the refusal of fields that would break lines, and
// qdrtool mail on top of it.
#include "output/MailClient.h"
#include "support/SmtpSink.h"
#include "support/ToolRun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
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

TEST(MailClient, RefusedRecipientIsReportedWhileTheOthersGetTheMail)
{
    SmtpSink sink({QStringLiteral("--reject-rcpt"), QStringLiteral("zly@firma.sk")});
    ASSERT_GT(sink.Port, 0);
    TMailClient c;
    Aim(c, sink.Port);
    c.ToAddress = QStringList{QStringLiteral("zly@firma.sk"), QStringLiteral("Kopia: dobry@firma.sk")};
    const Outcome o = Deliver(c);
    EXPECT_TRUE(o.Sent);
    EXPECT_EQ(o.Successes, 1);
    EXPECT_EQ(o.Message, QStringLiteral("Neznámy príjemca \"zly@firma.sk\" !"));
    EXPECT_TRUE(sink.Wire().contains("RCPT TO:<zly@firma.sk>\r\nRCPT TO:<dobry@firma.sk>\r\n"));
    EXPECT_TRUE(sink.Message().contains("\r\nTo: zly@firma.sk,Kopia: dobry@firma.sk\r\n"));
    // Without attachments the message is a plain text one.
    EXPECT_TRUE(sink.Message().contains("\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n\r\n"));
}

TEST(MailClient, EachFailureEndsTheAttemptWithItsMessage)
{
    struct Case {
        const char* Name;
        QStringList Options;
        std::function<void(TMailClient&)> Spoil;
        QString Message;
        QByteArray Wire; // what the client sent, when it matters
    };
    const std::vector<Case> cases{
        {"no sender", {}, [](TMailClient& c) { c.FromAddress.clear(); }, "Chýba adresa odosielateľa !", "HELO tester\r\nQUIT\r\n"},
        {"no recipient", {}, [](TMailClient& c) { c.ToAddress = {" <> "}; }, "Chýba adresa príjemcu !", "HELO tester\r\nQUIT\r\n"},
        {"missing file", {}, [](TMailClient& c) { c.Attachments = {"/nonexistent/2026NOV.TXT"}; }, "CHYBA !", "HELO tester\r\nQUIT\r\n"},
        {"empty user", {}, [](TMailClient& c) { c.UserID.clear(); }, "Neznámy užívateľ !", "HELO \r\nQUIT\r\n"},
        {"DATA refused", {"--reject-data"}, [](TMailClient&) {}, "CHYBA !", {}},
        {"message refused", {"--reject-message"}, [](TMailClient&) {}, "Správa neodoslaná !", {}},
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
        if (!k.Wire.isEmpty()) {
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
    EXPECT_EQ(o.Message, QStringLiteral("CHYBA !")) << "a time-out raises no event";
    EXPECT_GE(ms, 650);
    EXPECT_LT(ms, 3000);
    EXPECT_GE(ticks, 8) << "events are processed while the client waits";
    EXPECT_EQ(sink.Connections(), 1);
    EXPECT_TRUE(sink.Wire().isEmpty()) << "nothing is sent before the greeting";
}

TEST(MailClient, FieldsThatWouldBreakLinesAreRefusedBeforeAnythingIsSent)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    const QString evil = QStringLiteral("x\r\nRCPT TO:<spy@elsewhere.sk>");
    const std::vector<std::function<void(TMailClient&)>> spoils{
        [&](TMailClient& c) { c.Subject = evil; },
        [&](TMailClient& c) { c.ToAddress = {"jan@firma.sk", evil}; },
        [&](TMailClient& c) { c.FromName = evil; },
        [&](TMailClient& c) { c.FromAddress = QStringLiteral("qdr@site.sk\n"); },
        [&](TMailClient& c) { c.UserID = evil; },
        [&](TMailClient& c) { c.Attachments = {QStringLiteral("a\r\nContent-Type: text/html")}; },
    };
    for (size_t i = 0; i < spoils.size(); ++i) {
        TMailClient c;
        Aim(c, sink.Port);
        spoils[i](c);
        const Outcome o = Deliver(c);
        EXPECT_FALSE(o.Sent) << i;
        EXPECT_TRUE(o.Message.contains(QStringLiteral("obsahuje koniec riadku"))) << i << o.Message.toStdString();
    }
    EXPECT_EQ(sink.Connections(), 0);

    // Spoiled after connecting: SendMail still sends no mail command.
    TMailClient c;
    Aim(c, sink.Port);
    ASSERT_TRUE(c.Connect());
    c.Subject = evil;
    EXPECT_FALSE(c.SendMail());
    EXPECT_FALSE(c.LastError.isEmpty());
    c.Disconnect();
    EXPECT_EQ(sink.Wire(), "HELO tester\r\nQUIT\r\n");
}

TEST(MailClient, TextBeyondAsciiIsDeclaredUtf8)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    const QString subject = QStringLiteral("Mesačný archív – november 2026, odberné miesto Žilina sever");
    const QString line = QStringLiteral("Spotreba: 1 234 kWh, ťažký mesiac");
    TMailClient c;
    Aim(c, sink.Port);
    c.Subject = subject;
    c.Body = QStringList{line};
    QTemporaryDir files;
    c.Attachments = QStringList{WriteFile(files, QStringLiteral("2026NOV.TXT"), "a\r\n")};
    ASSERT_TRUE(Deliver(c).Sent);

    // The sender's name is plain, so every encoded word is the subject's.
    const QByteArray message = sink.Message();
    const QByteArray head = message.left(message.indexOf("\r\nMime-Version: "));
    EXPECT_TRUE(head.contains("\r\nSubject: =?utf-8?B?")) << head.toStdString();
    EXPECT_EQ(DecodeWords(QString::fromLatin1(head)), subject);
    for (const QByteArray& l : head.split('\n'))
        EXPECT_LE(l.size(), 77) << "76 characters and the CR: " << l.toStdString();
    EXPECT_TRUE(message.contains("\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                                 line.toUtf8() + "\r\n--"));
    EXPECT_FALSE(message.contains("us-ascii"));
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
    EXPECT_TRUE(refused.Err.contains(QStringLiteral("Neznámy príjemca \"zly@firma.sk\" !")));

    WriteFile(site, QStringLiteral("qdrwin.ini"), "[MAIL]\nToAdr=jan@firma.sk\n");
    EXPECT_EQ(RunTool(site.path(), {"mail", "2026NOV.TXT"}).Exit, 2) << "no Host";
}
