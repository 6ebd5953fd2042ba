#include "alerts/Alerts.h"

#include "app/Engine.h"
#include "core/LittleEndian.h"
#include "core/LogLine.h"
#include "core/TextFunctions.h"
#include "output/MailMessage.h"
#include "output/SmtpDialogue.h"
#include "output/RecordClock.h"
#include "regulator/SiteMeasurement.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Closed intervals are matched with their archive record for this long.
constexpr qint64 ClosedKeptMs = 3 * 3600 * 1000;
// Two days of quarter hours: an outage that long is still judged whole.
constexpr size_t ClosedKept = 192;
constexpr qint64 DayMs = 24 * 3600 * 1000;

QString Kw(double value) { return QString::number(value, 'f', 1); }

// "1 prázdny záznam", "3 prázdne záznamy", "7 prázdnych záznamov".
QString Count(int n, const char* one, const char* few, const char* many)
{
    const char* word = n == 1 ? one : n >= 2 && n <= 4 ? few : many;
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromUtf8(word));
}

// A record the regulator filed without values: a time of 0 with values of
// 65535 (no supply in that interval), or an erased slot (every byte 0xFF).
// A position of the file that holds no record at all reads as zeros.
bool EmptyRecord(const uint8_t* record, uint16_t size)
{
    const uint16_t time = GetWord(record);
    if (time == 0xFFFF)
        return true;
    if (time != 0)
        return false;
    return std::any_of(record + 2, record + size, [](uint8_t b) { return b != 0; });
}

// The site's power in a record (kW), or -1 when it holds none.
int RecordPower(const uint8_t* record, uint16_t size)
{
    const uint16_t v = SitePower(record, size);
    return v == NoSiteValue ? -1 : v;
}

// An interval's key (month << 16 | minutes into the month, the 1st's
// midnight at 1440) as minutes on one line across months; -1 when it names
// no day.
int64_t KeyMinutes(uint32_t key)
{
    const uint16_t month = uint16_t(key >> 16);
    const uint32_t minutes = key & 0xFFFFu;
    const QDate date(month / 12, month % 12 + 1, int(minutes / 1440));
    return date.isValid() ? date.toJulianDay() * 1440 + minutes % 1440 : -1;
}

uint32_t MinutesKey(int64_t minutes)
{
    const QDate date = QDate::fromJulianDay(minutes / 1440);
    return uint32_t(date.year() * 12 + date.month() - 1) << 16 | uint32_t(date.day() * 1440 + minutes % 1440);
}

QString Hhmm(const QDateTime& t) { return t.isValid() ? t.toString(QStringLiteral("d.M. HH:mm")) : QStringLiteral("?"); }

} // namespace

TAlerts::TAlerts()
{
    LinkTimer.setSingleShot(true);
    LinkTimer.callOnTimeout([this] { LinkLost(); });
    Mailer.OnLog = [this](const QString& line) {
        if (OnLog)
            OnLog(line);
    };
    // The asynchronous send of output's SMTP client: a short message, no
    // file; it ends (unanswered) with MailContext.
    MailContext = std::make_unique<QObject>();
    Mailer.Transport = [this](const TAlertMail& mail, TAlertMailer::TDone done) {
        SendMail(MailServer, mail.To, mail.Subject, mail.Body.join(QLatin1Char('\n')), QString(), MailContext.get(),
                 [done](const TMailResult& result) {
                     done(result.Sent ? QString() : result.Reason.isEmpty() ? QStringLiteral("not sent") : result.Reason,
                          result.Permanent());
                 });
    };
    HostClock.Start();
    ExpiryTimer.setInterval(60000);
    ExpiryTimer.callOnTimeout([this] { Expire(); });
    ExpiryTimer.start();
}

TAlerts::~TAlerts()
{
    Follow(nullptr);
}

void TAlerts::Follow(TEngine* engine)
{
    if (Followed)
        Followed->RemoveObserver(this);
    Followed = engine;
    if (!engine)
        return;
    engine->AddObserver(this);
    if (engine->ValuePregV->IsValid() && engine->ValuePregN->IsValid())
        Limits = {engine->ValuePregV->GetValue(), engine->ValuePregN->GetValue()};
    if (engine->Link().State != TEngine::TLinkState::Starting)
        LinkChanged(*engine);
    // A stall of the engine before is no stall of this one.
    if (WasStalled && !engine->Stall().Stalled)
        DownloadChanged(*engine);
}

void TAlerts::Apply(const TSettings& settings)
{
    const TMailSettings& m = settings.Mail;
    const bool mailChanged = m.Host != MailServer.Host || m.Port != MailServer.Port || m.User != MailServer.User ||
        m.FromAdr != MailServer.FromAdr || m.Security != MailServer.Security || m.Login != MailServer.Login ||
        m.Password != MailServer.Password || m.CAFile != MailServer.CAFile || settings.Alerts.Mail != Settings.Mail;
    Settings = settings.Alerts;
    MailServer = settings.Mail;
    Site = settings.Miesto;
    Zone = ZoneByName(settings.TimeZone);
    if (!Zone.isValid()) {
        Zone = QTimeZone::systemTimeZone();
        Log(TLogLine(QStringLiteral("alert-config")).Add(QStringLiteral("reason"),
                QStringLiteral("INE TimeZone=%1 is no zone this system knows; the system's zone is used").arg(settings.TimeZone)).Line());
    }
    if (!Settings.Enabled(TAlertSettings::Link))
        LinkTimer.stop();
    else if (LinkDown && !LinkLostRaised)
        LinkLost();
    ConfigureMail();
    if (mailChanged)
        Mailer.RetryNow();
}

void TAlerts::Stop()
{
    Mailer.Stop();
    // The dialogue under way goes with its context, unanswered.
    MailContext = std::make_unique<QObject>();
}

void TAlerts::SetMayMail(bool may)
{
    if (may == FMayMail)
        return;
    FMayMail = may;
    ConfigureMail();
}

void TAlerts::ConfigureMail()
{
    QStringList to;
    for (const QString& entry : FMayMail ? Settings.Mail : QStringList()) {
        if (MailValidAddress(MailRecipientAddress(entry)))
            to << entry;
        else
            Log(TLogLine(QStringLiteral("alert-config")).Add(QStringLiteral("reason"),
                    QStringLiteral("ALARMY Mail: %1 is no mail address; it gets no alerts").arg(entry)).Line());
    }
    if (!to.isEmpty()) {
        QString problem = MailServer.Problem;
        if (problem.isEmpty() && MailServer.Host.trimmed().isEmpty())
            problem = QStringLiteral("ALARMY Mail is set but MAIL Host is not");
        if (!problem.isEmpty()) {
            Log(TLogLine(QStringLiteral("alert-config")).Add(QStringLiteral("reason"), problem + QStringLiteral("; no alert is mailed")).Line());
            to.clear();
        }
    }
    Mailer.Configure(to, Settings.MailInterval, Site, Zone);
}

void TAlerts::Log(const QString& line) const
{
    if (OnLog)
        OnLog(line);
}

void TAlerts::Raise(TAlert alert)
{
    alert.At = Now();
    alert.Site = Site;
    alert.Group = TAlertSettings::KindOf(alert.Kind);
    if (OnAlert)
        OnAlert(alert);
    if (FMayMail)
        Mailer.Post(alert);
    Hold(alert);
}

namespace {
bool Condition(const QString& kind)
{
    return kind == QLatin1String("link-lost") || kind == QLatin1String("archive-stalled") ||
        kind == QLatin1String("projected-exceedance") || kind == QLatin1String("clock-drift");
}
bool Event(const QString& kind)
{
    return kind == QLatin1String("exceedance") || kind == QLatin1String("interval-corrected") ||
        kind == QLatin1String("records-lost") || kind == QLatin1String("archive-gap");
}
} // namespace

void TAlerts::Hold(const TAlert& alert)
{
    if (!Condition(alert.Kind) && !Event(alert.Kind))
        return;
    // A condition said again replaces what it said before.
    if (Condition(alert.Kind))
        std::erase_if(FInForce, [&](const TAlert& a) { return a.Kind == alert.Kind; });
    FInForce.push_back(alert);
    while (FInForce.size() > InForceMax)
        FInForce.pop_front();
    if (OnInForceChanged)
        OnInForceChanged();
}

void TAlerts::End(const QString& kind)
{
    if (std::erase_if(FInForce, [&](const TAlert& a) { return a.Kind == kind; }) && OnInForceChanged)
        OnInForceChanged();
}

void TAlerts::Expire()
{
    const QDateTime now = Now();
    const auto old = [&](const TAlert& a) { return Event(a.Kind) && a.At.secsTo(now) >= EventKeptSeconds; };
    if (std::erase_if(FInForce, old) && OnInForceChanged)
        OnInForceChanged();
}

QDateTime TAlerts::RegulatorTime(uint16_t month, uint32_t minutes, int64_t seconds) const
{
    const QDate date(month / 12, month % 12 + 1, int(minutes / 1440));
    if (!date.isValid())
        return {};
    const uint32_t inDay = minutes % 1440;
    return QDateTime(date, QTime(int(inDay / 60), int(inDay % 60)), Zone).addSecs(seconds);
}

// ---------------------------------------------------------------- the limit

void TAlerts::RegulatedPowerArrived(const TEngine&, uint16_t vt, uint16_t nt)
{
    Limits = {vt, nt};
}

void TAlerts::LiveArrived(const TEngine& e, uint8_t block)
{
    if ((block == 2 || block == 5) && e.ValueTa->IsValid()) {
        TariffKnown = true;
        Tariff = e.ValueTa->Index ? 1 : 0;
    }
    CheckLost(e);
    if (block == 5)
        return;
    Project(e);
    JudgeClock(e);
    ScanPeak(e);
}

void TAlerts::SetStanding(bool standing)
{
    if (!standing)
        End(QStringLiteral("projected-exceedance"));
    if (Current.Standing == standing)
        return;
    Current.Standing = standing;
    if (OnDanger)
        OnDanger(standing);
}

TAlert TAlerts::ProjectionAlert(const QString& kind, const QString& headline, const TProjection& p) const
{
    TAlert a;
    a.Kind = kind;
    a.Add(QStringLiteral("interval"), AlertTime(p.Start, Zone))
        .Add(QStringLiteral("projected"), Kw(p.Projected))
        .Add(QStringLiteral("limit"), p.Limit)
        .Add(QStringLiteral("tariff"), TariffName(p.Tariff))
        .Add(QStringLiteral("elapsed"), p.Elapsed);
    a.Text = QStringLiteral("%1: interval od %2 smeruje k %3 kW, limit %4 je %5 kW")
                 .arg(headline, p.Start.toString(QStringLiteral("HH:mm")), QString::number(std::lround(p.Projected)),
                      TariffName(p.Tariff))
                 .arg(p.Limit);
    return a;
}

void TAlerts::Project(const TEngine& e)
{
    const TEngine::TLiveInterval& run = e.RunningInterval();
    if (!run.Valid) {
        FProjection.Valid = false;
        return;
    }
    const uint32_t key = uint32_t(run.Month) << 16 | run.Start;
    if (Unclosed.Key != 0 && key != Unclosed.Key)
        Unseen(key);
    Unclosed.Key = key;
    Unclosed.Tariff = Tariff;
    Unclosed.Minutes = uint16_t(std::max<int>(1, e.InterfaceME->IntervalMinutes));
    if (key != Current.Key) {
        SetStanding(false);
        Current = TCurrent{};
        Current.Key = key;
    }
    TProjection p;
    p.Start = RegulatorTime(run.Month, run.Start);
    p.Elapsed = run.Elapsed;
    p.Length = static_cast<uint16_t>(std::max<int>(1, e.InterfaceME->IntervalMinutes) * 60);
    p.Average = run.Average;
    p.Power = e.InterfaceME->Power->GetValue();
    p.Projected = ProjectedIntervalPower(p.Average, p.Power, p.Elapsed, p.Length, Settings.Reading);
    p.Tariff = Tariff;
    p.Limit = Limits[Tariff];
    // 0 and 65535 are no limit a regulator regulates to.
    p.Valid = TariffKnown && p.Limit != 0 && p.Limit != 0xFFFF && e.InterfaceME->Power->IsValid();
    p.Threshold = std::max(0, int(p.Limit) - int(Settings.Reserve));
    p.Above = p.Valid && p.Projected > p.Threshold;
    FProjection = p;

    // The first seconds of an interval project the instantaneous power
    // alone, and a motor starting would cry wolf: nothing is judged before
    // Najskor, and an excess must be seen in two replies in a row.
    if (!p.Valid || p.Elapsed < Settings.Earliest) {
        Current.Above = 0;
        return;
    }
    if (p.Above) {
        if (Current.Above < 255)
            ++Current.Above;
        if (!Current.Alerted && Current.Above >= 2 && Settings.Enabled(TAlertSettings::Projected)) {
            Current.Alerted = true;
            SetStanding(true);
            TAlert a = ProjectionAlert(QStringLiteral("projected-exceedance"), QStringLiteral("Hrozí prekročenie limitu"), p);
            if (Settings.Reserve)
                a.Text += QStringLiteral(" (rezerva %1 kW)").arg(Settings.Reserve);
            a.Text += QLatin1Char('.');
            Raise(a);
        }
        return;
    }
    Current.Above = 0;
    // A projection hovering at the threshold does not clear and return: it
    // clears only once it is clearly below.
    const double hysteresis = std::max(1.0, 0.01 * p.Limit);
    if (Current.Standing && p.Projected < p.Threshold - hysteresis) {
        SetStanding(false);
        TAlert a = ProjectionAlert(QStringLiteral("projected-cleared"), QStringLiteral("Hrozba prekročenia pominula"), p);
        a.Text += QLatin1Char('.');
        Raise(a);
    }
}

void TAlerts::KeepClosed(const TClosed& closed)
{
    // An interval is judged once.
    if (std::any_of(Closed.begin(), Closed.end(), [&](const TClosed& c) { return c.Key == closed.Key; }))
        return;
    while (!Closed.empty() && (Closed.size() >= ClosedKept || Closed.front().Since.elapsed() > ClosedKeptMs))
        Closed.pop_front();
    Closed.push_back(closed);
}

void TAlerts::Unseen(uint32_t key)
{
    const int64_t from = KeyMinutes(Unclosed.Key);
    const int64_t to = KeyMinutes(key);
    const int64_t step = Unclosed.Minutes;
    // A regulator clock set back ended nothing.
    if (from < 0 || to <= from)
        return;
    // Of a longer outage, the latest ones.
    const int64_t skipped = std::max<int64_t>(0, (to - from) / step - int64_t(ClosedKept));
    for (int64_t m = from + skipped * step; m < to; m += step) {
        TClosed c;
        c.Key = MinutesKey(m);
        // The tariff and limit as last reported before the outage.
        c.Tariff = Unclosed.Tariff;
        c.Limit = Limits[c.Tariff];
        c.Since.start();
        KeepClosed(c);
    }
}

void TAlerts::IntervalClosed(const TEngine&, const TClosedInterval& c)
{
    SetStanding(false);
    Current = TCurrent{};
    if (c.Start == Unclosed.Key)
        Unclosed.Key = 0;
    TClosed closed;
    closed.Key = c.Start;
    closed.Power = c.AveragePower;
    closed.Tariff = c.Tariff ? 1 : 0;
    closed.Limit = Limits[closed.Tariff];
    // A reading long before the end (replies missed near it) is no result:
    // the archive record decides then.
    closed.Complete = uint32_t(c.LastElapsed) + std::max<uint32_t>(10, c.Length / 10) >= c.Length;
    closed.Since.start();
    KeepClosed(closed);
    if (!closed.Complete || closed.Limit == 0 || closed.Limit == 0xFFFF || closed.Power <= closed.Limit ||
        !Settings.Enabled(TAlertSettings::Exceedance))
        return;
    const QDateTime start = RegulatorTime(uint16_t(c.Start >> 16), c.Start & 0xFFFFu);
    TAlert a;
    a.Kind = QStringLiteral("exceedance");
    a.Add(QStringLiteral("interval"), AlertTime(start, Zone))
        .Add(QStringLiteral("power"), closed.Power)
        .Add(QStringLiteral("limit"), closed.Limit)
        .Add(QStringLiteral("excess"), closed.Power - closed.Limit);
    a.Text = QStringLiteral("Prekročený limit: interval od %1 skončil na %2 kW, limit %3 je %4 kW, o %5 kW viac.")
                 .arg(start.toString(QStringLiteral("HH:mm")))
                 .arg(closed.Power)
                 .arg(TariffName(closed.Tariff))
                 .arg(closed.Limit)
                 .arg(closed.Power - closed.Limit);
    Raise(a);
}

// ----------------------------------------------------------------- the link

void TAlerts::LinkChanged(const TEngine& e)
{
    if (e.Link().State == TEngine::TLinkState::Down) {
        if (LinkDown)
            return;
        LinkDown = true;
        LinkLostRaised = false;
        LinkSince = e.Link().Since;
        LinkReason = e.LinkReason();
        FProjection.Valid = false;
        SetStanding(false);
        LinkClock.start();
        // Nothing judges the clock without replies.
        End(QStringLiteral("clock-drift"));
        ClockOffsets.clear();
        if (Settings.Enabled(TAlertSettings::Link))
            LinkTimer.start(int(Settings.LinkSeconds) * 1000);
        return;
    }
    if (e.Link().State != TEngine::TLinkState::Up)
        return;
    LinkTimer.stop();
    End(QStringLiteral("link-lost"));
    const bool raised = LinkDown && LinkLostRaised;
    LinkDown = false;
    LinkLostRaised = false;
    if (!raised || !Settings.Enabled(TAlertSettings::Link))
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const int64_t down = LinkSince.isValid() ? LinkSince.secsTo(now) : 0;
    TAlert a;
    a.Kind = QStringLiteral("link-restored");
    a.Add(QStringLiteral("since"), AlertTime(LinkSince, Zone)).Add(QStringLiteral("down"), down);
    a.Text = QStringLiteral("Spojenie s regulátorom je obnovené po výpadku %1.").arg(AlertDuration(down));
    Raise(a);
}

void TAlerts::LinkLost()
{
    if (!LinkDown || LinkLostRaised || !Settings.Enabled(TAlertSettings::Link))
        return;
    // After a reload that shortened Spojenie the outage may already be
    // long enough; otherwise the rest of it is waited for.
    const qint64 left = qint64(Settings.LinkSeconds) * 1000 - (LinkClock.isValid() ? LinkClock.elapsed() : 0);
    if (left > 0) {
        LinkTimer.start(int(left));
        return;
    }
    LinkLostRaised = true;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const int64_t down = LinkSince.isValid() ? LinkSince.secsTo(now) : 0;
    TAlert a;
    a.Kind = QStringLiteral("link-lost");
    a.Add(QStringLiteral("since"), AlertTime(LinkSince, Zone))
        .Add(QStringLiteral("down"), down)
        .Add(QStringLiteral("reason"), LinkReason.isEmpty() ? QStringLiteral("no reply") : LinkReason);
    a.Text = QStringLiteral("Regulátor neodpovedá od %1 (%2).")
                 .arg(LinkSince.toTimeZone(Zone).toString(QStringLiteral("d.M. HH:mm:ss")), AlertDuration(down));
    Raise(a);
}

void TAlerts::ExchangeEnded(const TEngine& e, uint8_t code)
{
    // While the link is down, the reason the alert gives is the latest one.
    if (LinkDown && code != 0)
        LinkReason = e.LinkReason();
}

void TAlerts::Silenced(const TEngine&)
{
    FProjection.Valid = false;
    SetStanding(false);
    Current = TCurrent{};
}

// ------------------------------------------------------- the regulator's clock

void TAlerts::JudgeClock(const TEngine& e)
{
    if (!Settings.Enabled(TAlertSettings::ClockDrift) || !HostClock.Trusted()) {
        ClockOffsets.clear();
        return;
    }
    // Said once a day at most; while said, the readings go on to find when
    // the clock is right again.
    const bool drifting = std::any_of(FInForce.begin(), FInForce.end(),
                                      [](const TAlert& a) { return a.Kind == QLatin1String("clock-drift"); });
    const bool saidToday = ClockAlerted && ClockAlertedAt.elapsed() < DayMs;
    if (saidToday && !drifting)
        return;
    const TEngine::TLiveInterval& run = e.RunningInterval();
    if (!run.Valid)
        return;
    // The regulator stamps its replies to the minute only; the interval's
    // start plus its own seconds into the interval is its time to the second.
    const QDateTime regulator = RegulatorTime(run.Month, run.Start, run.Elapsed);
    if (!regulator.isValid())
        return;
    const QDateTime host = QDateTime::currentDateTimeUtc();
    // Around a change of the zone's offset a regulator's reading names an
    // hour twice or not at all: not judged then.
    if (Zone.offsetFromUtc(host.addSecs(-7200)) != Zone.offsetFromUtc(host.addSecs(7200))) {
        ClockOffsets.clear();
        return;
    }
    ClockOffsets.push_back(host.secsTo(regulator));
    while (ClockOffsets.size() > ClockSamples)
        ClockOffsets.pop_front();
    if (ClockOffsets.size() < ClockSamples)
        return;
    // Every reading of the last few, one way: a single odd reply is no drift.
    const int64_t limit = Settings.ClockSeconds;
    const bool ahead = std::all_of(ClockOffsets.begin(), ClockOffsets.end(), [&](int64_t o) { return o > limit; });
    const bool behind = std::all_of(ClockOffsets.begin(), ClockOffsets.end(), [&](int64_t o) { return o < -limit; });
    if (std::all_of(ClockOffsets.begin(), ClockOffsets.end(), [&](int64_t o) { return std::abs(o) <= limit; }))
        End(QStringLiteral("clock-drift"));
    if ((!ahead && !behind) || saidToday)
        return;
    std::vector<int64_t> sorted(ClockOffsets.begin(), ClockOffsets.end());
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const int64_t offset = sorted[sorted.size() / 2];
    ClockAlerted = true;
    ClockAlertedAt.start();
    ClockOffsets.clear();
    TAlert a;
    a.Kind = QStringLiteral("clock-drift");
    a.Add(QStringLiteral("regulator"), AlertTime(host.addSecs(offset), Zone))
        .Add(QStringLiteral("host"), AlertTime(host, Zone))
        .Add(QStringLiteral("offset"), offset);
    a.Text = QStringLiteral("Hodiny regulátora idú o %1 %2 oproti hodinám počítača.")
                 .arg(AlertDuration(offset), offset > 0 ? QStringLiteral("popredu") : QStringLiteral("pozadu"));
    Raise(a);
}

// ---------------------------------------------------------------- the archive

void TAlerts::CheckLost(const TEngine& e)
{
    if (!e.GridAr->IsValid())
        return;
    const uint16_t month = e.GridAr->Months[1];
    const uint16_t lost = e.GridAr->Lost;
    if (!LostKnown) {
        // What was lost before this process started is no news.
        LostKnown = true;
        LostMonth = month;
        LostCount = lost;
        return;
    }
    int added = 0;
    if (month == LostMonth && lost > LostCount)
        added = lost - LostCount;
    else if (month > LostMonth && lost > 0)
        added = lost; // the month turned and the new older month lost some
    LostMonth = month;
    LostCount = lost;
    if (added <= 0 || !Settings.Enabled(TAlertSettings::RecordsLost))
        return;
    TAlert a;
    a.Kind = QStringLiteral("records-lost");
    a.Add(QStringLiteral("month"), MonthText(month)).Add(QStringLiteral("count"), added).Add(QStringLiteral("total"), lost);
    a.Text = QStringLiteral("Regulátor už nemá %1 mesiaca %2 (spolu %3); archív sa nestihol stiahnuť.")
                 .arg(Count(added, "záznam", "záznamy", "záznamov"), MonthText(month))
                 .arg(lost);
    Raise(a);
}

void TAlerts::DownloadChanged(const TEngine& e)
{
    const bool stalled = e.Stall().Stalled;
    const bool started = stalled && !WasStalled;
    WasStalled = stalled;
    if (!stalled)
        End(QStringLiteral("archive-stalled"));
    if (!started || !Settings.Enabled(TAlertSettings::ArchiveStalled))
        return;
    const QString reason = e.StallReason();
    TAlert a;
    a.Kind = QStringLiteral("archive-stalled");
    a.Add(QStringLiteral("month"), MonthText(e.Stall().Month)).Add(QStringLiteral("record"), e.Stall().Record).Add(QStringLiteral("reason"), reason);
    a.Text = QStringLiteral("Sťahovanie archívu stojí: %1.").arg(e.StallText());
    Raise(a);
}

void TAlerts::RecordsFiled(const TEngine& e, uint16_t month, uint16_t first, uint16_t count)
{
    auto* file = dynamic_cast<TFileArch*>(e.Archive->Current());
    if (!file || file->Month() != month)
        return;
    const uint16_t size = file->RecordSize();
    for (uint32_t index = first; index < uint32_t(first) + count && index <= 0xFFFF; ++index) {
        const uint32_t position = index - 1 + file->Shift();
        const uint8_t* record = position <= 0xFFFF ? file->Get(size, uint16_t(position)) : nullptr;
        if (!record || size < 4)
            continue;
        if (EmptyRecord(record, size)) {
            if (Gap.Open && Gap.Month == month && index == uint32_t(Gap.Last) + 1) {
                Gap.Last = uint16_t(index);
                continue;
            }
            CloseGap();
            Gap.Open = true;
            Gap.Month = month;
            Gap.First = Gap.Last = uint16_t(index);
            const uint8_t* before = position > 0 ? file->Get(size, uint16_t(position - 1)) : nullptr;
            Gap.Before = before && !EmptyRecord(before, size) ? GetWord(before) : 0;
            continue;
        }
        if (Gap.Open)
            CloseGap();
        const uint32_t key = uint32_t(month) << 16 | GetWord(record);
        const auto closed = std::find_if(Closed.begin(), Closed.end(), [&](const TClosed& c) { return c.Key == key; });
        if (closed == Closed.end())
            continue;
        const TClosed c = *closed;
        Closed.erase(closed);
        const int power = RecordPower(record, size);
        if (power < 0 || c.Limit == 0 || c.Limit == 0xFFFF || !Settings.Enabled(TAlertSettings::Exceedance))
            continue;
        const QDateTime start = RegulatorTime(month, GetWord(record));
        if (!c.Complete) {
            // The live readings missed the interval's end; the record is its
            // result.
            if (power <= c.Limit)
                continue;
            TAlert a;
            a.Kind = QStringLiteral("exceedance");
            a.Add(QStringLiteral("interval"), AlertTime(start, Zone))
                .Add(QStringLiteral("power"), power)
                .Add(QStringLiteral("limit"), c.Limit)
                .Add(QStringLiteral("excess"), power - c.Limit);
            a.Text = QStringLiteral("Prekročený limit: interval od %1 skončil podľa archívu na %2 kW, limit %3 je %4 kW, o %5 kW viac.")
                         .arg(start.toString(QStringLiteral("HH:mm")))
                         .arg(power)
                         .arg(TariffName(c.Tariff))
                         .arg(c.Limit)
                         .arg(power - c.Limit);
            Raise(a);
            continue;
        }
        if (std::abs(power - int(c.Power)) <= 0.02 * std::max(power, 1))
            continue;
        TAlert a;
        a.Kind = QStringLiteral("interval-corrected");
        a.Add(QStringLiteral("interval"), AlertTime(start, Zone))
            .Add(QStringLiteral("power"), power)
            .Add(QStringLiteral("live"), c.Power)
            .Add(QStringLiteral("limit"), c.Limit)
            .Add(QStringLiteral("excess"), std::max(0, power - int(c.Limit)));
        a.Text = QStringLiteral("Archív opravuje interval od %1: %2 kW (naživo %3 kW), limit %4 je %5 kW%6.")
                     .arg(start.toString(QStringLiteral("HH:mm")))
                     .arg(power)
                     .arg(c.Power)
                     .arg(TariffName(c.Tariff))
                     .arg(c.Limit)
                     .arg(power > c.Limit ? QStringLiteral(", prekročený o %1 kW").arg(power - c.Limit)
                                          : QStringLiteral(", neprekročený"));
        Raise(a);
    }
    // A run at the end of what was asked for is whole once nothing more of
    // the month is pending.
    if (Gap.Open && Gap.Month == month && (e.Archive->RequestCount == 0 || e.Archive->RequestMonth != month))
        CloseGap();
    ScanPeak(e);
}

void TAlerts::CloseGap()
{
    if (!Gap.Open)
        return;
    Gap.Open = false;
    if (!Settings.Enabled(TAlertSettings::ArchiveGap))
        return;
    const int count = Gap.Last - Gap.First + 1;
    TAlert a;
    a.Kind = QStringLiteral("archive-gap");
    a.Add(QStringLiteral("month"), MonthText(Gap.Month)).Add(QStringLiteral("first"), Gap.First).Add(QStringLiteral("count"), count);
    const QDateTime after = Gap.Before ? RegulatorTime(Gap.Month, Gap.Before) : QDateTime();
    if (after.isValid())
        a.Add(QStringLiteral("after"), AlertTime(after, Zone));
    a.Text = QStringLiteral("Archív mesiaca %1 má %2 od záznamu %3%4: regulátor bol bez napájania alebo záznamy nemá.")
                 .arg(MonthText(Gap.Month), Count(count, "prázdny záznam", "prázdne záznamy", "prázdnych záznamov"))
                 .arg(Gap.First)
                 .arg(after.isValid() ? QStringLiteral(" (po intervale od %1)").arg(Hhmm(after)) : QString());
    Raise(a);
}

void TAlerts::ScanPeak(const TEngine& e)
{
    auto* file = dynamic_cast<TFileArch*>(e.Archive->Current());
    const uint16_t current = e.GridAr->IsValid() ? e.GridAr->Months[0] : e.RunningInterval().Month;
    if (!file || current == 0 || file->Month() != current)
        return;
    const uint32_t key = uint32_t(current) << 16 | file->Count();
    if (key == PeakScanned)
        return;
    PeakScanned = key;
    TMonthPeak peak;
    peak.Month = current;
    const uint16_t size = file->RecordSize();
    for (uint32_t i = 0; i < file->Held(); ++i) {
        const uint8_t* record = file->RecordAt(uint16_t(i));
        if (!record || size < 4 || EmptyRecord(record, size))
            continue;
        const int power = RecordPower(record, size);
        if (power < 0 || (peak.Valid && power <= peak.Power))
            continue;
        const QDateTime start = RegulatorTime(current, GetWord(record));
        if (!start.isValid())
            continue;
        peak.Valid = true;
        peak.Power = uint16_t(power);
        peak.Start = start;
    }
    FMonthPeak = peak;
}
