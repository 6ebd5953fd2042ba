// Validity, ageing and the one-tick Changed flag, driven by an explicit clock.
#include "values/ValueIntCF.h"
#include "values/ValueKinds.h"
#include "values/Values.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Ticks v every 100 ms from `from` (exclusive) to `to` (inclusive) and
// returns the offsets from `base` at which Changed was reported.
std::vector<uint32_t> ChangedOffsets(TValue& v, uint16_t base, uint32_t from, uint32_t to)
{
    std::vector<uint32_t> hits;
    for (uint32_t t = from + 100; t <= to; t += 100) {
        v.Tick(static_cast<uint16_t>(base + t));
        if (v.Changed)
            hits.push_back(t);
    }
    return hits;
}

} // namespace

TEST(ValueModel, NeverSetValueIsInvalidAndStaysUnaged)
{
    TValueWord v(40);
    EXPECT_FALSE(v.IsValid());
    EXPECT_EQ(v.Age, TValue::NoAge);
    EXPECT_EQ(v.GetDisplay(), QString());
    // Created invalid and marked changed: the first tick reports it once.
    v.Tick(uint16_t(500));
    EXPECT_TRUE(v.Changed);
    const auto hits = ChangedOffsets(v, 500, 0, 120000);
    EXPECT_TRUE(hits.empty());
    EXPECT_EQ(v.Age, TValue::NoAge);
    EXPECT_EQ(v.GetDisplay(), QString());
}

TEST(ValueModel, ExpiresFortySecondsAfterSetAndReportsChangedTwice)
{
    // Bases chosen so that the 16-bit millisecond counter wraps inside the
    // forty seconds in the second run.
    for (uint16_t base : {uint16_t(1000), uint16_t(40000)}) {
        TValueWord v(40);
        v.Tick(base); // consume the creation change
        v.SetValue(123, 0);
        v.TickStamp = base; // as if set exactly at base
        std::vector<uint32_t> hits;
        bool validAt39900 = false;
        bool validAt40000 = true;
        for (uint32_t t = 100; t <= 45000; t += 100) {
            v.Tick(static_cast<uint16_t>(base + t));
            if (v.Changed)
                hits.push_back(t);
            if (t == 39900)
                validAt39900 = v.IsValid() && v.GetDisplay() == QStringLiteral("123");
            if (t == 40000)
                validAt40000 = v.IsValid();
        }
        EXPECT_EQ(hits, (std::vector<uint32_t>{100, 40000})) << "base " << base;
        EXPECT_TRUE(validAt39900);
        EXPECT_FALSE(validAt40000);
        EXPECT_EQ(v.Age, 45);
        EXPECT_EQ(v.GetDisplay(), QString());
    }
}

TEST(ValueModel, AgeingKeepsItsRhythmWhenTicksComeLate)
{
    TValueWord v(40);
    v.SetValue(1, 0);
    v.TickStamp = 0;
    v.Tick(uint16_t(1500)); // late tick: one second counted, the stamp stays on the grid
    EXPECT_EQ(v.Age, 1);
    EXPECT_EQ(v.TickStamp, 1000);
    v.Tick(uint16_t(2000));
    EXPECT_EQ(v.Age, 2);
    // A gap of several seconds is caught up one second per tick.
    v.Tick(uint16_t(5200));
    v.Tick(uint16_t(5300));
    v.Tick(uint16_t(5400));
    EXPECT_EQ(v.Age, 5);
    v.Tick(uint16_t(5500));
    EXPECT_EQ(v.Age, 5);
    // Setting again starts over.
    v.SetValue(2, 0);
    EXPECT_EQ(v.Age, 0);
    v.Tick(static_cast<uint16_t>(v.TickStamp + 100));
    EXPECT_TRUE(v.Changed);
    EXPECT_TRUE(v.IsValid());
}

TEST(ValueModel, NeverExpiringValueStaysValidUntilInvalidated)
{
    TValueString v(40);
    v.ClearMaxAge();
    EXPECT_TRUE(v.NeverExpires());
    v.SetText(QStringLiteral("QDR"), 0);
    v.TickStamp = 0;
    const auto hits = ChangedOffsets(v, 0, 0, 200000);
    EXPECT_EQ(hits, (std::vector<uint32_t>{100}));
    EXPECT_TRUE(v.IsValid());
    EXPECT_EQ(v.GetDisplay(), QStringLiteral("QDR"));
    v.Invalidate();
    EXPECT_FALSE(v.IsValid());
    EXPECT_EQ(v.GetDisplay(), QString());
    v.Tick(uint16_t(100));
    EXPECT_TRUE(v.Changed);
}

TEST(ValueModel, MergeSourceAgeTakesTheOldestExpiringSource)
{
    TValueWord young(40), old(40), lasting(0), missing(40);
    young.SetValue(1, 3);
    old.SetValue(1, 17);
    lasting.SetValue(1, 0);
    lasting.Age = 500; // old, but it never expires, so it does not age the result

    uint16_t age = 0;
    bool valid = true;
    EXPECT_TRUE(young.MergeSourceAge(age, valid));
    EXPECT_TRUE(old.MergeSourceAge(age, valid));
    EXPECT_TRUE(lasting.MergeSourceAge(age, valid));
    EXPECT_TRUE(valid);
    EXPECT_EQ(age, 17);

    EXPECT_FALSE(missing.MergeSourceAge(age, valid));
    EXPECT_FALSE(valid);
    // Once invalid, later valid sources do not make it valid again.
    EXPECT_TRUE(young.MergeSourceAge(age, valid));
    EXPECT_FALSE(valid);
}

TEST(ValueModel, TickAllBringsComputedValuesUpToDateInListOrder)
{
    TValues list(8);
    auto* p = list.AddNew<TValueWord>(uint16_t(40));
    auto* q = list.AddNew<TValueInt>(uint16_t(40));
    auto* cf = list.AddNew<TValueIntCF>(p, uint16_t(40), q);
    cf->Computed = true;
    // A computed value placed before its sources only catches up a tick later.
    TValues late(8);
    auto* lateCf = late.AddNew<TValueIntCF>(p, uint16_t(40), q);
    lateCf->Computed = true;

    // Two ticks, so that the creation changes have passed.
    list.TickAll(uint16_t(0));
    list.TickAll(uint16_t(50));
    late.TickAll(uint16_t(50));
    p->SetValue(80, 0);
    q->SetValue(60, 0);
    p->TickStamp = q->TickStamp = 0;

    late.TickAll(uint16_t(100)); // sees no Changed yet: the sources tick after it
    EXPECT_FALSE(lateCf->IsValid());
    list.TickAll(uint16_t(100));
    EXPECT_TRUE(cf->Changed);
    EXPECT_TRUE(cf->IsValid());
    EXPECT_EQ(cf->GetValue(), 20);
    EXPECT_EQ(cf->TickStamp, 100);
    late.TickAll(uint16_t(200));
    EXPECT_TRUE(lateCf->IsValid());

    // The computed value expires together with its sources.
    std::vector<uint32_t> hits;
    for (uint32_t t = 200; t <= 41000; t += 100) {
        list.TickAll(static_cast<uint16_t>(t));
        if (cf->Changed)
            hits.push_back(t);
    }
    EXPECT_EQ(hits, (std::vector<uint32_t>{40000}));
    EXPECT_FALSE(cf->IsValid());
}

TEST(ValueModel, ComputedValueInheritsTheAgeOfItsOldestSource)
{
    TValues list(4);
    auto* p = list.AddNew<TValueWord>(uint16_t(40));
    auto* q = list.AddNew<TValueInt>(uint16_t(40));
    auto* cf = list.AddNew<TValueIntCF>(p, uint16_t(40), q);
    cf->Computed = true;
    p->SetValue(100, 30); // already 30 s old when it arrives
    q->SetValue(0, 0);
    p->TickStamp = q->TickStamp = 0;
    list.TickAll(uint16_t(100));
    EXPECT_EQ(cf->Age, 30);
    for (uint32_t t = 200; t <= 10000; t += 100)
        list.TickAll(static_cast<uint16_t>(t));
    EXPECT_FALSE(p->IsValid());
    EXPECT_FALSE(cf->IsValid());
    EXPECT_TRUE(q->IsValid());
}

TEST(ValueModel, InvalidateAllAndTickAllSkipEmptyEntries)
{
    TValues list(64);
    auto* a = list.AddNew<TValueWord>(uint16_t(40));
    auto b = std::make_unique<TValueLong>(uint16_t(0));
    TValueLong* braw = b.get();
    ASSERT_TRUE(list.Put(5, std::move(b)));
    EXPECT_EQ(list.Count(), 6);
    a->SetValue(1, 0);
    braw->SetValue(2, 0);
    list.TickAll(uint16_t(100));
    EXPECT_TRUE(a->IsValid());
    EXPECT_TRUE(braw->IsValid());
    list.InvalidateAll();
    EXPECT_FALSE(a->IsValid());
    EXPECT_FALSE(braw->IsValid());
    list.TickAll(uint16_t(200));
    EXPECT_TRUE(a->Changed);
    EXPECT_TRUE(braw->Changed);
    EXPECT_FALSE(list.Put(64, std::make_unique<TValueWord>(uint16_t(40))));
}
