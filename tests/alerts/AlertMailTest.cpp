// The alerts' mail at a local SMTP server: a failed mail is retried and
// logged; one mail per kind within MailInterval, the alerts held back in the
// meantime sent together when it ends, each with an RFC 2047 subject.
#include "alerts/Alerts.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "support/Pump.h"
#include "support/SmtpSink.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace {

// The subject of a stored message, its encoded words decoded.
QString Subject(const QByteArray& message)
{
    const qsizetype at = message.indexOf("\r\nSubject: ");
    if (at < 0)
        return {};
    QByteArray field = message.mid(at + 11);
    // Up to the next line that does not continue the field.
    static const QRegularExpression next(QStringLiteral("\r\n[^ \t]"));
    field = field.left(QString::fromLatin1(field).indexOf(next));
    QByteArray text;
    static const QRegularExpression word(QStringLiteral("=\\?utf-8\\?B\\?([A-Za-z0-9+/=]*)\\?="));
    auto it = word.globalMatch(QString::fromLatin1(field));
    if (!it.hasNext())
        return QString::fromUtf8(field);
    while (it.hasNext())
        text += QByteArray::fromBase64(it.next().captured(1).toLatin1());
    return QString::fromUtf8(text);
}

// The body of a stored message as text: quoted-printable undone.
QString Body(const QByteArray& message)
{
    QByteArray body = message.mid(message.indexOf("\r\n\r\n") + 4);
    body.replace("=\r\n", "");
    QByteArray out;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body[i] == '=' && i + 2 < body.size()) {
            out += char(body.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += body[i];
        }
    }
    return QString::fromUtf8(out);
}

TSettings MailSettings(int port)
{
    TMIniFile ini(QStringLiteral("/nonexistent/none.ini"));
    ini.SetText(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:9\n[INE]\nMiesto=Skúšobňa 2\n[MAIL]\nHost=127.0.0.1\nPort=%1\n"
                               "User=tester\nFromAdr=qdr@site.sk\n[ALARMY]\nMail=vedenie@example.sk\nMailInterval=4\n")
                    .arg(port));
    return TSettings::Read(ini);
}

} // namespace

TEST(AlertMail, RetriedAfterAFailureThenOnePerKindAndTheHeldOnesTogether)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    int closed = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closed = probe.serverPort();
    }
    TSettings settings = MailSettings(closed);
    TEngine engine(settings, 0);
    TAlerts alerts;
    QStringList log;
    alerts.OnLog = [&](const QString& line) { log << line; };
    alerts.Apply(settings);
    alerts.SetMayMail(true);
    alerts.RegulatedPowerArrived(engine, 400, 300);
    const auto close = [&](uint16_t minutes, uint16_t power) {
        TClosedInterval c;
        c.Start = (uint32_t(2026 * 12 + 11) << 16) | minutes;
        c.Length = 900;
        c.LastElapsed = 899;
        c.AveragePower = power;
        alerts.IntervalClosed(engine, c);
    };

    // Nobody listens: the mail fails, is logged and waits for its retry.
    close(1440 + 600, 450);
    ASSERT_TRUE(PumpUntil([&] { return !log.isEmpty(); }, 20000));
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("alert-mail-failed kind=exceedance attempt=1 retry=60 reason="))) << qPrintable(log[0]);
    // The server named anew: tried at once.
    alerts.Apply(MailSettings(sink.Port));
    ASSERT_TRUE(PumpUntil([&] { return sink.Count("msg-*.eml") == 1; }, 20000)) << qPrintable(log.join('\n'));
    QElapsedTimer since;
    since.start();

    // Two more of the kind within the interval wait; another kind goes at once.
    close(1440 + 615, 460);
    close(1440 + 630, 470);
    engine.Stall.Stalled = true;
    engine.Stall.Month = 2026 * 12 + 11;
    engine.Stall.Record = 17;
    alerts.DownloadChanged(engine);
    ASSERT_TRUE(PumpUntil([&] { return sink.Count("msg-*.eml") == 2; }, 20000));
    Pump(1000);
    EXPECT_EQ(sink.Count("msg-*.eml"), 2) << "held back";
    ASSERT_TRUE(PumpUntil([&] { return sink.Count("msg-*.eml") == 3; }, 20000));
    EXPECT_GE(since.elapsed(), 3500) << "not before the interval ends";
    Pump(1500);
    EXPECT_EQ(sink.Count("msg-*.eml"), 3);

    const QByteArray first = sink.Message(1);
    EXPECT_EQ(Subject(first), QStringLiteral("QDRWin Skúšobňa 2: prekročený limit"));
    EXPECT_TRUE(first.contains("To: vedenie@example.sk")) << first.constData();
    EXPECT_EQ(Subject(sink.Message(2)), QStringLiteral("QDRWin Skúšobňa 2: sťahovanie archívu stojí"));
    const QByteArray held = sink.Message(3);
    EXPECT_EQ(Subject(held), QStringLiteral("QDRWin Skúšobňa 2: prekročený limit (2×)"));
    const QString text = Body(held);
    EXPECT_TRUE(text.contains(QStringLiteral("skončil na 460 kW")) && text.contains(QStringLiteral("power=470"))) << qPrintable(text);
    EXPECT_FALSE(text.contains(QStringLiteral("power=450")));
    EXPECT_TRUE(log.last().startsWith(QStringLiteral("alert-mailed kind=exceedance alerts=2"))) << qPrintable(log.join('\n'));
}
