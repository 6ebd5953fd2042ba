// The text forms of the value kinds and of the power factor.
#include "values/ValueIntCF.h"
#include "values/ValueKinds.h"
#include "values/Values.h"

#include <gtest/gtest.h>

TEST(ValueText, PlainKinds)
{
    TValueStrings tariff(40);
    tariff.Strings << QStringLiteral("VT") << QStringLiteral("NT");
    tariff.SetIndex(1, 0);
    EXPECT_EQ(tariff.GetDisplay(), QStringLiteral("NT"));
    tariff.SetIndex(2, 0);
    EXPECT_TRUE(tariff.IsValid());
    EXPECT_EQ(tariff.GetDisplay(), QString());
    tariff.SetIndex(0xFFFF, 0);
    EXPECT_EQ(tariff.GetDisplay(), QString());

    TValueLong l(40);
    l.SetValue(4000000000u, 0);
    EXPECT_EQ(l.GetDisplay(), QStringLiteral("4000000000"));

    TValueWord w(40);
    w.SetValue(65535, 0);
    EXPECT_EQ(w.GetDisplay(), QStringLiteral("65535"));

    TValueInt i(40);
    i.ShowPlus = true;
    i.SetValue(-5, 0);
    EXPECT_EQ(i.GetDisplay(), QStringLiteral("-5"));
    i.SetValue(5, 0);
    EXPECT_EQ(i.GetDisplay(), QStringLiteral("+5"));
    i.SetValue(0, 0);
    EXPECT_EQ(i.GetDisplay(), QStringLiteral("0"));
    i.ShowPlus = false;
    i.SetValue(5, 0);
    EXPECT_EQ(i.GetDisplay(), QStringLiteral("5"));
    i.SetValue(-32768, 0);
    EXPECT_EQ(i.GetDisplay(), QStringLiteral("-32768"));

    TValueSInt s(40);
    s.ShowPlus = true;
    s.SetValue(-128, 0);
    EXPECT_EQ(s.GetDisplay(), QStringLiteral("-128"));
    s.SetValue(127, 0);
    EXPECT_EQ(s.GetDisplay(), QStringLiteral("+127"));
}

TEST(ValueText, ClockDateAndStamp)
{
    TValueWordTime t(40);
    t.SetValue(75, 0);
    EXPECT_EQ(t.GetText(), QStringLiteral("75"));
    EXPECT_EQ(t.GetDisplay(), QStringLiteral("01:15"));
    t.SetValue(5999, 0);
    EXPECT_EQ(t.GetDisplay(), QStringLiteral("99:59"));
    t.SetValue(6000, 0);
    EXPECT_EQ(t.GetDisplay(), QStringLiteral("??:??"));

    TValueLongDate d(40);
    d.SetValue(0, 0);
    EXPECT_EQ(d.GetDisplay(), QStringLiteral("30.12.1899"));
    d.SetValue(38666, 0);
    EXPECT_EQ(d.GetText(), QStringLiteral("38666"));
    EXPECT_EQ(d.GetDisplay(), QStringLiteral("10.11.2005"));

    TValueDateTime dt(40);
    dt.SetValue(0x0000FFFFu, 0);
    EXPECT_TRUE(dt.IsValid());
    EXPECT_EQ(dt.GetDisplay(), QString());
    dt.SetValue((uint32_t(24060) << 16) | (1440u * 10 + 8 * 60 + 5), 0);
    EXPECT_EQ(dt.GetDisplay(), QStringLiteral("10.01.2005 08:05"));
    dt.Invalidate();
    EXPECT_EQ(dt.GetDisplay(), QString());
}

namespace {
struct TPowerCase {
    uint16_t P;
    int16_t Q;
    bool ShowPlus;
    int K;
    const char* Text;
};

// Ticks a power factor over fresh P and Q; returns it for inspection.
void RunCase(const TPowerCase& c, TValues& list, TValueWord*& p, TValueInt*& q, TValueIntCF*& cf)
{
    p = list.AddNew<TValueWord>(uint16_t(40));
    q = list.AddNew<TValueInt>(uint16_t(40));
    cf = list.AddNew<TValueIntCF>(p, uint16_t(40), q);
    cf->Computed = true;
    q->ShowPlus = c.ShowPlus;
    p->SetValue(c.P, 0);
    q->SetValue(c.Q, 0);
    p->TickStamp = q->TickStamp = 0;
    list.TickAll(uint16_t(100));
}
} // namespace

TEST(ValueText, PowerFactorTable)
{
    const TPowerCase cases[] = {
        {100, 0, true, 0, " 1.00"},
        {80, 60, true, 20, "+0.80"},
        {80, -60, true, -20, "-0.80"},
        {0, 50, true, 100, "+0.00"},
        {0, -50, true, -100, "-0.00"},
        {80, 60, false, 20, "0.80"},
        {80, -60, false, -20, "0.80"},
        {1, 0, false, 0, "1.00"},
        // Large loads where P^2 + Q^2 passes 32 bits.
        {65535, 0, true, 0, " 1.00"},
        {65535, -32768, true, -11, "-0.89"},
        {60000, 32767, true, 13, "+0.87"},
    };
    for (const TPowerCase& c : cases) {
        TValues list(4);
        TValueWord* p;
        TValueInt* q;
        TValueIntCF* cf;
        RunCase(c, list, p, q, cf);
        EXPECT_TRUE(cf->IsValid()) << c.P << "," << c.Q;
        EXPECT_EQ(cf->GetValue(), c.K) << c.P << "," << c.Q;
        EXPECT_EQ(cf->GetDisplay(), QString::fromLatin1(c.Text)) << c.P << "," << c.Q;
    }
}

TEST(ValueText, PowerFactorOutOfRangeCodeShowsQuestionMarks)
{
    TValueWord p(40);
    TValueInt q(40);
    TValueIntCF cf(&p, 40, &q);
    cf.ShowPlus = true;
    cf.SetValue(-128, 0);
    EXPECT_EQ(cf.GetDisplay(), QStringLiteral(" ?.??"));
    cf.SetValue(101, 0);
    EXPECT_EQ(cf.GetDisplay(), QStringLiteral(" ?.??"));
    cf.ShowPlus = false;
    EXPECT_EQ(cf.GetDisplay(), QStringLiteral("?.??"));
}

TEST(ValueText, PowerFactorWithoutLoadIsInvalidAndTheTickGoesOn)
{
    TValues list(8);
    TValueWord* p;
    TValueInt* q;
    TValueIntCF* cf;
    RunCase({100, 0, true, 0, ""}, list, p, q, cf);
    auto* after = list.AddNew<TValueWord>(uint16_t(40));
    after->SetValue(7, 0);
    after->TickStamp = 0;
    ASSERT_TRUE(cf->IsValid());

    p->SetValue(0, 0);
    q->SetValue(0, 0);
    p->TickStamp = q->TickStamp = 200;
    list.TickAll(uint16_t(200));
    EXPECT_FALSE(cf->IsValid());
    EXPECT_TRUE(cf->Changed);
    EXPECT_EQ(cf->GetDisplay(), QString());
    // Values behind it in the list still tick.
    EXPECT_TRUE(after->Changed);
    for (uint32_t t = 300; t <= 40000; t += 100)
        list.TickAll(static_cast<uint16_t>(t));
    EXPECT_FALSE(after->IsValid());

    // A load again brings it back.
    p->SetValue(50, 0);
    q->SetValue(0, 0);
    p->TickStamp = q->TickStamp = 40100;
    list.TickAll(uint16_t(40100));
    EXPECT_TRUE(cf->IsValid());
    EXPECT_EQ(cf->GetDisplay(), QStringLiteral(" 1.00"));
}

TEST(ValueText, PowerFactorFollowsMissingSourcesAndSignFlag)
{
    TValues list(4);
    TValueWord* p;
    TValueInt* q;
    TValueIntCF* cf;
    RunCase({80, 60, true, 20, ""}, list, p, q, cf);
    ASSERT_EQ(cf->GetDisplay(), QStringLiteral("+0.80"));
    q->ShowPlus = false;
    q->SetValue(60, 0);
    q->TickStamp = 200;
    list.TickAll(uint16_t(200));
    EXPECT_EQ(cf->GetDisplay(), QStringLiteral("0.80"));
    q->Invalidate();
    list.TickAll(uint16_t(300));
    EXPECT_FALSE(cf->IsValid());
}
