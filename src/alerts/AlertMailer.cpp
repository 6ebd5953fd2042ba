#include "alerts/AlertMailer.h"

#include "core/LogLine.h"

#include <algorithm>

TAlertMailer::TAlertMailer()
{
    Release.setSingleShot(true);
    Release.callOnTimeout([this] { ReleaseHeld(); });
    Retry.setSingleShot(true);
    Retry.callOnTimeout([this] { SendNext(); });
}

TAlertMailer::~TAlertMailer() = default;

void TAlertMailer::Configure(const QStringList& to, uint32_t intervalSeconds, const QString& site, const QTimeZone& zone)
{
    To = to;
    IntervalMs = std::max<uint32_t>(1, intervalSeconds) * 1000u;
    Site = site;
    Zone = zone;
    if (To.isEmpty()) {
        // No recipients any more: nothing is held for them.
        for (auto& [kind, state] : Kinds)
            state.Held.clear();
        Release.stop();
    }
}

void TAlertMailer::Post(const TAlert& alert)
{
    if (To.isEmpty())
        return;
    TKindState& state = Kinds[alert.Kind];
    if (!state.Sent || state.Since.elapsed() >= IntervalMs) {
        state.Sent = true;
        state.Since.start();
        Enqueue(Compose({alert}));
        return;
    }
    state.Held.push_back(alert);
    const qint64 due = std::max<qint64>(0, qint64(IntervalMs) - state.Since.elapsed());
    if (!Release.isActive() || Release.remainingTime() > due)
        Release.start(int(std::min<qint64>(due, 0x7FFFFFFF)));
}

void TAlertMailer::ReleaseHeld()
{
    qint64 next = -1;
    for (auto& [kind, state] : Kinds) {
        if (state.Held.empty())
            continue;
        const qint64 left = qint64(IntervalMs) - state.Since.elapsed();
        if (left <= 0) {
            Enqueue(Compose(state.Held));
            state.Held.clear();
            state.Since.start();
        } else if (next < 0 || left < next) {
            next = left;
        }
    }
    if (next >= 0)
        Release.start(int(std::min<qint64>(next, 0x7FFFFFFF)));
}

TAlertMail TAlertMailer::Compose(const std::vector<TAlert>& alerts) const
{
    TAlertMail mail;
    mail.To = To;
    mail.Alerts = int(alerts.size());
    if (alerts.empty())
        return mail;
    const TAlert& first = alerts.front();
    mail.Kind = first.Kind;
    const QString where = Site.isEmpty() ? QStringLiteral("QDRWin") : QStringLiteral("QDRWin %1").arg(Site);
    mail.Subject = QStringLiteral("%1: %2").arg(where, first.Title());
    if (alerts.size() > 1)
        mail.Subject += QStringLiteral(" (%1×)").arg(alerts.size());
    for (const TAlert& a : alerts) {
        if (!mail.Body.isEmpty())
            mail.Body << QString();
        mail.Body << QStringLiteral("%1  %2").arg(AlertTime(a.At, Zone).left(19).replace(QLatin1Char('T'), QLatin1Char(' ')), a.Text);
        TLogLine figures(a.Kind);
        for (const auto& [key, value] : a.Fields)
            figures.Add(key, value);
        mail.Body << QStringLiteral("    ") + figures.Line();
    }
    if (!Site.isEmpty())
        mail.Body << QString() << QStringLiteral("Miesto: %1").arg(Site);
    return mail;
}

void TAlertMailer::Enqueue(TAlertMail mail)
{
    if (Queue.size() >= MaxQueued) {
        // The server has been away for long: the oldest message waiting (not
        // the one being sent) makes room, and the log says so.
        const auto oldest = Queue.begin() + (Sending ? 1 : 0);
        if (oldest != Queue.end()) {
            Log(TLogLine(QStringLiteral("alert-mail-dropped")).Add(QStringLiteral("kind"), oldest->Kind)
                    .Add(QStringLiteral("alerts"), oldest->Alerts).Add(QStringLiteral("reason"), QStringLiteral("queue full")).Line());
            Queue.erase(oldest);
        }
    }
    Queue.push_back(std::move(mail));
    if (!Sending && !Retry.isActive())
        SendNext();
}

void TAlertMailer::SendNext()
{
    if (Sending || Queue.empty())
        return;
    if (!Transport) {
        Log(TLogLine(QStringLiteral("alert-mail-failed")).Add(QStringLiteral("kind"), Queue.front().Kind)
                .Add(QStringLiteral("reason"), QStringLiteral("no mail transport")).Line());
        Queue.pop_front();
        return;
    }
    Sending = true;
    ++Attempt;
    std::weak_ptr<bool> alive = Alive;
    Transport(Queue.front(), [this, alive](const QString& error) {
        if (alive.expired())
            return;
        Sent(error);
    });
}

void TAlertMailer::Sent(const QString& error)
{
    if (!Sending || Queue.empty())
        return;
    Sending = false;
    const TAlertMail& mail = Queue.front();
    if (error.isEmpty()) {
        Log(TLogLine(QStringLiteral("alert-mailed")).Add(QStringLiteral("kind"), mail.Kind)
                .Add(QStringLiteral("alerts"), mail.Alerts).Add(QStringLiteral("attempt"), Attempt).Line());
        Queue.pop_front();
        Attempt = 0;
        SendNext();
        return;
    }
    // 1, 2, 4, 8 minutes, then every quarter of an hour.
    const int wait = std::min(FirstRetrySeconds << std::min(Attempt - 1, 4), 900);
    Log(TLogLine(QStringLiteral("alert-mail-failed")).Add(QStringLiteral("kind"), mail.Kind)
            .Add(QStringLiteral("attempt"), Attempt).Add(QStringLiteral("retry"), wait)
            .Add(QStringLiteral("reason"), error).Line());
    Retry.start(wait * 1000);
}

void TAlertMailer::RetryNow()
{
    if (Retry.isActive()) {
        Retry.stop();
        SendNext();
    }
}

void TAlertMailer::Log(const QString& line) const
{
    if (OnLog)
        OnLog(line);
}
