// The alerts' mail at a local SMTP server: a failed mail is retried and
// logged; one mail per kind within MailInterval, the alerts held back in the
// meantime sent together when it ends, each with an RFC 2047 subject; a mail
// refused for good ends there; a server away for long costs no alert, and
// what waits at a stop is said.
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
    TEngine::TStall stall;
    stall.Stalled = true;
    stall.Month = 2026 * 12 + 11;
    stall.Record = 17;
    engine.DownloadWatch().SetStall(stall);
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

namespace {

// The alerts mailing through a sink started with options; every log line kept.
struct MailRig {
    explicit MailRig(const QStringList& sinkOptions)
        : Sink(sinkOptions)
    {
        Alerts.OnLog = [this](const QString& line) { Log << line; };
        Alerts.Apply(MailSettings(Sink.Port));
        Alerts.SetMayMail(true);
    }
    void Post(const QString& kind, const QString& text)
    {
        TAlert a;
        a.Kind = kind;
        a.At = QDateTime::currentDateTimeUtc();
        a.Text = text;
        Alerts.Mailer.Post(a);
    }
    QStringList Lines(const QString& start) const { return Log.filter(QRegularExpression(QLatin1Char('^') + start)); }

    SmtpSink Sink;
    QStringList Log;
    TAlerts Alerts; // last: it goes first, while the log it writes to is there
};

} // namespace

TEST(AlertMail, AMailRefusedForGoodEndsThereAndTheNextOnesStillGo)
{
    MailRig rig({QStringLiteral("--refuse-first"), QStringLiteral("1")});
    ASSERT_GT(rig.Sink.Port, 0);
    rig.Post(QStringLiteral("exceedance"), QStringLiteral("prvé"));
    ASSERT_TRUE(PumpUntil([&] { return !rig.Log.isEmpty(); }, 20000));
    EXPECT_TRUE(rig.Log[0].startsWith(QStringLiteral("alert-mail-failed kind=exceedance attempt=1 final=yes alerts=1 reason=")))
        << qPrintable(rig.Log[0]);
    // Another kind at once, the same kind once its interval is over: nothing
    // waits behind the refused one.
    rig.Post(QStringLiteral("link-lost"), QStringLiteral("druhé"));
    rig.Post(QStringLiteral("exceedance"), QStringLiteral("tretie"));
    ASSERT_TRUE(PumpUntil([&] { return rig.Sink.Count("msg-*.eml") == 2; }, 20000)) << qPrintable(rig.Log.join('\n'));
    EXPECT_EQ(Subject(rig.Sink.Message(1)), QStringLiteral("QDRWin Skúšobňa 2: regulátor neodpovedá"));
    EXPECT_TRUE(Body(rig.Sink.Message(2)).contains(QStringLiteral("tretie")));
    EXPECT_EQ(rig.Lines(QStringLiteral("alert-mail-failed")).size(), 1) << qPrintable(rig.Log.join('\n'));
}

TEST(AlertMail, AServerAwayForTwentyMinutesCostsNoAlertAndEachKindWaitsAsOneMail)
{
    MailRig rig({});
    ASSERT_GT(rig.Sink.Port, 0);
    // A second lasts 5 ms here: MailInterval=4 is 20 ms, the tries come
    // after 0.3, 0.6, 1.2, 2.4 and then every 4.5 s.
    rig.Alerts.Mailer.SecondMs = 5;
    rig.Sink.SetAway(true);
    QElapsedTimer clock;
    clock.start();
    rig.Post(QStringLiteral("link-lost"), QStringLiteral("spojenie stratené"));
    size_t most = 0;
    int exceedances = 0;
    // 20 minutes: a limit exceeded every 20 s, the link back after 10.
    while (clock.elapsed() < 20 * 60 * 5) {
        if (clock.elapsed() >= exceedances * 20 * 5) {
            rig.Post(QStringLiteral("exceedance"), QStringLiteral("limit %1").arg(++exceedances));
            if (exceedances == 30)
                rig.Post(QStringLiteral("link-restored"), QStringLiteral("spojenie obnovené"));
        }
        most = std::max(most, rig.Alerts.Mailer.Queued());
        Pump(5);
    }
    EXPECT_LE(most, 3u);
    EXPECT_EQ(rig.Sink.Count("msg-*.eml"), 0);
    EXPECT_GE(rig.Lines(QStringLiteral("alert-mail-failed")).size(), 4) << qPrintable(rig.Log.join('\n'));

    rig.Sink.SetAway(false);
    ASSERT_TRUE(PumpUntil([&] { return rig.Sink.Count("msg-*.eml") == 3; }, 30000)) << qPrintable(rig.Log.join('\n'));
    Pump(300);
    ASSERT_EQ(rig.Sink.Count("msg-*.eml"), 3);
    QStringList subjects;
    for (int n = 1; n <= 3; ++n)
        subjects << Subject(rig.Sink.Message(n));
    subjects.sort();
    EXPECT_EQ(subjects, (QStringList{QStringLiteral("QDRWin Skúšobňa 2: prekročený limit (%1×)").arg(exceedances),
                                     QStringLiteral("QDRWin Skúšobňa 2: regulátor neodpovedá"),
                                     QStringLiteral("QDRWin Skúšobňa 2: spojenie obnovené")}));
    // Each line names the kind it is about, with the alerts it carried.
    QStringList mailed = rig.Lines(QStringLiteral("alert-mailed"));
    for (QString& line : mailed)
        line = line.section(QLatin1Char(' '), 1, 2);
    mailed.sort();
    EXPECT_EQ(mailed, (QStringList{QStringLiteral("kind=exceedance alerts=%1").arg(exceedances), QStringLiteral("kind=link-lost alerts=1"),
                                   QStringLiteral("kind=link-restored alerts=1")}));
    for (const QString& line : rig.Lines(QStringLiteral("alert-mail-failed")))
        EXPECT_TRUE(line.contains(QRegularExpression(QStringLiteral("^alert-mail-failed kind=(link-lost|exceedance|link-restored) attempt=\\d+ retry="))))
            << qPrintable(line);
    EXPECT_TRUE(rig.Lines(QStringLiteral("alert-mail-dropped")).isEmpty());
    // The long mail lists the latest alerts and counts the rest.
    for (int n = 1; n <= 3; ++n) {
        const QString text = Body(rig.Sink.Message(n));
        if (!Subject(rig.Sink.Message(n)).contains(QStringLiteral("limit")))
            continue;
        const auto listed = [&](int k) { return text.contains(QRegularExpression(QStringLiteral("limit %1\\b").arg(k))); };
        const int first = exceedances - int(TAlertMailer::MaxListed) + 1;
        EXPECT_TRUE(listed(exceedances) && listed(first) && !listed(first - 1)) << qPrintable(text);
        EXPECT_TRUE(text.contains(QStringLiteral("nie sú vypísané: %1.").arg(first - 1))) << qPrintable(text);
    }

    // What waits when the process stops is said.
    rig.Sink.SetAway(true);
    rig.Post(QStringLiteral("exceedance"), QStringLiteral("ešte jedno"));
    rig.Post(QStringLiteral("exceedance"), QStringLiteral("a ešte jedno"));
    rig.Post(QStringLiteral("link-lost"), QStringLiteral("znova"));
    rig.Alerts.Stop();
    EXPECT_EQ(rig.Lines(QStringLiteral("alert-mail-unsent")),
              (QStringList{QStringLiteral("alert-mail-unsent kind=exceedance alerts=2"), QStringLiteral("alert-mail-unsent kind=link-lost alerts=1")}));
    Pump(500);
    EXPECT_EQ(rig.Sink.Count("msg-*.eml"), 3);
}
