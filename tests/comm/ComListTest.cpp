#include "comm/ComList.h"

#include <gtest/gtest.h>

namespace {
void AddByte(TComList& log, char kind, uint8_t first)
{
    const uint8_t b[2] = { first, 7 };
    log.Add(kind, b, 2);
}
}

TEST(ComList, RingDropsOldestAndToStringsEmptiesInOrder)
{
    TComList log(96);
    for (int i = 0; i < 97; ++i)
        AddByte(log, '<', static_cast<uint8_t>(i));
    ASSERT_EQ(log.Count(), 96);
    // Entry 0 was dropped; the oldest left is 1, the newest 96.
    EXPECT_EQ(static_cast<uint8_t>(log.Item(1).Data.at(0)), 1);
    EXPECT_EQ(static_cast<uint8_t>(log.Item(96).Data.at(0)), 96);
    EXPECT_TRUE(log.Item(97).Data.isEmpty());

    QStringList keep { QStringLiteral("earlier line") };
    EXPECT_TRUE(log.ToStrings(keep, false));
    EXPECT_EQ(keep.size(), 97);
    EXPECT_EQ(keep.at(0), QStringLiteral("earlier line"));
    EXPECT_EQ(log.Count(), 96) << "without clear the ring is kept";

    QStringList lines;
    EXPECT_TRUE(log.ToStrings(lines, true));
    ASSERT_EQ(lines.size(), 96);
    EXPECT_EQ(lines.front(), QStringLiteral("< [    2] :    1   7"));
    EXPECT_EQ(lines.back(), QStringLiteral("< [    2] :   96   7"));
    EXPECT_EQ(log.Count(), 0);

    QStringList none;
    EXPECT_FALSE(log.ToStrings(none, true));
    EXPECT_TRUE(none.isEmpty());

    // After emptying, the ring fills from a clean start again.
    AddByte(log, '>', 200);
    EXPECT_EQ(log.Count(), 1);
    EXPECT_EQ(log.ItemText(1), QStringLiteral("> [    2] :  200   7"));
}

TEST(ComList, CapacityZeroAndResizing)
{
    TComList log;
    EXPECT_EQ(log.Capacity(), 0);
    AddByte(log, '>', 1);
    EXPECT_EQ(log.Count(), 0);
    QStringList lines;
    EXPECT_FALSE(log.ToStrings(lines, true));
    EXPECT_TRUE(lines.isEmpty());

    log.SetCapacity(3);
    for (int i = 0; i < 5; ++i)
        AddByte(log, '#', static_cast<uint8_t>(i));
    ASSERT_EQ(log.Count(), 3);
    EXPECT_EQ(static_cast<uint8_t>(log.Item(1).Data.at(0)), 2);
    EXPECT_EQ(log.Item(1).Kind, '#');

    // Setting a capacity starts an empty ring.
    log.SetCapacity(2);
    EXPECT_EQ(log.Count(), 0);
    log.SetCapacity(0);
    AddByte(log, '>', 1);
    EXPECT_EQ(log.Count(), 0);
}

TEST(ComList, ItemTextFormat)
{
    TComList log(4);
    const uint8_t frame[4] = { 2, 0, 1, 1 };
    log.Add('>', frame, 4);
    EXPECT_EQ(log.ItemText(1), QStringLiteral("> [    4] :    2   0   1   1"));

    log.Add('#', nullptr, 0);
    EXPECT_EQ(log.ItemText(2), QStringLiteral("# [    0] : "));

    std::vector<uint8_t> big(1024, 255);
    log.Add('<', big.data(), 1024);
    const QString text = log.ItemText(3);
    EXPECT_TRUE(text.startsWith(QStringLiteral("< [ 1024] :  255 255"))) << text.toStdString();
    EXPECT_EQ(text.size(), 12 + 4 * 1024);
}
