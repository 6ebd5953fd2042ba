#include "alerts/AlertMailer.h"

#include "core/LogLine.h"

#include <algorithm>
#include <utility>

void TAlertMailer::TWaiting::Add(const TAlert& alert)
{
    Alerts.push_back(alert);
    while (Alerts.size() > MaxListed)
        Alerts.pop_front();
    ++Count;
}

void TAlertMailer::TWaiting::Prepend(TWaiting&& others)
{
    while (!others.Alerts.empty() && Alerts.size() < MaxListed) {
        Alerts.push_front(std::move(others.Alerts.back()));
        others.Alerts.pop_back();
    }
    Count += others.Count;
    Attempt = std::max(Attempt, others.Attempt);
}

TAlertMailer::TAlertMailer()
{
    Release.setSingleShot(true);
    Release.callOnTimeout([this] { Schedule(); });
    Retry.setSingleShot(true);
    Retry.callOnTimeout([this] { SendNext(); });
}

TAlertMailer::~TAlertMailer() = default;

void TAlertMailer::Configure(const QStringList& to, uint32_t intervalSeconds, const QString& site, const QTimeZone& zone)
{
    To = to;
    IntervalSeconds = std::max<uint32_t>(1, intervalSeconds);
    Site = site;
    Zone = zone;
    if (To.isEmpty())
        // No recipients any more: nothing waits for them.
        Unsent();
    else
        // A changed interval may free a kind that waits.
        Schedule();
}

void TAlertMailer::Post(const TAlert& alert)
{
    if (To.isEmpty())
        return;
    Kinds[alert.Kind].Waiting.Add(alert);
    Schedule();
}

void TAlertMailer::Schedule()
{
    const qint64 interval = qint64(IntervalSeconds) * SecondMs;
    qint64 next = -1;
    for (auto& [kind, state] : Kinds) {
        if (state.Due || state.Waiting.Count == 0)
            continue;
        // Alerts that come while their kind's message is under way wait for
        // its outcome.
        if (Sending && SendingKind == kind)
            continue;
        const qint64 left = state.Mailed ? interval - state.Since.elapsed() : 0;
        if (left <= 0) {
            state.Due = true;
            Order.push_back(kind);
        } else if (next < 0 || left < next) {
            next = left;
        }
    }
    if (next >= 0)
        Release.start(int(std::min<qint64>(next, 0x7FFFFFFF)));
    else
        Release.stop();
    if (!Sending && !Retry.isActive())
        SendNext();
}

TAlertMail TAlertMailer::Compose(const std::deque<TAlert>& alerts, int count) const
{
    TAlertMail mail;
    mail.To = To;
    mail.Alerts = count;
    if (alerts.empty())
        return mail;
    const TAlert& first = alerts.front();
    mail.Kind = first.Kind;
    const QString where = Site.isEmpty() ? QStringLiteral("QDRWin") : QStringLiteral("QDRWin %1").arg(Site);
    mail.Subject = QStringLiteral("%1: %2").arg(where, first.Title());
    if (count > 1)
        mail.Subject += QStringLiteral(" (%1×)").arg(count);
    if (count > int(alerts.size()))
        mail.Body << QStringLiteral("Starších upozornení tohto druhu, ktoré tu nie sú vypísané: %1.").arg(count - int(alerts.size()))
                  << QString();
    bool firstListed = true;
    for (const TAlert& a : alerts) {
        if (!std::exchange(firstListed, false))
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

void TAlertMailer::SendNext()
{
    while (!Sending && !Order.empty()) {
        SendingKind = Order.front();
        Order.pop_front();
        TKindState& state = Kinds[SendingKind];
        state.Due = false;
        InFlight = std::move(state.Waiting);
        state.Waiting = TWaiting{};
        ++InFlight.Attempt;
        Sending = true;
        if (!Transport) {
            Sent(QStringLiteral("no mail transport"), true);
            continue;
        }
        std::weak_ptr<bool> alive = Alive;
        Transport(Compose(InFlight.Alerts, InFlight.Count), [this, alive](const QString& error, bool final) {
            if (alive.expired())
                return;
            Sent(error, final);
        });
    }
}

void TAlertMailer::Sent(const QString& error, bool final)
{
    if (!Sending)
        return;
    Sending = false;
    TKindState& state = Kinds[SendingKind];
    TWaiting mail = std::move(InFlight);
    InFlight = TWaiting{};
    TLogLine line(error.isEmpty() ? QStringLiteral("alert-mailed") : QStringLiteral("alert-mail-failed"));
    line.Add(QStringLiteral("kind"), SendingKind);
    if (error.isEmpty() || final) {
        // Taken, or refused for good: either way the server answered, and the
        // kind's interval starts.
        if (error.isEmpty())
            line.Add(QStringLiteral("alerts"), mail.Count).Add(QStringLiteral("attempt"), mail.Attempt);
        else
            line.Add(QStringLiteral("attempt"), mail.Attempt).Add(QStringLiteral("final"), QStringLiteral("yes"))
                .Add(QStringLiteral("alerts"), mail.Count).Add(QStringLiteral("reason"), error);
        Log(line.Line());
        Failures = 0;
        state.Mailed = true;
        state.Since.start();
        Schedule();
        return;
    }
    // 1, 2, 4, 8 minutes, then every quarter of an hour; the kind goes to
    // the end of the line with what came meanwhile, so a message the server
    // will not take today holds up no other kind for long.
    ++Failures;
    const int wait = std::min(FirstRetrySeconds << std::min(Failures - 1, 4), LastRetrySeconds);
    line.Add(QStringLiteral("attempt"), mail.Attempt).Add(QStringLiteral("retry"), wait).Add(QStringLiteral("reason"), error);
    Log(line.Line());
    state.Waiting.Prepend(std::move(mail));
    if (To.isEmpty())
        // The recipients went while it was under way.
        return Unsent();
    Retry.start(wait * SecondMs);
    if (!state.Due) {
        state.Due = true;
        Order.push_back(SendingKind);
    }
}

void TAlertMailer::RetryNow()
{
    if (Retry.isActive()) {
        Retry.stop();
        SendNext();
    }
}

size_t TAlertMailer::Queued() const
{
    size_t n = Sending ? 1 : 0;
    for (const auto& [kind, state] : Kinds)
        if (state.Waiting.Count > 0)
            ++n;
    return n;
}

void TAlertMailer::Stop()
{
    if (Sending) {
        // Not known to be taken: it counts as waiting, and its callback is
        // forgotten with the marker.
        Kinds[SendingKind].Waiting.Prepend(std::move(InFlight));
        InFlight = TWaiting{};
        Sending = false;
        Alive = std::make_shared<bool>(true);
    }
    Unsent();
}

void TAlertMailer::Unsent()
{
    // A message under way is left to end and tell its outcome.
    for (auto& [kind, state] : Kinds) {
        if (state.Waiting.Count > 0)
            Log(TLogLine(QStringLiteral("alert-mail-unsent")).Add(QStringLiteral("kind"), kind)
                    .Add(QStringLiteral("alerts"), state.Waiting.Count).Line());
        state.Waiting = TWaiting{};
        state.Due = false;
    }
    Order.clear();
    Release.stop();
    Retry.stop();
    Failures = 0;
}

void TAlertMailer::Log(const QString& line) const
{
    if (OnLog)
        OnLog(line);
}
