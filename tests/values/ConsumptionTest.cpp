// The consumption evaluation figures and the interface that owns them.
#include "values/InterfaceME.h"

#include <gtest/gtest.h>

TEST(Consumption, OptimalPower)
{
    EXPECT_EQ(TValueWordPo::Calculate(100, 40, 1800), 120);
    EXPECT_EQ(TValueWordPo::Calculate(100, 120, 1800), 0); // measured beyond agreed is cut to agreed
    EXPECT_EQ(TValueWordPo::Calculate(100, 0, 3599), 65535); // 360000 does not fit
    EXPECT_EQ(TValueWordPo::Calculate(100, 0, 0), 100);
    EXPECT_EQ(TValueWordPo::Calculate(100, 100, 0), 0);
    // Past the hour: a tenth counted as used, a whole hour left.
    EXPECT_EQ(TValueWordPo::Calculate(100, 77, 3600), 90);
    EXPECT_EQ(TValueWordPo::Calculate(100, 77, 65535), 90);
    // The product (A - B) * 3600 passes 32 bits.
    EXPECT_EQ(TValueWordPo::Calculate(65535, 0, 1), 65535);
    EXPECT_EQ(TValueWordPo::Calculate(65535, 65534, 3598), 1800);
}

TEST(Consumption, ProRatedAgreedEnergy)
{
    EXPECT_EQ(TValueWordAo::Calculate(100, 1800), 50);
    EXPECT_EQ(TValueWordAo::Calculate(100, 0), 0);
    EXPECT_EQ(TValueWordAo::Calculate(100, 3599), 99);
    EXPECT_EQ(TValueWordAo::Calculate(100, 3600), 100);
    EXPECT_EQ(TValueWordAo::Calculate(100, 9000), 100);
    EXPECT_EQ(TValueWordAo::Calculate(65535, 3599), 65516);
}

TEST(Consumption, DeviationInPercent)
{
    EXPECT_EQ(TValueIntP::Calculate(0, 50), -100);
    EXPECT_EQ(TValueIntP::Calculate(5, 0), 999);
    EXPECT_EQ(TValueIntP::Calculate(30000, 10), 999);
    EXPECT_EQ(TValueIntP::Calculate(0, 0), 0);
    EXPECT_EQ(TValueIntP::Calculate(7, 7), 0);
    EXPECT_EQ(TValueIntP::Calculate(110, 100), 10);
    EXPECT_EQ(TValueIntP::Calculate(99, 100), -1);
    EXPECT_EQ(TValueIntP::Calculate(2, 3), -33); // truncated toward zero
    // The quotient must lie strictly inside -999..999.
    EXPECT_EQ(TValueIntP::Calculate(1098, 100), 998);
    EXPECT_EQ(TValueIntP::Calculate(1100, 100), 999);
    EXPECT_EQ(TValueIntP::Calculate(65535, 6562), 898);
    EXPECT_EQ(TValueIntP::Calculate(1099, 1), 999);
}

TEST(Consumption, IntervalNumberAndTimeIntoTheHour)
{
    TValueLongQ q(15, 40);
    q.SetValue(153162, 0);
    EXPECT_EQ(q.StartMinutes(), 2297430u);
    EXPECT_EQ(q.SecondsIntoHour(), 1800);
    EXPECT_EQ(q.GetText(), QStringLiteral("153162"));
    EXPECT_EQ(q.GetDisplay(), QStringLiteral("13.05.1904 10:30"));
    // 60-minute intervals always start on the hour; huge numbers do not overflow.
    TValueLongQ h(60, 40);
    h.SetValue(0xFFFFFFFFu, 0);
    EXPECT_EQ(h.SecondsIntoHour(), 0);
    TValueLongQ m(1, 40);
    m.SetValue(0xFFFFFFFFu, 0);
    EXPECT_EQ(m.SecondsIntoHour(), (0xFFFFFFFFull % 60) * 60);
}

TEST(Consumption, IntervalsPerHourIsCorrected)
{
    for (int n : {0, 7, 61, -3, 120, 256}) {
        TInterfaceME me(40, n);
        EXPECT_EQ(me.IntervalsPerHour, 4) << n;
        EXPECT_EQ(me.IntervalMinutes, 15) << n;
        EXPECT_EQ(me.IntervalNumber->StepMinutes, 15) << n;
    }
    TInterfaceME me12(40, 12);
    EXPECT_EQ(me12.IntervalsPerHour, 12);
    EXPECT_EQ(me12.IntervalMinutes, 5);
    EXPECT_EQ(me12.IntervalNumber->StepMinutes, 5);
    TInterfaceME me60(40, 60);
    EXPECT_EQ(me60.IntervalMinutes, 1);
}

TEST(Consumption, ValuesAreNumberedInCreationOrder)
{
    TInterfaceME me(40, 4);
    EXPECT_EQ(me.MeValues->Count(), TInterfaceME::ValueCount);
    EXPECT_EQ(me.MeValues->Capacity(), 32);
    const TValue* expected[] = {me.IntervalNumber, me.AllowedPower, me.AgreedEnergy, me.TimeStamp,
                                me.IntervalTime, me.Power, me.ReactivePower, me.PowerFactor,
                                me.AveragePower, me.OptimalIntervalPower, me.MeasuredEnergy, me.HourTime,
                                me.OptimalPower, me.OptimalEnergy, me.PowerDeviation, me.EnergyDeviation,
                                me.Date, me.Number};
    for (uint8_t n = 1; n <= TInterfaceME::ValueCount; ++n) {
        ASSERT_NE(expected[n - 1], nullptr) << int(n);
        EXPECT_EQ(me.Value(n), expected[n - 1]) << int(n);
    }
    EXPECT_EQ(me.Value(0), nullptr);
    EXPECT_EQ(me.Value(19), nullptr);
    // Every computed value sits behind all of its sources.
    EXPECT_TRUE(me.PowerFactor->Computed);
    EXPECT_EQ(me.HourTime->IntervalTime, me.IntervalTime);
    EXPECT_EQ(me.OptimalPower->SecondsIntoHour, me.HourTime);
    EXPECT_EQ(me.PowerDeviation->X, me.OptimalPower);
    EXPECT_EQ(me.PowerDeviation->Y, me.Power);
    EXPECT_EQ(me.EnergyDeviation->X, me.MeasuredEnergy);
    EXPECT_EQ(me.EnergyDeviation->Y, me.OptimalEnergy);
}

namespace {
// What the reply handler writes from a block 10 and the meters grid.
void FeedBlock10(TInterfaceME& me, uint16_t now)
{
    me.IntervalNumber->SetValue(153162, 0);
    me.AllowedPower->SetValue(200, 0);
    me.AgreedEnergy->SetValue(100, 0);
    me.TimeStamp->SetValue((uint32_t(24060) << 16) | 600, 0);
    me.IntervalTime->SetValue(300, 0);
    me.Power->SetValue(80, 0);
    me.ReactivePower->SetValue(60, 0);
    me.AveragePower->SetValue(70, 0);
    me.OptimalIntervalPower->SetValue(90, 0);
    me.MeasuredEnergy->SetValue(40, 0);
    me.Date->SetValue(38666, 0);
    me.Number->SetValue(7, 0);
    for (uint8_t n = 1; n <= TInterfaceME::ValueCount; ++n)
        me.Value(n)->TickStamp = now;
}
} // namespace

TEST(Consumption, OneTickBringsTheWholeChainUpToDate)
{
    TInterfaceME me(40, 4);
    me.Tick(uint16_t(0));
    FeedBlock10(me, 100);
    me.Tick(uint16_t(100));
    // 30 minutes into the hour at the interval start, plus 5 minutes in it.
    EXPECT_EQ(me.HourTime->GetDisplay(), QStringLiteral("35:00"));
    EXPECT_EQ(me.HourTime->GetValue(), 2100);
    EXPECT_EQ(me.OptimalEnergy->GetDisplay(), QStringLiteral("58")); // 100 * 2100 / 3600
    EXPECT_EQ(me.OptimalPower->GetDisplay(), QStringLiteral("144")); // 60 * 3600 / 1500
    EXPECT_EQ(me.PowerDeviation->GetDisplay(), QStringLiteral("+80")); // (144 - 80) * 100 / 80
    EXPECT_EQ(me.EnergyDeviation->GetDisplay(), QStringLiteral("-31")); // (40 - 58) * 100 / 58
    EXPECT_EQ(me.PowerFactor->GetDisplay(), QStringLiteral("0.80"));
    EXPECT_EQ(me.Date->GetDisplay(), QStringLiteral("10.11.2005"));
    for (uint8_t n = 1; n <= TInterfaceME::ValueCount; ++n) {
        EXPECT_TRUE(me.Value(n)->Changed) << int(n);
        EXPECT_TRUE(me.Value(n)->IsValid()) << int(n);
    }
    me.Tick(uint16_t(200));
    for (uint8_t n = 1; n <= TInterfaceME::ValueCount; ++n)
        EXPECT_FALSE(me.Value(n)->Changed) << int(n);

    // A new measured energy moves only what depends on it.
    me.MeasuredEnergy->SetValue(100, 0);
    me.MeasuredEnergy->TickStamp = 300;
    me.Tick(uint16_t(300));
    EXPECT_EQ(me.OptimalPower->GetValue(), 0);
    EXPECT_EQ(me.PowerDeviation->GetDisplay(), QStringLiteral("-100"));
    EXPECT_EQ(me.EnergyDeviation->GetDisplay(), QStringLiteral("+72"));
    EXPECT_FALSE(me.OptimalEnergy->Changed);
    EXPECT_FALSE(me.HourTime->Changed);
}

TEST(Consumption, WithoutBlock10OnlyTheInstantaneousFiguresLive)
{
    TInterfaceME me(40, 4);
    me.Power->SetValue(100, 0);
    me.ReactivePower->SetValue(0, 0);
    me.IntervalTime->SetValue(120, 0);
    me.Power->TickStamp = me.ReactivePower->TickStamp = me.IntervalTime->TickStamp = 0;
    me.Tick(uint16_t(100));
    EXPECT_TRUE(me.PowerFactor->IsValid());
    EXPECT_EQ(me.PowerFactor->GetDisplay(), QStringLiteral("1.00"));
    for (TValue* v : std::initializer_list<TValue*>{me.IntervalNumber, me.AgreedEnergy, me.MeasuredEnergy,
                                                    me.OptimalIntervalPower, me.HourTime, me.OptimalPower,
                                                    me.OptimalEnergy, me.PowerDeviation, me.EnergyDeviation}) {
        EXPECT_FALSE(v->IsValid());
        EXPECT_EQ(v->GetDisplay(), QString());
    }
}

TEST(Consumption, ChainExpiresWithItsSourcesAndInvalidateAllClearsEverything)
{
    TInterfaceME me(40, 4);
    me.Tick(uint16_t(0));
    FeedBlock10(me, 100);
    me.Tick(uint16_t(100));
    ASSERT_TRUE(me.PowerDeviation->IsValid());
    // Only the instantaneous powers keep coming (blocks 2 and 8).
    for (uint32_t t = 200; t <= 40100; t += 100) {
        if (t % 1000 == 100) {
            me.Power->SetValue(80, 0);
            me.ReactivePower->SetValue(60, 0);
            me.Power->TickStamp = me.ReactivePower->TickStamp = static_cast<uint16_t>(t);
        }
        me.Tick(static_cast<uint16_t>(t));
    }
    EXPECT_TRUE(me.PowerFactor->IsValid());
    EXPECT_FALSE(me.HourTime->IsValid());
    EXPECT_FALSE(me.OptimalPower->IsValid());
    EXPECT_FALSE(me.OptimalEnergy->IsValid());
    EXPECT_FALSE(me.PowerDeviation->IsValid());
    EXPECT_FALSE(me.EnergyDeviation->IsValid());
    me.InvalidateAll();
    for (uint8_t n = 1; n <= TInterfaceME::ValueCount; ++n) {
        EXPECT_FALSE(me.Value(n)->IsValid()) << int(n);
        EXPECT_EQ(me.Value(n)->Age, TValue::NoAge) << int(n);
    }
}
