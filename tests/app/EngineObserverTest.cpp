// What the engine tells its followers: the one link state, the interval that
// closed, the records filed; and that a follower may leave from its own call.
#include "AppTestSupport.h"

#include "core/Tick.h"

#include <gtest/gtest.h>

namespace {

constexpr uint16_t Dec2026 = 2026 * 12 + 11;

void Feed(TEngine& e, uint8_t command, const Bytes& data)
{
    e.ComBufData(0, static_cast<uint8_t>(command | 0x80), static_cast<uint8_t>(data.size()), data.data());
}

// A generation 1/2 measurement block at minute minutes of December, seconds
// into the interval, with that average power.
Bytes Live(uint16_t minutes, uint16_t elapsed, uint16_t average, uint8_t tariff = 0)
{
    Bytes b = MeasurementBlock(2);
    Put32(b, 1, (uint32_t(Dec2026) << 16) | minutes);
    Put16(b, 5, elapsed);
    Put16(b, 9, average);
    b[12] = tariff;
    return b;
}

struct TRecorder : TEngineObserver {
    std::vector<TEngine::TLinkState> Links;
    std::vector<TClosedInterval> Closed;
    std::vector<std::pair<uint16_t, uint16_t>> Filed;
    int Lives = 0;
    std::function<void()> OnLink;
    void LinkChanged(const TEngine& e) override
    {
        Links.push_back(e.Link().State);
        if (OnLink)
            OnLink();
    }
    void IntervalClosed(const TEngine&, const TClosedInterval& c) override { Closed.push_back(c); }
    void LiveArrived(const TEngine&, uint8_t) override { ++Lives; }
    void RecordsFiled(const TEngine&, uint16_t month, uint16_t, uint16_t count) override { Filed.emplace_back(month, count); }
};

} // namespace

TEST(EngineLink, DownAfterTenSilentSecondsAndUpAtTheNextValidReply)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    TRecorder r;
    e.AddObserver(&r);
    EXPECT_EQ(e.Link().State, TEngine::TLinkState::Starting);
    ASSERT_TRUE(rig.Identify());
    EXPECT_EQ(r.Links, (std::vector<TEngine::TLinkState>{TEngine::TLinkState::Up}));
    const QDateTime last = e.Link().LastReply;

    rig.Model.AnswerAll = false;
    ASSERT_TRUE(rig.Run(5));
    e.SetClockShift(TEngine::LinkDownMs - 1500);
    ASSERT_TRUE(rig.Run(3));
    EXPECT_TRUE(e.LinkUp()) << "not yet ten seconds";
    e.SetClockShift(TEngine::LinkDownMs + 1000);
    ASSERT_TRUE(rig.Run(3));
    ASSERT_EQ(r.Links.size(), 2u);
    EXPECT_EQ(r.Links[1], TEngine::TLinkState::Down);
    EXPECT_EQ(e.Link().Since, last) << "down since the last valid reply";
    EXPECT_TRUE(e.LinkReason().startsWith(QStringLiteral("no reply within"))) << qPrintable(e.LinkReason());
    // What the regulator last said is stale at once, though still valid.
    EXPECT_TRUE(e.ValueId->IsValid());
    EXPECT_TRUE(e.ValueId->Stale && e.ValueKem->Stale && e.InterfaceME->Power->Stale);
    ASSERT_TRUE(rig.Run(20));
    EXPECT_EQ(r.Links.size(), 2u) << "told once per outage";

    // A follower that leaves from inside its call is not called again.
    r.OnLink = [&] { e.RemoveObserver(&r); };
    rig.Model.AnswerAll = true;
    ASSERT_TRUE(rig.Run(15));
    EXPECT_TRUE(e.LinkUp());
    EXPECT_EQ(r.Links.size(), 3u);
    EXPECT_EQ(r.Links[2], TEngine::TLinkState::Up);
    EXPECT_FALSE(e.ValueId->Stale || e.ValueKem->Stale || e.InterfaceME->Power->Stale);
}

TEST(EngineLink, AClosedEngineDoesNotCallTheLinkDown)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    TRecorder r;
    e.AddObserver(&r);
    e.Close(100);
    e.SetClockShift(3 * TEngine::LinkDownMs);
    e.ComBufTick();
    EXPECT_TRUE(r.Links.empty());
}

TEST(EngineInterval, TheLastAverageBeforeTheSecondsGoBackClosesTheInterval)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    TRecorder r;
    e.AddObserver(&r);
    Feed(e, 0, IdentBlock("X 2000"));
    // 10:00-10:15 of 3 December: minute 2*1440 + 600. Stamps are whole
    // minutes and may lag the seconds count by up to a minute.
    const uint16_t ten = 2 * 1440 + 600;
    Feed(e, 2, Live(ten + 1, 70, 300));
    Feed(e, 2, Live(ten + 13, 839, 410));
    Feed(e, 2, Live(ten + 14, 899, 412, 1));
    EXPECT_TRUE(r.Closed.empty());
    Feed(e, 2, Live(ten + 14, 3, 90)); // the stamp still in the old minute
    ASSERT_EQ(r.Closed.size(), 1u);
    const TClosedInterval& c = r.Closed[0];
    EXPECT_EQ(c.Start, (uint32_t(Dec2026) << 16) | ten);
    EXPECT_EQ(c.Length, 900);
    EXPECT_EQ(c.AveragePower, 412);
    EXPECT_EQ(c.LastElapsed, 899);
    EXPECT_EQ(c.Tariff, 1);
    Feed(e, 2, Live(ten + 16, 61, 95));
    EXPECT_EQ(r.Closed.size(), 1u) << "the same interval goes on";
    EXPECT_EQ(r.Lives, 5);

    // After silence nothing is claimed for an interval not seen to its end.
    for (int i = 0; i < 60; ++i)
        e.SecondStep();
    Feed(e, 0, IdentBlock("X 2000"));
    Feed(e, 2, Live(ten + 40, 10, 100));
    EXPECT_EQ(r.Closed.size(), 1u);
}

TEST(EngineSchedule, TheInformationBlockIsAskedAgainEveryPeriodOnAnyPage)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    e.SetInformationEveryMs(60000);
    ASSERT_TRUE(rig.Prime());
    const size_t before = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(40));
    const std::vector<uint8_t> quiet = rig.CommandsFrom(before);
    EXPECT_EQ(std::count(quiet.begin(), quiet.end(), 1), 0) << "not before the period is over";
    e.SetClockShift(61000);
    const size_t due = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(40));
    const std::vector<uint8_t> after = rig.CommandsFrom(due);
    EXPECT_EQ(std::count(after.begin(), after.end(), 1), 1) << "once per period";
    EXPECT_GE(std::count(after.begin(), after.end(), 8), 2) << "the live block keeps its turn";
}
