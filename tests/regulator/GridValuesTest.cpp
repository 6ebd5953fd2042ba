// The meters grid, the appliance/signal list and the interval records.
#include "regulator/ValueGridEm.h"
#include "regulator/ValueListIO.h"
#include "regulator/ValueListQ.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

// 52 bytes of readings: entry e gets instantaneous 100 * e + 1 and average
// 100 * e + 2, overridden per meter by `inst`.
std::array<uint8_t, TValueGridEm::ReadingBytes> Readings(std::vector<std::pair<int, uint16_t>> inst = {})
{
    std::array<uint8_t, TValueGridEm::ReadingBytes> r{};
    auto put = [&r](int offset, uint16_t v) {
        r[offset] = static_cast<uint8_t>(v);
        r[offset + 1] = static_cast<uint8_t>(v >> 8);
    };
    for (int e = 0; e <= TValueGridEm::Meters; ++e) {
        put(e * 4, static_cast<uint16_t>(100 * e + 1));
        put(e * 4 + 2, static_cast<uint16_t>(100 * e + 2));
    }
    for (auto [meter, v] : inst)
        put(meter * 4, v);
    return r;
}

struct TGridFixture {
    uint8_t Generation = 3;
    TValueWord Power{40};
    TValueWord Average{40};
    TValueInt Reactive{40};
};

QString Cell(const TValueGrid& g, int column, int row, int* alignment = nullptr)
{
    QString text;
    int a = 2;
    g.GetCellText(column, row, text, a);
    if (alignment)
        *alignment = a;
    return text;
}

} // namespace

TEST(GridEm, NamesAndRowsShownByGeneration)
{
    TGridFixture f;
    QStringList names;
    names << QStringLiteral("Hlavný") << QStringLiteral("Kompresor") << QString() << QString()
          << QStringLiteral("Pec");
    TValueGridEm grid(QStringLiteral("Elektromery"), f.Generation, &f.Power, &f.Average, &f.Reactive, 0, 0, 40,
                      names);
    ASSERT_EQ(grid.RowNames.size(), 13);
    EXPECT_EQ(grid.RowNames.at(0), QStringLiteral("00: Elektromery"));
    EXPECT_EQ(grid.RowNames.at(2), QStringLiteral("02: Kompresor"));
    EXPECT_EQ(grid.RowNames.at(5), QStringLiteral("05: Pec"));
    EXPECT_EQ(grid.RowNames.at(12), QString());
    EXPECT_EQ(Cell(grid, 0, 0), QStringLiteral("MERANIE         \\         Výkon :"));
    EXPECT_EQ(Cell(grid, 2, 0), QStringLiteral("priemerný"));
    EXPECT_EQ(Cell(grid, 3, 0), QString());

    const auto r = Readings();
    grid.MeterCount = 6;
    grid.SetReadings(r.data(), 0);
    std::vector<int> shown;
    for (int row = 0; row <= 12; ++row)
        if (grid.IsRowShown(1, row))
            shown.push_back(row);
    EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 5}));
    // The generation is read live, not copied at construction.
    for (uint8_t g : {0, 1, 2}) {
        f.Generation = g;
        for (int row = 1; row <= 12; ++row)
            EXPECT_FALSE(grid.IsRowShown(1, row)) << int(g) << " " << row;
        EXPECT_TRUE(grid.IsRowShown(0, 0));
    }

    // Names configured anew while the regulator reports three meters: the
    // unnamed ones keep their default name, the renamed one takes its new.
    grid.SetReportedMeters(3);
    grid.SetMeterNames({QString(), QStringLiteral("Lis")});
    EXPECT_EQ(grid.RowNames.mid(1, 4), (QStringList{QStringLiteral("01: Elektromer 1"), QStringLiteral("02: Lis"),
                                                    QStringLiteral("03: Elektromer 3"), QString()}));
}

TEST(GridEm, CellsAndTheSinglePowerValues)
{
    TGridFixture f;
    TValueGridEm grid(QStringLiteral("EM"), f.Generation, &f.Power, &f.Average, &f.Reactive, 0, 0, 40,
                      QStringList{QStringLiteral("a")});
    grid.MeterCount = 12;
    EXPECT_EQ(Cell(grid, 1, 3), QString()); // not valid yet
    const auto r = Readings({{0, 65535}});
    grid.SetReadings(r.data(), 0x0801); // meters 1 and 12 reactive
    EXPECT_TRUE(grid.IsValid());
    EXPECT_EQ(f.Power.GetDisplay(), QStringLiteral("65535"));
    EXPECT_EQ(f.Average.GetDisplay(), QStringLiteral("2"));
    int a = 0;
    EXPECT_EQ(Cell(grid, 1, 3, &a), QStringLiteral("301"));
    EXPECT_EQ(a, -4);
    EXPECT_EQ(Cell(grid, 2, 12, &a), QStringLiteral("1202"));
    EXPECT_EQ(a, -4);
    EXPECT_EQ(Cell(grid, 3, 1, &a), QStringLiteral("[kVAr]"));
    EXPECT_EQ(a, 2);
    EXPECT_EQ(Cell(grid, 3, 2), QStringLiteral("[kW  ]"));
    EXPECT_EQ(Cell(grid, 3, 12), QStringLiteral("[kVAr]"));
    // Column 0 carries the row names, even for unnamed meters (empty).
    EXPECT_EQ(Cell(grid, 0, 1), QStringLiteral("01: a"));
    EXPECT_EQ(Cell(grid, 0, 2), QString());
    // Outside the table nothing is read.
    EXPECT_EQ(Cell(grid, 1, 13), QString());
    EXPECT_EQ(Cell(grid, 4, 1), QString());
    EXPECT_EQ(Cell(grid, -1, -1), QString());
    grid.Invalidate();
    EXPECT_EQ(Cell(grid, 1, 3), QString());
    EXPECT_EQ(Cell(grid, 1, 0), QStringLiteral("okamžitý"));
}

TEST(GridEm, ReactivePowerFromTheConfiguredMeters)
{
    // Jal+ = 3 and Jal- = 4, both reactive: the difference, with a sign.
    {
        TGridFixture f;
        TValueGridEm grid(QString(), f.Generation, &f.Power, &f.Average, &f.Reactive, 3, 4, 40);
        EXPECT_TRUE(f.Reactive.ShowPlus);
        grid.MeterCount = 4;
        auto r = Readings({{3, 500}, {4, 120}});
        grid.SetReadings(r.data(), 0b1100);
        EXPECT_EQ(f.Reactive.GetDisplay(), QStringLiteral("+380"));
        r = Readings({{3, 120}, {4, 500}});
        grid.SetReadings(r.data(), 0b1100);
        EXPECT_EQ(f.Reactive.GetValue(), -380);
        EXPECT_EQ(f.Reactive.GetDisplay(), QStringLiteral("-380"));
        // Jal- not reactive: Jal+ alone.
        grid.SetReadings(r.data(), 0b0100);
        EXPECT_EQ(f.Reactive.GetValue(), 120);
        // Jal- beyond the meters the regulator has: Jal+ alone too.
        grid.MeterCount = 3;
        grid.SetReadings(r.data(), 0b1100);
        EXPECT_EQ(f.Reactive.GetValue(), 120);
    }
    // Jal- = 0: reading 3 alone, shown without a "+".
    {
        TGridFixture f;
        TValueGridEm grid(QString(), f.Generation, &f.Power, &f.Average, &f.Reactive, 3, 0, 40);
        EXPECT_FALSE(f.Reactive.ShowPlus);
        grid.MeterCount = 4;
        const auto r = Readings({{3, 250}});
        grid.SetReadings(r.data(), 0b0100);
        EXPECT_EQ(f.Reactive.GetDisplay(), QStringLiteral("250"));
        // A reading above 32767 is a negative 16-bit reactive power.
        const auto neg = Readings({{3, 65535}});
        grid.SetReadings(neg.data(), 0b0100);
        EXPECT_EQ(f.Reactive.GetValue(), -1);
    }
    // Jal+ pointing at an active meter (or beyond the meter count): the
    // reactive value is left alone and expires.
    {
        TGridFixture f;
        TValueGridEm grid(QString(), f.Generation, &f.Power, &f.Average, &f.Reactive, 3, 4, 40);
        grid.MeterCount = 4;
        const auto r = Readings({{3, 500}});
        grid.SetReadings(r.data(), 0b1000);
        EXPECT_FALSE(f.Reactive.IsValid());
        grid.MeterCount = 2;
        grid.SetReadings(r.data(), 0b1100);
        EXPECT_FALSE(f.Reactive.IsValid());
        grid.MeterCount = 4;
        grid.SetReadings(r.data(), 0b1100);
        ASSERT_TRUE(f.Reactive.IsValid());
        f.Reactive.TickStamp = 0;
        grid.SetReadings(r.data(), 0b1000); // kind bit gone: no more updates
        for (uint32_t t = 100; t <= 40000; t += 100)
            f.Reactive.Tick(static_cast<uint16_t>(t));
        EXPECT_FALSE(f.Reactive.IsValid());
    }
    // No reactive value given: nothing to write, nothing breaks.
    {
        TGridFixture f;
        TValueGridEm grid(QString(), f.Generation, nullptr, nullptr, nullptr, 3, 4, 40);
        grid.MeterCount = 4;
        const auto r = Readings();
        grid.SetReadings(r.data(), 0xFFFF);
        EXPECT_TRUE(grid.IsValid());
    }
}

TEST(GridEm, IsReactiveMeterBounds)
{
    TGridFixture f;
    TValueGridEm grid(QString(), f.Generation, nullptr, nullptr, nullptr, 0, 0, 40);
    const auto r = Readings();
    grid.SetReadings(r.data(), 0xFFFF);
    grid.MeterCount = 13;
    EXPECT_FALSE(grid.IsReactiveMeter(0));
    EXPECT_TRUE(grid.IsReactiveMeter(1));
    EXPECT_TRUE(grid.IsReactiveMeter(12));
    EXPECT_FALSE(grid.IsReactiveMeter(13));
    EXPECT_FALSE(grid.IsReactiveMeter(-1));
    grid.MeterCount = 5;
    EXPECT_TRUE(grid.IsReactiveMeter(5));
    EXPECT_FALSE(grid.IsReactiveMeter(6));
}

TEST(ListIO, NamesCountsAndStateBits)
{
    QStringList appliances, signalNames;
    appliances << QStringLiteral("Kotol") << QString() << QStringLiteral("Bojler");
    for (int n = 1; n <= 70; ++n) // only the first 64 count
        signalNames << (n == 64 || n == 1 || n == 70 ? QStringLiteral("S%1").arg(n) : QString());
    TValueListIO list(40, appliances, signalNames);
    EXPECT_EQ(list.ApplianceCount, 3);
    EXPECT_EQ(list.SignalCount, 64);
    EXPECT_EQ(list.ItemCount, 64);
    EXPECT_EQ(list.ApplianceNames.size(), 64);

    // Byte 0 bit 0 is number 1, byte 7 bit 7 number 64.
    const uint8_t signalStates[8] = {0x01, 0, 0, 0, 0, 0, 0, 0x80};
    const uint8_t applianceStates[8] = {0x04, 0, 0, 0, 0, 0, 0, 0};
    list.SetStates(signalStates, applianceStates);
    EXPECT_TRUE(list.IsValid());
    EXPECT_EQ(list.SignalStates, 0x8000000000000001ull);
    EXPECT_EQ(list.ApplianceStates, 0x4ull);

    list.Tab = TValueListIO::TabAppliances;
    EXPECT_TRUE(list.ItemExists(2));
    EXPECT_FALSE(list.ItemExists(3));
    EXPECT_EQ(list.ItemName(0), QStringLiteral("Kotol"));
    EXPECT_EQ(list.ItemName(1), QString());
    EXPECT_FALSE(list.ItemActive(0));
    EXPECT_TRUE(list.ItemActive(2));
    EXPECT_EQ(list.ItemName(10), QString());

    list.Tab = TValueListIO::TabSignals;
    EXPECT_TRUE(list.ItemExists(63));
    EXPECT_FALSE(list.ItemExists(64));
    EXPECT_EQ(list.ItemName(63), QStringLiteral("S64"));
    EXPECT_TRUE(list.ItemActive(63));
    EXPECT_TRUE(list.ItemActive(0));
    EXPECT_FALSE(list.ItemActive(2));
    EXPECT_FALSE(list.ItemActive(64));

    list.Tab = 2;
    EXPECT_FALSE(list.ItemExists(0));
    EXPECT_FALSE(list.ItemExists(-1));
}

TEST(ListIO, NoNamesNoItems)
{
    TValueListIO list(40, {}, {});
    EXPECT_EQ(list.ItemCount, 0);
    EXPECT_FALSE(list.ItemExists(0));
    list.SetStates(~0ull, ~0ull);
    EXPECT_FALSE(list.ItemActive(0));
}

TEST(ListQ, SamplesTextsAndBars)
{
    TValueListQ rec(15, 40);
    EXPECT_EQ(rec.VisibleCount(), 0);
    std::vector<uint8_t> bytes(196);
    for (size_t i = 0; i < 98; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(i);
        bytes[2 * i + 1] = static_cast<uint8_t>(i % 13);
    }
    bytes[0] = 255;
    bytes[2] = 125;
    bytes[3] = 11;
    bytes[4] = 100;
    bytes[5] = 10;
    bytes[6] = 101; // just above the 100 % mark
    bytes[8] = 0;
    bytes[9] = 0;
    rec.SetSamples(bytes.data(), 98);
    EXPECT_EQ(rec.SampleCount, 60);
    EXPECT_EQ(rec.VisibleCount(), 60);
    EXPECT_EQ(rec.Samples[59][0], 59);

    EXPECT_EQ(rec.TimeText(0), QStringLiteral("00:15"));
    EXPECT_EQ(rec.TimeText(59), QStringLiteral("15:00"));
    EXPECT_EQ(rec.PercentText(0), QStringLiteral("*** %"));
    EXPECT_EQ(rec.PercentText(1), QStringLiteral("125 %"));
    EXPECT_EQ(rec.SecondText(1), QStringLiteral("#11"));
    EXPECT_EQ(rec.SecondText(4), QStringLiteral("#00"));
    EXPECT_EQ(rec.PercentText(60), QString());

    auto bar = rec.Bar(1); // 125 %: cut at 95 pixels, marked over
    EXPECT_EQ(bar.PercentHeight, 95);
    EXPECT_TRUE(bar.PercentOver);
    EXPECT_EQ(bar.SecondHeight, 30); // 33 cut at 30
    EXPECT_TRUE(bar.SecondOver);
    bar = rec.Bar(2); // 100 % is the 80-pixel mark
    EXPECT_EQ(bar.PercentHeight, 80);
    EXPECT_FALSE(bar.PercentOver);
    EXPECT_EQ(bar.SecondHeight, 30);
    EXPECT_FALSE(bar.SecondOver);
    EXPECT_EQ(rec.Bar(3).PercentHeight, 81);
    EXPECT_EQ(rec.Bar(0).PercentHeight, 95); // 255 draws as over too
    bar = rec.Bar(4);
    EXPECT_EQ(bar.PercentHeight, 0);
    EXPECT_EQ(bar.SecondHeight, 0);
    EXPECT_EQ(rec.Bar(60).PercentHeight, 0);

    // A shorter record replaces the longer one entirely.
    rec.SetSamples(bytes.data(), 3);
    EXPECT_EQ(rec.VisibleCount(), 3);
    EXPECT_EQ(rec.Bar(3).PercentHeight, 0);
    EXPECT_EQ(rec.PercentText(3), QString());
    rec.SetSamples(bytes.data(), -5);
    EXPECT_EQ(rec.VisibleCount(), 0);
    EXPECT_TRUE(rec.IsValid());

    // Expired: nothing visible.
    rec.SetSamples(bytes.data(), 10);
    rec.Invalidate();
    EXPECT_EQ(rec.VisibleCount(), 0);
    EXPECT_EQ(rec.Bar(0).PercentHeight, 0);
}
