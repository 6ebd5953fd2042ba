#include "core/CountObjects.h"
#include "core/Mem.h"
#include "core/Objects.h"
#include "core/Wordset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// Counts constructions and destructions so that every free can be checked to
// happen exactly once (ASan catches a second one, this catches a missing one).
struct Tracked {
    static inline int Alive = 0;
    static inline int Destroyed = 0;
    int Tag;
    explicit Tracked(int tag)
        : Tag(tag)
    {
        ++Alive;
    }
    virtual ~Tracked()
    {
        --Alive;
        ++Destroyed;
    }
};

struct TrackedChild : Tracked {
    using Tracked::Tracked;
};

class Counting : public ::testing::Test {
protected:
    void SetUp() override
    {
        Tracked::Alive = 0;
        Tracked::Destroyed = 0;
    }
    void TearDown() override { EXPECT_EQ(Tracked::Alive, 0) << "objects outlived their owner"; }
    static std::unique_ptr<Tracked> Make(int tag) { return std::make_unique<Tracked>(tag); }
};

using ObjectsTest = Counting;
using CountObjectsTest = Counting;

} // namespace

TEST_F(ObjectsTest, PutBeyondCapacityFreesTheObjectAndPutBelowLeavesHoles)
{
    TObjects<Tracked> list(64);
    EXPECT_FALSE(list.Put(70, Make(70)));
    EXPECT_EQ(Tracked::Destroyed, 1);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Put(64, Make(64)));
    EXPECT_EQ(Tracked::Destroyed, 2);

    EXPECT_TRUE(list.Put(5, Make(5)));
    EXPECT_EQ(list.Count(), 6);
    for (uint16_t i = 0; i < 5; ++i)
        EXPECT_EQ(list.Items(i), nullptr) << i;
    ASSERT_NE(list.Items(5), nullptr);
    EXPECT_EQ(list.Items(5)->Tag, 5);
    EXPECT_EQ(list.Items(6), nullptr);
    EXPECT_EQ(list.Items(63000), nullptr);

    // Put on an occupied entry frees the old object once and keeps Count.
    EXPECT_TRUE(list.Put(5, Make(55)));
    EXPECT_EQ(Tracked::Destroyed, 3);
    EXPECT_EQ(list.Items(5)->Tag, 55);
    EXPECT_EQ(list.Count(), 6);
    // Add appends after the highest entry, not into the first hole.
    EXPECT_TRUE(list.Add(Make(6)));
    EXPECT_EQ(list.Items(6)->Tag, 6);
    EXPECT_EQ(list.Count(), 7);
}

TEST_F(ObjectsTest, AddOnAFullListFreesTheObjectAndAddNewReportsIt)
{
    TObjects<Tracked> list(2);
    EXPECT_NE(list.AddNew<TrackedChild>(1), nullptr);
    auto* second = list.AddNew<TrackedChild>(2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(list.Items(1), second);
    EXPECT_FALSE(list.Add(Make(3)));
    EXPECT_EQ(list.AddNew<TrackedChild>(4), nullptr);
    EXPECT_EQ(Tracked::Alive, 2);
    EXPECT_EQ(list.Count(), 2);
}

TEST_F(ObjectsTest, DeletingTheLastShortensByOneButAMiddleDeleteLeavesCount)
{
    TObjects<Tracked> list(100);
    for (int i = 0; i < 10; ++i)
        list.Add(Make(i));
    list.Delete(4);
    EXPECT_EQ(list.Count(), 10);
    EXPECT_EQ(list.Items(4), nullptr);
    EXPECT_EQ(Tracked::Destroyed, 1);
    list.Delete(4); // already empty: nothing more to free
    EXPECT_EQ(Tracked::Destroyed, 1);

    list.Delete(9);
    EXPECT_EQ(list.Count(), 9);
    // The list shrinks by one only, even when the entry below is a hole.
    list.Delete(8);
    list.Delete(7);
    list.Delete(6);
    list.Delete(5);
    EXPECT_EQ(list.Count(), 5);
    list.Delete(4);
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Items(3)->Tag, 3);
    list.Delete(4); // at Count: ignored
    list.Delete(60000);
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(Tracked::Alive, 4);
}

TEST_F(ObjectsTest, EntriesAcrossPageBoundariesStayApartAndPagesFollowTheCount)
{
    TObjects<Tracked> list(65535);
    ASSERT_TRUE(list.Put(255, Make(255)));
    ASSERT_TRUE(list.Put(256, Make(256)));
    EXPECT_EQ(list.PagesPresent(), 2u);
    EXPECT_EQ(list.Items(255)->Tag, 255);
    EXPECT_EQ(list.Items(256)->Tag, 256);

    // The highest index a u16 capacity allows, and the one it refuses.
    ASSERT_TRUE(list.Put(65534, Make(65534)));
    EXPECT_EQ(list.Count(), 65535);
    EXPECT_FALSE(list.Put(65535, Make(65535)));
    EXPECT_EQ(list.Items(65534)->Tag, 65534);
    EXPECT_EQ(list.Items(65535), nullptr);
    EXPECT_EQ(list.PagesPresent(), 256u); // every page below the top one exists

    // Emptying the top page frees it without touching the neighbours below.
    list.Delete(65534);
    EXPECT_EQ(list.Count(), 65534);
    while (list.Count() > 65280)
        list.Delete(static_cast<uint16_t>(list.Count() - 1));
    EXPECT_EQ(list.PagesPresent(), 255u);
    EXPECT_EQ(list.Items(256)->Tag, 256);
    EXPECT_EQ(list.Items(255)->Tag, 255);

    // Growing again over the freed page finds it empty.
    ASSERT_TRUE(list.Put(65300, Make(65300)));
    for (uint16_t i = 65280; i < 65300; ++i)
        ASSERT_EQ(list.Items(i), nullptr) << i;

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.PagesPresent(), 0u);
    EXPECT_EQ(Tracked::Destroyed, 5);
}

TEST_F(ObjectsTest, DeletingThePageOfTheLastEntryKeepsTheEntriesBelow)
{
    TObjects<Tracked> list(1000);
    list.Put(0, Make(0));
    list.Put(511, Make(511));
    list.Put(512, Make(512));
    EXPECT_EQ(list.PagesPresent(), 3u);
    list.Delete(512); // first entry of page 2, deleted as the last one
    EXPECT_EQ(list.PagesPresent(), 2u);
    EXPECT_EQ(list.Items(511)->Tag, 511);
    EXPECT_EQ(list.Items(0)->Tag, 0);
    list.Put(512, Make(1512));
    EXPECT_EQ(list.Items(512)->Tag, 1512);
    EXPECT_EQ(list.Items(511)->Tag, 511);
}

TEST(Mem, RecordsAreAllocatedOnDemandWithinCapacityAndRecordSize)
{
    TMem mem(4, 10);
    EXPECT_EQ(mem.Get(0), nullptr);
    EXPECT_EQ(mem.Alloc(10), nullptr);
    EXPECT_EQ(mem.Count(), 0);
    uint8_t* r3 = mem.Alloc(3);
    ASSERT_NE(r3, nullptr);
    std::memcpy(r3, "abcd", 4);
    EXPECT_EQ(mem.Count(), 4);
    EXPECT_EQ(mem.Get(2), nullptr);
    EXPECT_EQ(mem.Alloc(3), r3) << "an existing record is returned, not replaced";
    EXPECT_EQ(std::memcmp(mem.Get(3), "abcd", 4), 0);

    uint8_t* r4 = mem.Append();
    ASSERT_NE(r4, nullptr);
    EXPECT_NE(r4, r3);
    EXPECT_EQ(mem.Count(), 5);
    EXPECT_FALSE(mem.IsFull());
    ASSERT_NE(mem.Alloc(9), nullptr);
    EXPECT_TRUE(mem.IsFull());
    EXPECT_EQ(mem.Append(), nullptr);
    EXPECT_EQ(mem.Count(), 10);

    TMem none(0, 10);
    EXPECT_EQ(none.Alloc(0), nullptr);
    EXPECT_EQ(none.Count(), 0);
}

TEST(Mem, MiddleDeleteLeavesAHoleAndDeleteLastShortens)
{
    TMem mem(2, 600);
    for (int i = 0; i < 5; ++i)
        mem.Append()[0] = static_cast<uint8_t>(i);
    mem.Delete(2);
    EXPECT_EQ(mem.Count(), 5);
    EXPECT_EQ(mem.Get(2), nullptr);
    EXPECT_EQ(mem.Get(3)[0], 3);
    mem.DeleteLast();
    mem.DeleteLast();
    EXPECT_EQ(mem.Count(), 3);
    EXPECT_EQ(mem.Get(1)[0], 1);
    mem.DeleteLast(); // the hole: Count still drops by one
    EXPECT_EQ(mem.Count(), 2);

    // Sparse use across pages, then freeing the upper page.
    ASSERT_NE(mem.Alloc(256), nullptr);
    ASSERT_NE(mem.Alloc(599), nullptr);
    EXPECT_EQ(mem.PagesPresent(), 3u);
    while (mem.Count() > 256)
        mem.DeleteLast();
    EXPECT_EQ(mem.PagesPresent(), 1u);
    EXPECT_EQ(mem.Get(1)[0], 1);
    mem.Clear();
    EXPECT_EQ(mem.Count(), 0);
    EXPECT_EQ(mem.PagesPresent(), 0u);
    mem.DeleteLast(); // on an empty store: nothing
    EXPECT_EQ(mem.Count(), 0);
}

TEST(Mem, ChangingTheRecordSizeClearsButTheSameSizeKeepsRecords)
{
    TMem mem(8, 16);
    mem.Append()[0] = 42;
    mem.SetRecordSize(8);
    ASSERT_EQ(mem.Count(), 1);
    EXPECT_EQ(mem.Get(0)[0], 42);
    mem.SetRecordSize(3);
    EXPECT_EQ(mem.Count(), 0);
    EXPECT_EQ(mem.RecordSize(), 3);
    uint8_t* r = mem.Append();
    ASSERT_NE(r, nullptr);
    r[2] = 7; // ASan reports a write past the new, smaller size
    EXPECT_EQ(mem.Get(0)[2], 7);
}

namespace {
// A store whose own Clear is seen through a base reference.
class CountingMem : public TMem {
public:
    using TMem::TMem;
    int Clears = 0;
    void Clear() override
    {
        ++Clears;
        TMem::Clear();
    }
};
} // namespace

TEST(Mem, SetRecordSizeGoesThroughTheOverriddenClear)
{
    CountingMem mem(4, 4);
    mem.Append();
    TMem& base = mem;
    base.SetRecordSize(6);
    EXPECT_EQ(mem.Clears, 1);
    EXPECT_EQ(mem.Count(), 0);
}

TEST_F(CountObjectsTest, CountsStopAt255AndTheLastReleaseFreesTheObject)
{
    TCountObjects<Tracked> set(4);
    ASSERT_TRUE(set.Put(2, Make(2))); // the first user
    int addRefs = 1;
    while (set.AddRef(2))
        ++addRefs;
    EXPECT_EQ(addRefs, 255);
    EXPECT_EQ(set.RefCount(2), 255);

    for (int i = 254; i >= 1; --i) {
        ASSERT_EQ(set.Release(2), i);
        ASSERT_EQ(Tracked::Destroyed, 0);
    }
    EXPECT_EQ(set.Release(2), 0);
    EXPECT_EQ(Tracked::Destroyed, 1);
    EXPECT_EQ(set.Object(2), nullptr);
    EXPECT_EQ(set.Release(2), 0) << "a free slot stays free";
    EXPECT_EQ(Tracked::Destroyed, 1);
}

TEST_F(CountObjectsTest, PutTakesOnlyFreeSlotsAndFreesWhatItRefuses)
{
    TCountObjects<Tracked> set(3);
    EXPECT_FALSE(set.AddRef(0)) << "a free slot has no object to share";
    EXPECT_TRUE(set.Put(0, Make(10)));
    EXPECT_FALSE(set.Put(0, Make(11))) << "its users still hold the first object";
    EXPECT_EQ(set.Object(0)->Tag, 10);
    EXPECT_FALSE(set.Put(3, Make(12)));
    EXPECT_FALSE(set.Put(1, nullptr));
    EXPECT_EQ(set.RefCount(1), 0);
    EXPECT_EQ(Tracked::Destroyed, 2);
    EXPECT_EQ(set.RefCount(0), 1);
    EXPECT_EQ(set.Release(7), 0);
}

TEST_F(CountObjectsTest, FindFreeAndNextUsedWalkTheSlotsInOrder)
{
    {
        TCountObjects<Tracked> set(4);
        uint16_t i = 99;
        ASSERT_TRUE(set.FindFree(i));
        EXPECT_EQ(i, 0);
        set.Put(0, Make(0));
        set.Put(2, Make(2));
        set.Put(3, Make(3));
        ASSERT_TRUE(set.FindFree(i));
        EXPECT_EQ(i, 1);

        std::vector<int> seen;
        Tracked* obj = nullptr;
        for (uint16_t k = 0; set.NextUsed(k, obj); ++k)
            seen.push_back(obj->Tag);
        EXPECT_EQ(seen, (std::vector<int>{0, 2, 3}));
        uint16_t k = 1;
        ASSERT_TRUE(set.NextUsed(k, obj));
        EXPECT_EQ(k, 2);

        set.Put(1, Make(1));
        EXPECT_FALSE(set.FindFree(i));
        set.Release(3);
        k = 3;
        EXPECT_FALSE(set.NextUsed(k, obj));
        EXPECT_EQ(obj, nullptr);
        set.AddRef(2); // still held twice at destruction
    }
    EXPECT_EQ(Tracked::Destroyed, 4);
}

TEST(Wordset, MembersAreBitsOfWordsAndIndicesBeyondTheWordsAreNone)
{
    TWordset set(256);
    for (uint16_t i = 0; i < 272; ++i)
        EXPECT_FALSE(set.Contains(i));
    set.Include(0);
    set.Include(15);
    set.Include(16);
    set.Include(255);
    set.Include(256); // in the extra word that Size / 16 + 1 words give
    set.Include(272); // beyond every word: ignored
    EXPECT_TRUE(set.Contains(0));
    EXPECT_TRUE(set.Contains(15));
    EXPECT_TRUE(set.Contains(16));
    EXPECT_FALSE(set.Contains(17));
    EXPECT_TRUE(set.Contains(255));
    EXPECT_TRUE(set.Contains(256));
    EXPECT_FALSE(set.Contains(272));
    EXPECT_FALSE(set.Contains(65535));
    set.Exclude(15);
    EXPECT_FALSE(set.Contains(15));
    EXPECT_TRUE(set.Contains(0));
    set.Clear();
    EXPECT_FALSE(set.Contains(0));
    EXPECT_FALSE(set.Contains(256));

    TWordset tiny(0);
    tiny.Include(3);
    EXPECT_TRUE(tiny.Contains(3));
    EXPECT_FALSE(tiny.Contains(16));
}
