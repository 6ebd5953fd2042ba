#include "SimCalendar.h"
#include "SimRegulator.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

int64_t At(const char* text)
{
    int64_t s = 0;
    EXPECT_TRUE(SimParseCivil(text, s)) << text;
    return s;
}

TSimConfig Config(int generation, const char* now, uint64_t seed = 11)
{
    TSimConfig c;
    c.Generation = generation;
    c.Now = At(now);
    c.Seed = seed;
    return c;
}

TSimRequest Req(uint8_t command, TSimBytes data = {}, uint8_t address = 0)
{
    TSimRequest r;
    r.Address = address;
    r.Command = command;
    r.Data = std::move(data);
    return r;
}

TSimBytes Ask(TSimRegulator& r, uint8_t command, TSimBytes data = {})
{
    const TSimAnswer a = r.Answer(Req(command, std::move(data)));
    EXPECT_TRUE(a.Reply) << "command " << int(command) << ": " << a.Why;
    return a.Data;
}

constexpr uint16_t kMar2024 = 2024 * 12 + 2;

} // namespace

TEST(SimLive, EachGenerationAnswersItsCommandsWithTheFixedLengths)
{
    struct Expect {
        uint8_t Command;
        TSimBytes Data;
        size_t Length; // 0: length not fixed
        int FromGeneration;
    };
    const std::vector<Expect> table = {
        {1, {}, 24, 1},          {2, {}, 35, 1},          {4, {1}, 124, 1},
        {5, {}, 43, 2},          {6, {}, 43, 2},          {7, {100, 0, 50, 0}, 4, 1},
        {8, {}, 70, 3},          {9, {0xE2, 0x5E, 1, 0}, 32, 3}, {10, {}, 88, 3},
        {11, {}, 52, 3},         {12, {}, 52, 3},
    };
    for (int g = 1; g <= 3; ++g) {
        TSimRegulator r(Config(g, "2024-03-01T10:07"));
        for (const Expect& e : table) {
            const TSimAnswer a = r.Answer(Req(e.Command, e.Data));
            EXPECT_EQ(a.Reply, g >= e.FromGeneration) << "gen " << g << " cmd " << int(e.Command);
            if (a.Reply) {
                EXPECT_EQ(a.Data.size(), e.Length) << "gen " << g << " cmd " << int(e.Command);
            }
        }
        EXPECT_FALSE(r.Answer(Req(13)).Reply);
    }
}

TEST(SimLive, MalformedOrForeignRequestsGoUnanswered)
{
    TSimConfig c = Config(3, "2024-03-01T10:07");
    c.Address = 5;
    TSimRegulator r(c);
    EXPECT_TRUE(r.Answer(Req(1, {}, 5)).Reply);
    EXPECT_FALSE(r.Answer(Req(1, {}, 0)).Reply);
    EXPECT_FALSE(r.Answer(Req(1, {0}, 5)).Reply);            // command 1 takes no data
    EXPECT_FALSE(r.Answer(Req(9, {0xE2, 0x5E, 1}, 5)).Reply); // command 9 takes four bytes
    EXPECT_FALSE(r.Answer(Req(4, {4}, 5)).Reply);            // only records 0..3 exist
    EXPECT_FALSE(r.Answer(Req(7, {1, 0}, 5)).Reply);
}

TEST(SimLive, IdentificationEndsInTheGenerationsYear)
{
    const char* years[] = {"1999", "2000", "2002"};
    for (int g = 1; g <= 3; ++g) {
        TSimRegulator r(Config(g, "2024-03-01T10:07"));
        const TSimBytes d = Ask(r, 0);
        ASSERT_GE(d.size(), 10u);
        ASSERT_LE(d.size(), 253u);
        EXPECT_EQ(std::string(d.end() - 4, d.end()), years[g - 1]);
        EXPECT_EQ(std::string(d.begin() + 6, d.end()), r.IdText());
        EXPECT_EQ(d[0], g);
        EXPECT_EQ(std::find(d.begin() + 6, d.end(), 0), d.end()) << "no zero byte cuts the text";
    }
    TSimConfig c = Config(3, "2024-03-01T10:07");
    c.Id = "TEST UNIT 2000";
    TSimRegulator custom(c);
    const TSimBytes d = Ask(custom, 0);
    EXPECT_EQ(std::string(d.begin() + 6, d.end()), "TEST UNIT 2000");
    c.Id = std::string(400, 'x');
    TSimRegulator longer(c);
    EXPECT_EQ(Ask(longer, 0).size(), 253u);
}

TEST(SimLive, InformationBlockAndRegulatedPowerWrite)
{
    TSimConfig c = Config(2, "2024-03-01T10:07");
    c.Meters = 3;
    c.Kinds = 0x0004; // meter 3 reactive
    c.PregVT = 500;
    c.PregNT = 250;
    TSimRegulator r(c);
    TSimBytes b = Ask(r, 1);
    EXPECT_EQ(b[16], 3);
    EXPECT_EQ(b[19] >> 1, 0x04) << "the client shifts the kind byte right by one";
    EXPECT_EQ(SimGet16(&b[20]), 500);
    EXPECT_EQ(SimGet16(&b[22]), 250);
    for (int k = 0; k < 4; ++k) {
        const uint32_t t = SimGet32(&b[4 * k]);
        EXPECT_NE(t >> 16, 0u) << "event time " << k;
        EXPECT_LT(t, SimPackedTime(r.GetClock()) + 1) << "event time " << k << " lies before now";
    }

    r.SetClock(At("2024-03-01T11:30"));
    EXPECT_EQ(Ask(r, 7, {0x2C, 0x01, 0x00, 0x00}), (TSimBytes{0x2C, 0x01, 0xFA, 0x00}))
        << "0 leaves the NT setting as it was";
    b = Ask(r, 1);
    EXPECT_EQ(SimGet16(&b[20]), 300);
    EXPECT_EQ(SimGet16(&b[22]), 250);
    EXPECT_EQ(SimGet32(&b[8]), SimPackedTime(At("2024-03-01T11:30"))) << "configuration change time";
    EXPECT_EQ(Ask(r, 7, {0xFF, 0xFF, 0x90, 0x01}), (TSimBytes{0x2C, 0x01, 0x90, 0x01}));
}

TEST(SimLive, MeasurementFollowsTheClockAndTheArchive)
{
    TSimRegulator r(Config(3, "2024-03-05T10:07")); // a Tuesday
    TSimBytes b = Ask(r, 8);
    EXPECT_EQ(SimGet32(&b[0]), SimPackedTime(r.GetClock()));
    EXPECT_EQ(SimGet16(&b[4]), 7 * 60);
    // The main measurement is the sum of the (active) meters.
    unsigned inst = 0;
    unsigned avg = 0;
    for (int m = 1; m <= 4; ++m) {
        inst += SimGet16(&b[6 + 4 * m]);
        avg += SimGet16(&b[8 + 4 * m]);
    }
    EXPECT_EQ(SimGet16(&b[6]), inst);
    EXPECT_EQ(SimGet16(&b[8]), avg);
    for (int m = 5; m <= 12; ++m)
        EXPECT_EQ(SimGet32(&b[6 + 4 * m]), 0u);
    EXPECT_EQ(SimGet16(&b[58]), 0);
    EXPECT_EQ(TSimBytes(b.begin() + 60, b.end()), r.MonthTable().Bytes());

    // Just before an interval ends, its running average is the value the
    // archive will hold for it.
    r.SetClock(At("2024-03-05T10:14:59"));
    b = Ask(r, 8);
    const auto rec = r.SlotRecord(kMar2024, static_cast<uint16_t>(4 * 96 + 41));
    for (int ch = 0; ch <= 4; ++ch) {
        const int archived = SimGet16(&rec[2 + 2 * ch]);
        if (archived == 65535)
            continue;
        EXPECT_NEAR(SimGet16(&b[8 + 4 * ch]), archived, ch == 0 ? 4 : 1) << "channel " << ch;
    }
    r.SetClock(At("2024-03-05T10:15"));
    EXPECT_TRUE(r.RecordExists(kMar2024, 4 * 96 + 41));
}

TEST(SimLive, ReactiveMetersStayOutOfTheMainMeasurement)
{
    TSimConfig c = Config(3, "2024-03-05T10:07");
    c.Kinds = 0x0002; // meter 2 reactive
    TSimRegulator r(c);
    const TSimBytes b = Ask(r, 8);
    EXPECT_EQ(SimGet16(&b[58]), 2);
    EXPECT_EQ(SimGet16(&b[6]), SimGet16(&b[10]) + SimGet16(&b[18]) + SimGet16(&b[22]));
    EXPECT_GT(SimGet16(&b[14]), 0) << "the reactive meter still reports";
}

TEST(SimLive, TariffStageAndMaximaOfGenerations1And2)
{
    TSimRegulator r(Config(2, "2024-03-05T05:59"));
    EXPECT_EQ(Ask(r, 2)[12], 1);
    r.SetClock(At("2024-03-05T06:00"));
    EXPECT_EQ(Ask(r, 2)[12], 0);
    r.SetClock(At("2024-03-05T21:59"));
    EXPECT_EQ(Ask(r, 2)[12], 0);
    r.SetClock(At("2024-03-05T22:00"));
    const TSimBytes b = Ask(r, 2);
    EXPECT_EQ(b[12], 1);

    // The maxima are the largest completed interval of each tariff this month.
    uint16_t maxVt = 0;
    uint16_t maxNt = 0;
    uint32_t timeVt = 0;
    uint32_t timeNt = 0;
    const uint16_t count = r.MonthTable().Count0;
    for (uint16_t i = 1; i <= count; ++i) {
        const TSimBytes rec = *r.Record(kMar2024, i);
        const uint16_t t = SimGet16(rec.data());
        const int hour = t % 1440 / 60;
        // Channel 0 is the site in every generation.
        const uint16_t site = SimGet16(&rec[2]);
        if (site == 65535)
            continue;
        const uint32_t packed = static_cast<uint32_t>(kMar2024) << 16 | t;
        if (hour >= 6 && hour < 22) {
            if (site > maxVt) {
                maxVt = site;
                timeVt = packed;
            }
        } else if (site > maxNt) {
            maxNt = site;
            timeNt = packed;
        }
    }
    EXPECT_EQ(SimGet16(&b[13]), maxVt);
    EXPECT_EQ(SimGet16(&b[15]), maxNt);
    EXPECT_EQ(SimGet32(&b[17]), timeVt);
    EXPECT_EQ(SimGet32(&b[21]), timeNt);
    EXPECT_EQ(TSimBytes(b.begin() + 25, b.end()), r.MonthTable().Bytes());

    // Inputs and outputs agree with the measurement block.
    const TSimBytes io = Ask(r, 5);
    EXPECT_EQ(io[8], b[11]);
    EXPECT_EQ(io[9], 1);
    EXPECT_EQ(SimGet32(&io[10]), (1u << io[8]) - 1) << "stage s switches appliances 1..s";
    EXPECT_EQ(io[18] & 1, 1) << "low-tariff signal";
    EXPECT_EQ(SimGet32(&io[30]), timeVt);
    EXPECT_EQ(SimGet32(&io[38]), SimPackedTime(At("2024-03-01T00:00")));

    // At the very start of a month there is no maximum yet: no time stamp.
    r.SetClock(At("2024-04-01T00:05"));
    const TSimBytes fresh = Ask(r, 2);
    EXPECT_EQ(SimGet32(&fresh[17]), 0u);
    EXPECT_EQ(SimGet32(&fresh[21]), 0u);
}

TEST(SimLive, StageRisesWhenTheLoadNearsTheLimit)
{
    TSimConfig c = Config(3, "2024-03-05T11:00");
    TSimRegulator r(c);
    const uint16_t p = r.SitePower(r.GetClock());
    EXPECT_EQ(r.Stage(r.GetClock()), 0) << "the default limit sits above the day load of " << p;
    r.SetRegulatedPower(static_cast<uint16_t>(p * 0.9), static_cast<uint16_t>(p * 0.9));
    EXPECT_GE(r.Stage(r.GetClock()), 2);
    r.SetRegulatedPower(static_cast<uint16_t>(p / 4), 100);
    EXPECT_EQ(r.Stage(r.GetClock()), TSimRegulator::kStages);
}

TEST(SimLive, IntervalRecordsHoldSamplesOfTheirInterval)
{
    TSimRegulator r(Config(3, "2024-03-05T10:07:30"));
    TSimBytes cur = Ask(r, 4, {0});
    EXPECT_EQ(SimGet32(cur.data()), SimPackedTime(At("2024-03-05T10:00")));
    EXPECT_EQ((cur.size() - 4) / 2, 30u) << "450 s of a 15-min interval: a sample every 15 s";
    const TSimBytes prev = Ask(r, 4, {1});
    EXPECT_EQ(SimGet32(prev.data()), SimPackedTime(At("2024-03-05T09:45")));
    EXPECT_EQ(prev.size(), 4u + 120);
    // The percentage is the instantaneous load against the regulated power.
    const int64_t at = At("2024-03-05T09:45") + 15 - 1;
    EXPECT_EQ(prev[4], (r.SitePower(at) * 100 + 200) / 400);
    EXPECT_EQ(prev[5], r.Stage(at));
    // Records 2 and 3 are the intervals of the maxima of block 2.
    const TSimBytes m = Ask(r, 2);
    EXPECT_EQ(SimGet32(Ask(r, 4, {2}).data()), SimGet32(&m[17]));
    EXPECT_EQ(SimGet32(Ask(r, 4, {3}).data()), SimGet32(&m[21]));
    // Right at the start of an interval there are no samples yet.
    r.SetClock(At("2024-03-05T10:15"));
    EXPECT_EQ(Ask(r, 4, {0}).size(), 4u);
}

TEST(SimLive, ConsumptionDataOfBlock10)
{
    TSimRegulator r(Config(3, "2024-03-05T10:37"));
    const TSimBytes b = Ask(r, 10);
    EXPECT_EQ(TSimBytes(b.begin(), b.begin() + 70), Ask(r, 8));
    const int64_t day = SimSerialDay(2024, 3, 5);
    EXPECT_EQ(SimGet16(&b[70]), 400) << "allowed = VT limit by day";
    EXPECT_EQ(SimGet32(&b[74]), static_cast<uint32_t>(day));
    EXPECT_EQ(SimGet32(&b[80]), static_cast<uint32_t>(day * 96 + 42)) << "10:30 is interval 42 of the day";
    // The optimal power brings the interval to the allowed mean.
    const double avg = SimGet16(&b[8]);
    const double opt = SimGet16(&b[72]);
    EXPECT_NEAR((avg * 420 + opt * 480) / 900, 400, 1.0);
    // Measured energy this hour: 10:00-10:15, 10:15-10:30 and 7 minutes.
    const uint16_t base = 4 * 96 + 40;
    const double e = (r.ChannelValue(kMar2024, base + 1, 0) + r.ChannelValue(kMar2024, base + 2, 0)) / 4.0 +
                     avg * 420 / 3600;
    EXPECT_NEAR(SimGet16(&b[86]), e, 1.5);
    EXPECT_GT(SimGet16(&b[84]), 0);
}

TEST(SimLive, ALiveScenarioEndsEveryIntervalOnItsShareOfTheLimitAndTheArchiveAgrees)
{
    // 11:00 is day tariff: the VT limit of 400 kW.
    TSimConfig c = Config(3, "2024-03-05T11:00");
    c.IntervalMinutes = 1;
    ASSERT_TRUE(SimParseLoad("ramp:120", c.Load));
    TSimRegulator r(c);
    const int64_t start = r.GetClock();
    // Rising through the interval from 2/3 to 4/3 of 480 kW; the mean of the
    // elapsed part ends on 480.
    EXPECT_NEAR(r.SitePower(start), 320, 4);
    EXPECT_NEAR(r.SitePower(start + 59), 640, 6);
    EXPECT_NEAR(r.SiteAverage(start + 30), 400, 3);
    EXPECT_NEAR(r.SiteAverage(start + 59), 475, 4);
    r.SetClock(start + 61);
    const TSimMonthTable t = r.MonthTable();
    const std::optional<TSimBytes> record = r.Record(t.Month0, t.Count0);
    ASSERT_TRUE(record);
    EXPECT_EQ(SimGet16(record->data() + 2), 480) << "the main measurement of the interval";
    unsigned meters = 0;
    for (int m = 1; m <= r.Config().MeterCount(); ++m)
        meters += SimGet16(record->data() + 2 + 2 * m);
    EXPECT_NEAR(meters, 480, 4) << "the meters share it";

    // A burst at the start that the rest of the interval makes up for.
    r.SetLoad([] { TSimLoad l; SimParseLoad("noisy:90", l); return l; }());
    const int64_t next = start + 120;
    EXPECT_NEAR(r.SitePower(next + 2), 576, 3);
    EXPECT_LT(r.SitePower(next + 30), 360);
    EXPECT_NEAR(r.SiteAverage(next + 59), 360, 8);
    TSimLoad bad;
    EXPECT_FALSE(SimParseLoad("ramp", bad));
    EXPECT_FALSE(SimParseLoad("wave:90", bad));
    EXPECT_FALSE(SimParseLoad("steady:-5", bad));
}
