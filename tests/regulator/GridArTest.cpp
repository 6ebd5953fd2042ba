// The archive month table value over a real archive.
#include "regulator/ArchiveQDR.h"
#include "regulator/ValueGridAr.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>

namespace {
std::array<uint8_t, 10> Table(uint16_t m0, uint16_t m1, uint16_t c0, uint16_t c1, uint16_t lost)
{
    std::array<uint8_t, 10> t{};
    const uint16_t w[5] = {m0, m1, c0, c1, lost};
    for (int i = 0; i < 5; ++i) {
        t[2 * i] = static_cast<uint8_t>(w[i]);
        t[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
    }
    return t;
}

QString Cell(const TValueGrid& g, int column, int row, int& alignment)
{
    QString text;
    alignment = 2;
    g.GetCellText(column, row, text, alignment);
    return text;
}

const uint16_t Nov2005 = 2005 * 12 + 10;
const uint16_t Oct2005 = 2005 * 12 + 9;
} // namespace

TEST(GridAr, LostRecordsGoToTheOlderMonthWhileItHasRecords)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TArchiveQDR archive(dir.path());
    TValueGridAr grid(&archive, 40);

    auto t = Table(Nov2005, Oct2005, 900, 2900, 76);
    grid.SetTable(t.data());
    EXPECT_TRUE(grid.IsValid());
    EXPECT_EQ(archive.MonthEntry(0).Month, Nov2005);
    EXPECT_EQ(archive.MonthEntry(0).Count, 900);
    EXPECT_EQ(archive.MonthEntry(0).Lost, 0);
    EXPECT_EQ(archive.MonthEntry(1).Month, Oct2005);
    EXPECT_EQ(archive.MonthEntry(1).Count, 2976);
    EXPECT_EQ(archive.MonthEntry(1).Lost, 76);

    // No older month: the lost ones belong to the current one.
    t = Table(Nov2005, 0, 900, 0, 5);
    grid.SetTable(t.data());
    EXPECT_EQ(archive.MonthEntry(0).Count, 905);
    EXPECT_EQ(archive.MonthEntry(0).Lost, 5);
    EXPECT_EQ(archive.MonthEntry(1).Month, 0);
    EXPECT_EQ(archive.MonthEntry(1).Count, 0);
    EXPECT_EQ(archive.MonthEntry(1).Lost, 0);

    // A count and lost total beyond 16 bits is held at the top, not wrapped.
    t = Table(Nov2005, 0, 65000, 0, 1000);
    grid.SetTable(t.data());
    EXPECT_EQ(archive.MonthEntry(0).Count, 65535);
    EXPECT_EQ(grid.Lost, 1000);
}

TEST(GridAr, CellsShowTheArchiveEntries)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TArchiveQDR archive(dir.path());
    TValueGridAr grid(&archive, 40);
    int a = 0;
    EXPECT_EQ(Cell(grid, 1, 0, a), QStringLiteral("Počet záznamov"));
    EXPECT_EQ(Cell(grid, 1, 1, a), QString()); // not valid yet

    const auto t = Table(Nov2005, Oct2005, 900, 2900, 76);
    grid.SetTable(t.data());
    EXPECT_EQ(Cell(grid, 0, 1, a), QStringLiteral("2005NOV"));
    EXPECT_EQ(a, 2);
    EXPECT_EQ(Cell(grid, 1, 1, a), QStringLiteral("900"));
    EXPECT_EQ(a, -2);
    EXPECT_EQ(Cell(grid, 0, 2, a), QStringLiteral("2005OCT"));
    EXPECT_EQ(Cell(grid, 1, 2, a), QStringLiteral("2976"));
    EXPECT_EQ(Cell(grid, 2, 2, a), QStringLiteral("76"));
    EXPECT_EQ(Cell(grid, 2, 1, a), QStringLiteral("0"));
    EXPECT_EQ(Cell(grid, 3, 1, a), QString());
    // Row 257 must not wrap round to entry 0.
    EXPECT_EQ(Cell(grid, 1, 257, a), QString());
    EXPECT_EQ(Cell(grid, 1, 14, a), QString());

    TValueGridAr orphan(nullptr, 40);
    orphan.SetTable(t.data());
    EXPECT_TRUE(orphan.IsValid());
    EXPECT_EQ(orphan.Counts[1], 2900);
    EXPECT_EQ(Cell(orphan, 1, 1, a), QString());
}
