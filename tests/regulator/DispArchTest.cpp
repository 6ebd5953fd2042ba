// The archive view over monthly files as a download leaves them. The files
// are the bytes the end-to-end download tests prove the engine writes for a
// simulator archive (lost records, empty records), or written by hand where a
// case needs values the simulator never sends.
#include "e2e/ExpectedArchive.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

namespace {
const uint16_t November2026 = 2026 * 12 + 10;

QStringList Sim(int interval, const char* gaps)
{
    return {QStringLiteral("--generation"), QStringLiteral("3"), QStringLiteral("--now"),
            QStringLiteral("2026-11-04T06:00"), QStringLiteral("--lost"), QStringLiteral("2900"),
            QStringLiteral("--kinds"), QStringLiteral("2"), QStringLiteral("--seed"), QStringLiteral("3"),
            QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--interval"), QString::number(interval),
            QStringLiteral("--gaps"), QLatin1String(gaps)};
}

void Write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// A month written by hand: records of (interval time, values...).
TExpectedMonth HandMonth(const std::vector<std::vector<uint16_t>>& records, uint16_t kinds = 0)
{
    TExpectedMonth m;
    m.Month = November2026;
    m.RecordSize = uint16_t(2 * records.front().size());
    m.KindMask = kinds;
    for (const auto& r : records)
        for (uint16_t w : r)
            PutWord(m.Records, w);
    return m;
}

struct Folder {
    QTemporaryDir Dir;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;

    Folder(const TExpectedMonth& month, uint8_t minutes)
    {
        Write(Dir.filePath(month.FileName()), month.Bytes());
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        View = std::make_unique<TDispArch>(Archive.get(), minutes);
        EXPECT_TRUE(View->Open(Dir.filePath(month.FileName())));
    }
};

// What the tables must say, summed straight from the file's bytes.
struct Expected {
    std::vector<uint32_t> Total;
    std::map<int, std::vector<uint32_t>> Day; // day of month -> per channel
    int Empty = 0;
};

Expected SumUp(const TExpectedMonth& m, int channels)
{
    Expected e;
    e.Total.assign(channels, 0);
    for (int k = 0; k < m.Held(); ++k) {
        const int at = k * m.RecordSize;
        const uint16_t time = WordAt(m.Records, at);
        if (time == 0) {
            ++e.Empty;
            continue;
        }
        auto& day = e.Day[time / 1440];
        day.resize(channels, 0);
        for (int c = 0; c < channels; ++c) {
            const uint16_t v = WordAt(m.Records, at + 2 + 2 * c);
            if (v != 65535) {
                e.Total[c] += v;
                day[c] += v;
            }
        }
    }
    return e;
}
} // namespace

class DispArchIntervals : public ::testing::TestWithParam<int> {};

TEST_P(DispArchIntervals, TablesAgreeWithTheFileAcrossGapsAndLostRecords)
{
    const int minutes = GetParam();
    // A single gap inside a day, a run over the end of day 1 and a run at
    // the end of the held records' second day.
    TSimMirror sim(Sim(minutes, minutes == 15 ? "40,90-100,180-192" : "40,130-150,270-288"));
    ASSERT_TRUE(sim.Valid) << sim.Error;
    const std::vector<TExpectedMonth> files = ExpectedArchive(sim.Regulator());
    ASSERT_EQ(files.size(), 2u);
    EXPECT_GT(files[0].Origin, 2800); // October: its start is lost
    for (const TExpectedMonth& month : files) {
        SCOPED_TRACE(month.FileName().toStdString());
        Folder folder(month, static_cast<uint8_t>(minutes));
        TDispArch& v = *folder.View;
        const int channels = (month.RecordSize - 2) / 2;
        const Expected want = SumUp(month, channels);
        const QString suffix = QStringLiteral(".%1.").arg(month.Month % 12 + 1, 2, 10, QLatin1Char('0'));

        EXPECT_EQ(v.Month(), month.Month);
        EXPECT_EQ(v.Channels, channels);
        EXPECT_EQ(v.SelectedCount, channels);
        EXPECT_EQ(v.RecordCount, month.Held());
        ASSERT_EQ(v.DayCount, int(want.Day.size()));
        EXPECT_EQ(v.MonthSuffix, suffix);
        int row = 2;
        for (const auto& [day, sums] : want.Day) {
            EXPECT_EQ(v.DayCell(row, 0), QStringLiteral("%1").arg(day, 2, 10, QLatin1Char('0')) + suffix);
            for (int c = 0; c < channels; ++c)
                EXPECT_EQ(v.DayCell(row, c + 1), QString::number(uint64_t(sums[c]) * minutes / 60)) << day << "/" << c;
            ++row;
        }
        for (int c = 0; c < channels; ++c)
            EXPECT_EQ(v.DayCell(0, c + 1), QString::number(uint64_t(want.Total[c]) * minutes / 60));
        EXPECT_EQ(v.DayCell(1, 3), QStringLiteral("< 2>  [kVArh]")); // kinds 2: meter 2 is reactive
        EXPECT_EQ(v.DayCell(1, 2), QStringLiteral("< 1>  [kWh  ]"));
        EXPECT_EQ(v.IntervalCell(0, 3), QStringLiteral(" 2[kVAr]"));

        // Every empty record shows "?"; the others their time and values.
        int empties = 0;
        for (int k = 0; k < v.RecordCount; ++k) {
            const uint16_t time = WordAt(month.Records, k * month.RecordSize);
            if (time == 0) {
                ++empties;
                EXPECT_EQ(v.IntervalCell(k + 1, 0), QStringLiteral("?"));
                EXPECT_EQ(v.IntervalCell(k + 1, 1), QStringLiteral("?"));
            } else {
                EXPECT_EQ(v.IntervalCell(k + 1, 0), QStringLiteral("%1%2  %3:%4")
                                                        .arg(time / 1440, 2, 10, QLatin1Char('0'))
                                                        .arg(suffix)
                                                        .arg(time % 1440 / 60, 2, 10, QLatin1Char('0'))
                                                        .arg(time % 60, 2, 10, QLatin1Char('0')));
                const uint16_t value = WordAt(month.Records, k * month.RecordSize + 4);
                EXPECT_EQ(v.IntervalCell(k + 1, 2), value == 65535 ? QStringLiteral("?") : QString::number(value));
            }
        }
        EXPECT_EQ(empties, want.Empty);
        EXPECT_EQ(v.IntervalCell(v.RecordCount + 1, 0), QString());
    }
    EXPECT_GT(SumUp(files[1], 5).Empty, 10);
}

INSTANTIATE_TEST_SUITE_P(DispArch, DispArchIntervals, ::testing::Values(15, 10));

TEST(DispArch, ScanTakesInRecordsAsTheDownloadAddsThem)
{
    TSimMirror sim(Sim(15, "5"));
    ASSERT_TRUE(sim.Valid) << sim.Error;
    TExpectedMonth nov;
    for (const auto& f : ExpectedArchive(sim.Regulator()))
        if (f.Month == November2026)
            nov = f;
    TExpectedMonth part = nov;
    part.Records = nov.Records.left(50 * nov.RecordSize);
    Folder folder(part, 15);
    TDispArch& v = *folder.View;
    EXPECT_EQ(v.RecordCount, 50);
    const QString before = v.DayCell(0, 1);
    // The download stores into the very file object the view shows.
    for (int k = 50; k < nov.Held(); ++k)
        ASSERT_TRUE(const_cast<TFileMem*>(v.File())->Put(
            reinterpret_cast<const uint8_t*>(nov.Records.constData()) + k * nov.RecordSize, nov.RecordSize,
            uint16_t(nov.Origin + k)));
    v.Scan();
    EXPECT_EQ(v.RecordCount, nov.Held());
    Folder whole(nov, 15);
    for (int row = 0; row < whole.View->DayCount + 2; ++row)
        EXPECT_EQ(v.DayLine(row), whole.View->DayLine(row)) << row;
    EXPECT_NE(v.DayCell(0, 1), before);
}

TEST(DispArch, AMonthStartedAnewInAnotherRecordSizeIsCountedAgain)
{
    // Three channels shown; a meter is removed and the download moves the
    // month aside and files two-channel records into the same file object.
    Folder folder(HandMonth({{1440, 10, 11, 12}, {1455, 20, 21, 22}}), 15);
    TDispArch& v = *folder.View;
    ASSERT_EQ(v.Channels, 3);
    folder.Archive->SetChannels(2);
    const QByteArray record = QByteArray::fromHex("a005" "1e00" "1f00");
    ASSERT_TRUE(folder.Archive->StoreRecord(November2026, 1, reinterpret_cast<const uint8_t*>(record.constData())));
    v.Scan();
    EXPECT_EQ(v.Channels, 2);
    EXPECT_EQ(v.RecordCount, 1);
    EXPECT_EQ(v.ChannelValue(0, 1), 31);
    EXPECT_EQ(v.ChannelValue(0, 2), TDispArch::NoValue) << "no read past the record";
    EXPECT_EQ(v.Sums[0].Total, 30u);
}

TEST(DispArch, BlocksInEitherOrderDayBlocksAndMissingValues)
{
    // Three days of four records; record 5 lacks channel 1, record 9 is empty.
    std::vector<std::vector<uint16_t>> records;
    for (int k = 0; k < 12; ++k) {
        const uint16_t day = uint16_t(1 + k / 4);
        records.push_back({uint16_t(day * 1440 + (k % 4) * 15 + 15), uint16_t(10 + k), uint16_t(100)});
    }
    records[5][2] = 65535;
    records[9] = {0, 0, 0};
    Folder folder(HandMonth(records), 15);
    TDispArch& v = *folder.View;
    ASSERT_EQ(v.RecordCount, 12);
    ASSERT_EQ(v.DayCount, 3);
    EXPECT_EQ(v.IntervalCell(6, 2), QStringLiteral("?"));
    EXPECT_EQ(v.IntervalCell(10, 1), QStringLiteral("?"));
    EXPECT_EQ(v.MaxValue, 100);
    // Totals: channel 0 = sum 10..21 without record 9 (19) = 167; channel 1 = 10 x 100.
    EXPECT_EQ(v.Sums[0].Total, 167u);
    EXPECT_EQ(v.Sums[1].Total, 1000u);

    // "Začiatok" on 10, "Koniec" on 5: the block 5..10 whatever the order.
    EXPECT_TRUE(v.SetBlockStart(10));
    EXPECT_FALSE(v.SetBlockStart(10));
    EXPECT_EQ(v.Sums[0].BlockSum, 20u); // one record alone
    EXPECT_TRUE(v.SetBlockEnd(5));
    for (uint16_t i = 0; i < 12; ++i)
        EXPECT_EQ(v.InIntervalBlock(i), i >= 5 && i <= 10) << i;
    EXPECT_EQ(v.Sums[0].BlockSum, 15u + 16 + 17 + 18 + 20);
    EXPECT_EQ(v.Sums[1].BlockSum, 400u);
    EXPECT_EQ(v.DayCell(0, 1), QString::number((15 + 16 + 17 + 18 + 20) * 15 / 60));
    EXPECT_FALSE(v.SetBlockEnd(12)); // beyond the records

    // Day 2 .. day 3 from the energy table: first record of day 2 to the last of day 3.
    EXPECT_TRUE(v.SetDayBlockStart(1));
    EXPECT_TRUE(v.SetDayBlockEnd(2));
    EXPECT_EQ(v.BlockStart, 4);
    EXPECT_EQ(v.BlockEnd, 11);
    EXPECT_TRUE(v.InDayBlock(1) && v.InDayBlock(2) && !v.InDayBlock(0));
    EXPECT_EQ(v.Sums[0].BlockSum, 167u - (10 + 11 + 12 + 13));
    // An end day without a start day runs from the month's first record.
    v.ClearBlock();
    EXPECT_FALSE(v.IntervalBlockSet());
    EXPECT_TRUE(v.SetDayBlockEnd(1));
    EXPECT_EQ(v.BlockStart, 0);
    EXPECT_EQ(v.BlockEnd, 7);
    v.ClearBlock();
    EXPECT_EQ(v.DayCell(0, 1), QString::number(167 * 15 / 60));
    EXPECT_EQ(v.IntervalLine(0), QStringLiteral("Výkon           0[kW  ]   1[kW  ]"));
    EXPECT_EQ(v.IntervalLine(7), QStringLiteral("02.11.  00:45        16       100"));
}

TEST(DispArch, ThirtyThirdDayRunJoinsNoDayAndLargeSumsDoNotWrap)
{
    // Days 1..31, then the numbering restarts on days 1 and 2: 33 day runs.
    std::vector<std::vector<uint16_t>> records;
    for (int day = 1; day <= 31; ++day)
        records.push_back({uint16_t(day * 1440 + 15), 65534});
    records.push_back({uint16_t(1 * 1440 + 30), 7});
    records.push_back({uint16_t(2 * 1440 + 30), 9});
    for (int k = 0; k < 100; ++k)
        records.push_back({uint16_t(2 * 1440 + 45 + k), 65534});
    Folder folder(HandMonth(records), 60);
    TDispArch& v = *folder.View;
    EXPECT_EQ(v.RecordCount, int(records.size()));
    EXPECT_EQ(v.DayCount, 32);
    EXPECT_EQ(v.Days[31], 1);
    EXPECT_EQ(v.DayCell(33, 1), QString::number(7));
    // 31 x 65534 + 7: the records after the 32nd run are counted but summed nowhere.
    EXPECT_EQ(v.Sums[0].Total, 31u * 65534 + 7);
    // 60-minute intervals: energy equals the sum; no 32-bit wrap on the way.
    TDispArch big(folder.Archive.get(), 60);
    EXPECT_EQ(big.Energy(4000000000u), 4000000000u);
}

TEST(DispArch, GraphGeometryAndScaleSteps)
{
    std::vector<std::vector<uint16_t>> records;
    for (int k = 0; k < 96; ++k)
        records.push_back({uint16_t(1440 + 15 * k + 15), uint16_t(k)});
    Folder folder(HandMonth(records), 15);
    TDispArch& v = *folder.View;
    EXPECT_EQ(v.GraphWidth(0), 24u);
    EXPECT_EQ(v.GraphWidth(1), 96u);
    EXPECT_EQ(v.GraphWidth(2), 576u);
    // The record at the left edge stays there through every zoom step.
    for (uint32_t r : {0u, 40u, 92u}) {
        const uint32_t x2 = v.RecordToPosition(r, 2);
        const uint32_t r1 = v.PositionToRecord(v.RecordToPosition(v.PositionToRecord(x2, 2), 1), 1);
        EXPECT_EQ(v.PositionToRecord(v.RecordToPosition(r1, 0), 0), r);
    }
    uint32_t step = 0, minor = 0;
    TDispArch::ScaleSteps(137, 6, step, minor);
    EXPECT_EQ(step, 50u);
    EXPECT_EQ(minor, 10u);
    TDispArch::ScaleSteps(3, 6, step, minor); // below 10 counts as 10
    EXPECT_EQ(step, 2u);
    EXPECT_EQ(minor, 1u);
    uint32_t width = 1000;
    v.FitPrintWidth(width);
    EXPECT_EQ(width, 896u);
    // 896 pixels for 3072 records: 7 for 24, and four times that.
    EXPECT_EQ(v.PrintZoom[0].Pixels, 7);
    EXPECT_EQ(v.PrintZoom[0].Records, 24);
    EXPECT_EQ(v.PrintZoom[1].Pixels, 7);
    EXPECT_EQ(v.PrintZoom[1].Records, 6);
    width = 100; // too narrow: nothing changes
    v.FitPrintWidth(width);
    EXPECT_EQ(v.PrintZoom[0].Records, 24);
}
