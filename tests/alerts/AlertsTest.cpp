// The alerts against a simulated regulator: a ramp over the limit is foreseen
// once and then found; a load under the limit, or noisy only in its first
// seconds, raises nothing; one outage is lost and restored once, and an
// interval that ended inside it is judged from its record; a clock five
// minutes off is told once, and the question to timedated carries no
// systemd socket. An alert holds while its condition does, an event for its
// time.
#include "alerts/Alerts.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "support/Pump.h"
#include "support/SimProcess.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// Watches what the alerts computed after each live block (added after the
// alerts, so it is called after them).
struct TWatch : TEngineObserver {
    const TAlerts* Alerts = nullptr;
    int Closed = 0;
    double EarlyMax = 0;  // highest projection before Najskor
    double LateMax = 0;   // after it
    uint16_t Earliest = 0;
    void LiveArrived(const TEngine&, uint8_t block) override
    {
        const TAlerts::TProjection& p = Alerts->Projection();
        if (block == 5 || !p.Valid || !p.Limit)
            return;
        double& max = p.Elapsed < Earliest ? EarlyMax : LateMax;
        max = std::max(max, p.Projected / p.Limit);
    }
    void IntervalClosed(const TEngine&, const TClosedInterval&) override { ++Closed; }
};

// A simulated regulator, an engine on it and the alerts over the engine.
struct Site {
    // One-minute intervals unless ine says otherwise.
    Site(const QStringList& sim, const QString& alarmy, const QString& ine = QStringLiteral("Intervaly=60"))
        : Sim(QStringList{QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0")} + sim)
    {
        Dir.WriteIni(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[INE]\nMiesto=Skúšobňa 2\n%2\n[ALARMY]\n%3\n")
                         .arg(Sim.Udp, ine, alarmy));
        TMIniFile ini(Dir.Path(QStringLiteral("qdrwin.ini")));
        Settings = TSettings::Read(ini);
        Engine = std::make_unique<TEngine>(Settings, 100, Dir.Path());
        // The archive of one-minute intervals is no part of these cases.
        Engine->SetDownload(false);
        Alerts = std::make_unique<TAlerts>();
        // Most cases run the regulator's clock fast: the host's is not
        // synchronised, so that it is not judged.
        Alerts->HostClock.Forced = THostClock::TState::NotSynchronized;
        Alerts->OnAlert = [this](const TAlert& a) { Raised.push_back(a); };
        Alerts->Apply(Settings);
        Alerts->Follow(Engine.get());
        Watch.Alerts = Alerts.get();
        Watch.Earliest = Settings.Alerts.Earliest;
        Engine->AddObserver(&Watch);
    }
    ~Site()
    {
        Engine->RemoveObserver(&Watch);
        Alerts.reset();
        Engine->Close();
    }
    std::vector<TAlert> Of(const QString& kind) const
    {
        std::vector<TAlert> out;
        for (const TAlert& a : Raised)
            if (a.Kind == kind)
                out.push_back(a);
        return out;
    }
    QString Kinds() const
    {
        QStringList k;
        for (const TAlert& a : Raised)
            k << a.Line();
        return k.join(QLatin1Char('\n'));
    }

    SimProcess Sim;
    SiteDir Dir;
    TSettings Settings;
    std::unique_ptr<TEngine> Engine;
    std::unique_ptr<TAlerts> Alerts;
    TWatch Watch;
    std::vector<TAlert> Raised;
};

} // namespace

TEST(Alerts, ARampOverTheLimitIsForeseenOnceBeforeTheIntervalEndsThenFound)
{
    Site site({QStringLiteral("--interval"), QStringLiteral("1"), QStringLiteral("--speed"), QStringLiteral("4"),
               QStringLiteral("--load"), QStringLiteral("ramp:120")},
              QStringLiteral("Najskor=10"));
    ASSERT_TRUE(site.Sim.Ready);
    // The interval running at the start is seen only in part.
    ASSERT_TRUE(PumpUntil([&] { return site.Watch.Closed >= 1; }, 30000));
    site.Raised.clear();
    ASSERT_TRUE(PumpUntil([&] { return site.Of(QStringLiteral("exceedance")).size() >= 2; }, 90000)) << qPrintable(site.Kinds());

    // Every interval that closed over the limit was foreseen once, before its
    // end, and nothing else was said.
    const auto foreseen = site.Of(QStringLiteral("projected-exceedance"));
    const auto found = site.Of(QStringLiteral("exceedance"));
    ASSERT_EQ(site.Raised.size(), foreseen.size() + found.size()) << qPrintable(site.Kinds());
    for (const TAlert& f : found) {
        int times = 0;
        for (const TAlert& p : foreseen)
            if (p.Field(QStringLiteral("interval")) == f.Field(QStringLiteral("interval"))) {
                ++times;
                EXPECT_LT(p.Field(QStringLiteral("elapsed")).toInt(), 60);
                EXPECT_LE(p.At, f.At);
            }
        EXPECT_EQ(times, 1) << qPrintable(site.Kinds());
        const double limit = f.Field(QStringLiteral("limit")).toDouble();
        const double power = f.Field(QStringLiteral("power")).toDouble();
        // The last average before the end falls short of the result by a
        // third of the seconds it missed.
        EXPECT_GE(power / limit, 1.1) << qPrintable(f.Line());
        EXPECT_LE(power / limit, 1.21) << qPrintable(f.Line());
        EXPECT_EQ(f.Field(QStringLiteral("excess")).toInt(), int(power - limit));
    }
    const TAlert& first = foreseen.front();
    EXPECT_TRUE(first.Line().startsWith(QStringLiteral("alert projected-exceedance interval=")));
    EXPECT_TRUE(first.Line().contains(QStringLiteral(" site=\"Skúšobňa 2\" text=\"Hrozí prekročenie"))) << qPrintable(first.Line());
    EXPECT_GT(first.Field(QStringLiteral("projected")).toDouble(), first.Field(QStringLiteral("limit")).toDouble());
}

TEST(Alerts, ALoadJustUnderTheLimitOrNoisyInItsFirstSecondsRaisesNothing)
{
    // The measurement block comes every 2 s (it alternates with block 5); at
    // 7 times real speed an interval lasts 8.57 s, so the replies fall at
    // other seconds of each interval (at 6 times they fell at the same ones).
    Site site({QStringLiteral("--interval"), QStringLiteral("1"), QStringLiteral("--speed"), QStringLiteral("7"),
               QStringLiteral("--load"), QStringLiteral("steady:95")},
              QStringLiteral("Najskor=15"));
    ASSERT_TRUE(site.Sim.Ready);
    ASSERT_TRUE(PumpUntil([&] { return site.Watch.Closed >= 4; }, 90000));
    EXPECT_GT(site.Watch.LateMax, 0.9) << "the projection followed the load";
    site.Sim.Command("load noisy:90");
    const int closed = site.Watch.Closed;
    site.Watch.EarlyMax = 0;
    // The burst lasts a sixth of an interval (1.4 s), so the replies may miss
    // it for a few intervals: wait until one caught it.
    ASSERT_TRUE(PumpUntil([&] { return site.Watch.Closed >= closed + 4 && site.Watch.EarlyMax > 1.0; }, 180000))
        << "no reply caught a burst over the limit in the first seconds; highest " << site.Watch.EarlyMax;
    EXPECT_LT(site.Watch.LateMax, 1.0);
    EXPECT_TRUE(site.Raised.empty()) << qPrintable(site.Kinds());
}

TEST(Alerts, OneOutageIsLostAndRestoredOnceEach)
{
    Site site({QStringLiteral("--interval"), QStringLiteral("1")}, QStringLiteral("Spojenie=2"));
    ASSERT_TRUE(site.Sim.Ready);
    ASSERT_TRUE(PumpUntil([&] { return site.Engine->LinkUp(); }, 15000));
    site.Sim.Command("mute 16");
    ASSERT_TRUE(PumpUntil([&] { return !site.Of(QStringLiteral("link-lost")).empty(); }, 30000)) << qPrintable(site.Kinds());
    ASSERT_EQ(site.Alerts->InForce().size(), 1u);
    EXPECT_EQ(site.Alerts->InForce().front().Kind, QStringLiteral("link-lost"));
    ASSERT_TRUE(PumpUntil([&] { return !site.Of(QStringLiteral("link-restored")).empty(); }, 40000)) << qPrintable(site.Kinds());
    // The outage is over and its end holds nothing.
    EXPECT_TRUE(site.Alerts->InForce().empty()) << qPrintable(site.Alerts->InForce().front().Line());
    Pump(1500);
    const auto lost = site.Of(QStringLiteral("link-lost"));
    const auto restored = site.Of(QStringLiteral("link-restored"));
    ASSERT_EQ(lost.size(), 1u) << qPrintable(site.Kinds());
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(site.Raised.size(), 2u) << qPrintable(site.Kinds());
    EXPECT_LT(lost[0].At, restored[0].At);
    // Lost after the engine's ten seconds and Spojenie; the outage counts
    // from the last reply.
    EXPECT_GE(lost[0].Field(QStringLiteral("down")).toInt(), 12);
    EXPECT_FALSE(lost[0].Field(QStringLiteral("reason")).isEmpty());
    EXPECT_GE(restored[0].Field(QStringLiteral("down")).toInt(), 14);
    EXPECT_LE(restored[0].Field(QStringLiteral("down")).toInt(), 30);
    EXPECT_EQ(restored[0].Field(QStringLiteral("since")), lost[0].Field(QStringLiteral("since")));
}

TEST(Alerts, AnIntervalThatEndsInsideAnOutageIsJudgedOnceFromItsRecord)
{
    // Every interval ends 20% over the limit; the month has just begun and
    // the older one holds nothing, so the download keeps up at once.
    Site site({QStringLiteral("--interval"), QStringLiteral("1"), QStringLiteral("--speed"), QStringLiteral("4"),
               QStringLiteral("--load"), QStringLiteral("steady:120"), QStringLiteral("--now"), QStringLiteral("2026-12-01T00:01"),
               QStringLiteral("--lost"), QStringLiteral("65535")},
              QStringLiteral("Druhy=exceedance"));
    ASSERT_TRUE(site.Sim.Ready);
    site.Engine->SetDownload(true);
    ASSERT_TRUE(PumpUntil([&] { return site.Watch.Closed >= 1 && !site.Of(QStringLiteral("exceedance")).empty(); }, 60000))
        << qPrintable(site.Kinds());
    // 15 s are 60 of the regulator's: the link goes down and at least one
    // interval ends unseen.
    site.Sim.Command("mute 15");
    ASSERT_TRUE(PumpUntil([&] { return !site.Engine->LinkUp(); }, 20000));
    ASSERT_TRUE(PumpUntil([&] { return site.Engine->LinkUp(); }, 30000));
    const int closed = site.Watch.Closed;
    const auto fromRecord = [](const TAlert& a) { return a.Text.contains(QStringLiteral("podľa archívu")); };
    ASSERT_TRUE(PumpUntil(
        [&] {
            const auto found = site.Of(QStringLiteral("exceedance"));
            return site.Watch.Closed > closed && std::any_of(found.begin(), found.end(), fromRecord);
        },
        60000))
        << qPrintable(site.Kinds());
    Pump(2000);

    // One exceedance for every interval from the first closed to the last,
    // none missing and none twice.
    std::vector<QDateTime> starts;
    for (const TAlert& a : site.Of(QStringLiteral("exceedance")))
        starts.push_back(QDateTime::fromString(a.Field(QStringLiteral("interval")), Qt::ISODate));
    std::sort(starts.begin(), starts.end());
    ASSERT_GE(starts.size(), 3u) << qPrintable(site.Kinds());
    for (size_t i = 1; i < starts.size(); ++i)
        EXPECT_EQ(starts[i - 1].secsTo(starts[i]), 60) << qPrintable(site.Kinds());
}

TEST(Alerts, TheQuestionToTimedatedCarriesNoSystemdSocket)
{
    // A child that found them would speak to systemd for the service.
    qputenv("NOTIFY_SOCKET", "/run/systemd/notify");
    qputenv("WATCHDOG_USEC", "20000000");
    THostClock clock;
    clock.Program = QStringLiteral("/bin/sh");
    clock.Arguments = {QStringLiteral("-c"),
                       QStringLiteral("[ -z \"$NOTIFY_SOCKET$WATCHDOG_USEC$WATCHDOG_PID\" ] && echo yes || echo no")};
    clock.Start();
    const bool answered = PumpUntil([&] { return clock.State() != THostClock::TState::Pending; }, 10000);
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(answered);
    EXPECT_EQ(clock.State(), THostClock::TState::Synchronized);
}

TEST(Alerts, AClockFiveMinutesOffIsToldOnceAndOnlyAgainstASynchronisedHost)
{
    Site site({QStringLiteral("--interval"), QStringLiteral("1"), QStringLiteral("--offset"), QStringLiteral("300")}, QString());
    ASSERT_TRUE(site.Sim.Ready);
    // timedated says the host's own clock is not synchronised: no judgement.
    ASSERT_TRUE(PumpUntil([&] { return site.Engine->LinkUp(); }, 15000));
    Pump(4000);
    EXPECT_TRUE(site.Raised.empty()) << qPrintable(site.Kinds());

    site.Alerts->HostClock.Forced = THostClock::TState::Synchronized;
    ASSERT_TRUE(PumpUntil([&] { return !site.Raised.empty(); }, 15000));
    Pump(5000);
    ASSERT_EQ(site.Raised.size(), 1u) << qPrintable(site.Kinds());
    const TAlert& a = site.Raised[0];
    EXPECT_EQ(a.Kind, QStringLiteral("clock-drift"));
    EXPECT_NEAR(a.Field(QStringLiteral("offset")).toInt(), 300, 5) << qPrintable(a.Line());
    EXPECT_TRUE(a.Text.contains(QStringLiteral("popredu"))) << qPrintable(a.Text);
    ASSERT_EQ(site.Alerts->InForce().size(), 1u);
    // Without replies nothing judges the clock: the alert leaves with the link.
    site.Sim.Command("mute 15");
    ASSERT_TRUE(PumpUntil([&] { return !site.Engine->LinkUp(); }, 20000));
    EXPECT_TRUE(site.Alerts->InForce().empty());
}

TEST(Alerts, EachRunOfEmptyRecordsFiledIsToldOnceEvenAcrossReplies)
{
    // Generation 1 files batches of records; the run 12-15 spans two.
    Site site({QStringLiteral("--generation"), QStringLiteral("1"), QStringLiteral("--now"), QStringLiteral("2026-11-02T10:00"),
               QStringLiteral("--lost"), QStringLiteral("2970"), QStringLiteral("--gaps"), QStringLiteral("12-15,20")},
              QStringLiteral("Druhy=archive-gap"), QStringLiteral("TimeZone=Europe/Bratislava"));
    ASSERT_TRUE(site.Sim.Ready);
    site.Engine->SetDownload(true);
    ASSERT_TRUE(PumpUntil([&] { return site.Engine->Archive->RequestCount == 0 && site.Raised.size() >= 2; }, 60000))
        << qPrintable(site.Kinds());
    Pump(1000);
    ASSERT_EQ(site.Raised.size(), 2u) << qPrintable(site.Kinds());
    EXPECT_EQ(site.Raised[0].Field(QStringLiteral("month")), QStringLiteral("2026NOV"));
    EXPECT_EQ(site.Raised[0].Field(QStringLiteral("first")), QStringLiteral("12"));
    EXPECT_EQ(site.Raised[0].Field(QStringLiteral("count")), QStringLiteral("4"));
    EXPECT_EQ(site.Raised[0].Field(QStringLiteral("after")), QStringLiteral("2026-11-01T02:30:00+01:00")) << qPrintable(site.Raised[0].Line());
    EXPECT_EQ(site.Raised[1].Field(QStringLiteral("first")), QStringLiteral("20"));
    EXPECT_EQ(site.Raised[1].Field(QStringLiteral("count")), QStringLiteral("1"));
}

TEST(Alerts, AConditionHoldsUntilItEndsAnEventForItsTimeAndTheSetIsBounded)
{
    TMIniFile ini(QStringLiteral("/nonexistent/none.ini"));
    ini.SetText(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:9\n"));
    const TSettings settings = TSettings::Read(ini);
    TEngine engine(settings, 0);
    TAlerts alerts;
    alerts.HostClock.Forced = THostClock::TState::NotSynchronized;
    QDateTime now = QDateTime::currentDateTimeUtc();
    alerts.Now = [&] { return now; };
    int changed = 0;
    alerts.OnInForceChanged = [&] { ++changed; };
    alerts.Apply(settings);
    alerts.RegulatedPowerArrived(engine, 400, 300);
    uint16_t minutes = 1440;
    const auto exceed = [&] {
        TClosedInterval c;
        c.Start = (uint32_t(2026 * 12 + 11) << 16) | (minutes += 15);
        c.Length = 900;
        c.LastElapsed = 899;
        c.AveragePower = 450;
        alerts.IntervalClosed(engine, c);
    };
    const auto kinds = [&] {
        QStringList k;
        for (const TAlert& a : alerts.InForce())
            k << a.Kind;
        return k.join(QLatin1Char(' '));
    };

    exceed();
    TEngine::TStall stall;
    stall.Stalled = true;
    stall.Month = 2026 * 12 + 11;
    stall.Record = 142;
    engine.DownloadWatch().SetStall(stall);
    alerts.DownloadChanged(engine);
    EXPECT_EQ(kinds(), QStringLiteral("exceedance archive-stalled"));
    EXPECT_EQ(changed, 2);
    // The download goes on: the stall leaves at once, the event stays.
    stall.Stalled = false;
    engine.DownloadWatch().SetStall(stall);
    alerts.DownloadChanged(engine);
    EXPECT_EQ(kinds(), QStringLiteral("exceedance"));
    EXPECT_EQ(changed, 3);

    now = now.addSecs(TAlerts::EventKeptSeconds - 60);
    alerts.Expire();
    EXPECT_EQ(kinds(), QStringLiteral("exceedance"));
    now = now.addSecs(61);
    alerts.Expire();
    EXPECT_EQ(kinds(), QString());
    EXPECT_EQ(changed, 4);

    // The newest ones are kept.
    for (size_t i = 0; i < TAlerts::InForceMax + 5; ++i)
        exceed();
    ASSERT_EQ(alerts.InForce().size(), TAlerts::InForceMax);
    EXPECT_TRUE(alerts.InForce().back().Field(QStringLiteral("interval")).startsWith(QStringLiteral("2026-12-01T06:30")))
        << qPrintable(alerts.InForce().back().Line());
}
