#include "SimCalendar.h"
#include "SimRegulator.h"

#include <gtest/gtest.h>

namespace {

int64_t At(const char* text)
{
    int64_t s = 0;
    EXPECT_TRUE(SimParseCivil(text, s)) << text;
    return s;
}

TSimConfig Config(int generation, const char* now, uint64_t seed = 7, int lost = 0)
{
    TSimConfig c;
    c.Generation = generation;
    c.Now = At(now);
    c.Seed = seed;
    c.Lost = lost;
    return c;
}

constexpr uint16_t kMar2024 = 2024 * 12 + 2;
constexpr uint16_t kFeb2024 = 2024 * 12 + 1;
constexpr uint16_t kJan2024 = 2024 * 12;

TSimRequest Req(uint8_t command, TSimBytes data = {})
{
    TSimRequest r;
    r.Command = command;
    r.Data = std::move(data);
    return r;
}

TSimBytes Cmd3(uint16_t month, uint16_t first0, uint8_t count)
{
    return {static_cast<uint8_t>(month), static_cast<uint8_t>(month >> 8), static_cast<uint8_t>(first0),
            static_cast<uint8_t>(first0 >> 8), count};
}

TSimBytes Cmd9(uint16_t month, uint16_t index)
{
    return {static_cast<uint8_t>(month), static_cast<uint8_t>(month >> 8), static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8)};
}

} // namespace

TEST(SimCalendar, PackedTimesAndDayNumbersAgreeWithTheClient)
{
    // 10.01.2005 08:05 packs to 24060 << 16 | 1440*10 + 8*60 + 5.
    EXPECT_EQ(SimPackedTime(At("2005-01-10T08:05")), (24060u << 16) | (1440u * 10 + 485));
    // Day 38666 is 10.11.2005; day 0 is 30.12.1899, a Saturday.
    EXPECT_EQ(SimSerialDay(2005, 11, 10), 38666);
    EXPECT_EQ(SimSerialDay(1899, 12, 30), 0);
    EXPECT_EQ(SimWeekday(SimSerialDay(2024, 3, 4)), 0); // a Monday
    EXPECT_EQ(SimDaysInMonth(2024, 2), 29);
    EXPECT_EQ(SimDaysInMonth(1900, 2), 28);
    EXPECT_EQ(SimDaysInMonth(2000, 2), 29);
    int64_t s = 0;
    EXPECT_FALSE(SimParseCivil("2023-02-29T10:00", s));
    EXPECT_FALSE(SimParseCivil("2024-03-01T24:00", s));
    EXPECT_FALSE(SimParseCivil("2024-03-01T10:00x", s));
    EXPECT_EQ(SimCivilText(At("2024-03-01T10:07:30")), "2024-03-01T10:07:30");
}

TEST(SimArchive, MonthTableFollowsTheClockAcrossMonthAndYearTurns)
{
    TSimRegulator r(Config(3, "2024-02-29T23:59"));
    TSimMonthTable t = r.MonthTable();
    EXPECT_EQ(t.Month0, kFeb2024);
    EXPECT_EQ(t.Month1, kJan2024);
    EXPECT_EQ(t.Count0, 29 * 96 - 1); // the last interval is still running
    EXPECT_EQ(t.Count1, 31 * 96);
    EXPECT_EQ(t.Lost, 0);

    r.SetClock(At("2024-03-01T00:00"));
    t = r.MonthTable();
    EXPECT_EQ(t.Month0, kMar2024);
    EXPECT_EQ(t.Month1, kFeb2024);
    EXPECT_EQ(t.Count0, 0);
    EXPECT_EQ(t.Count1, 29 * 96);

    // The first interval of the month completes at 0:15, not a second earlier.
    r.SetClock(At("2024-03-01T00:14:59"));
    EXPECT_EQ(r.MonthTable().Count0, 0);
    r.SetClock(At("2024-03-01T00:15"));
    EXPECT_EQ(r.MonthTable().Count0, 1);

    r.SetClock(At("2025-01-01T01:00"));
    t = r.MonthTable();
    EXPECT_EQ(t.Month0, 2025 * 12);
    EXPECT_EQ(t.Month1, 2024 * 12 + 11);
    EXPECT_EQ(t.Count0, 4);

    // The ten bytes are w0..w4, little-endian (2784 = 0x0AE0).
    r.SetClock(At("2024-03-01T00:30"));
    EXPECT_EQ(r.MonthTable().Bytes(), (TSimBytes{0xE2, 0x5E, 0xE1, 0x5E, 2, 0, 0xE0, 0x0A, 0, 0}));
}

TEST(SimArchive, OtherIntervalLengthsAndLostRecords)
{
    TSimConfig c = Config(1, "2024-03-01T10:00", 7, 100);
    c.IntervalMinutes = 5;
    TSimRegulator r(c);
    const TSimMonthTable t = r.MonthTable();
    EXPECT_EQ(t.Count0, 120);
    EXPECT_EQ(t.Lost, 100);
    EXPECT_EQ(t.Count1, 29 * 288 - 100); // held ones only; the client adds the lost
    EXPECT_FALSE(r.RecordExists(kFeb2024, 100));
    EXPECT_TRUE(r.RecordExists(kFeb2024, 101));
    EXPECT_TRUE(r.RecordExists(kFeb2024, 29 * 288));
    EXPECT_FALSE(r.RecordExists(kFeb2024, 29 * 288 + 1));
    EXPECT_EQ(r.FirstHeld(kFeb2024), 101);

    // When everything of the older month is lost, nothing of it is reported,
    // so the client cannot take the lost count for the current month's.
    TSimRegulator all(Config(3, "2024-03-01T10:00", 7, 60000));
    EXPECT_EQ(all.MonthTable().Count1, 0);
    EXPECT_EQ(all.MonthTable().Lost, 0);
    EXPECT_FALSE(all.RecordExists(kFeb2024, 2784));
}

TEST(SimArchive, RestartDropsTheCountAndRenumbersFromTheNextInterval)
{
    TSimRegulator r(Config(3, "2024-03-05T12:00"));
    const uint16_t before = r.MonthTable().Count0;
    ASSERT_EQ(before, 4 * 96 + 48);
    const TSimBytes slotAfter = r.SlotRecord(kMar2024, before + 1);
    r.RestartNumbering();
    EXPECT_EQ(r.MonthTable().Count0, 0);
    EXPECT_FALSE(r.Record(kMar2024, 1).has_value());
    r.SetClock(At("2024-03-05T12:30"));
    EXPECT_EQ(r.MonthTable().Count0, 2);
    // Record 1 is now the interval that followed the restart.
    ASSERT_TRUE(r.Record(kMar2024, 1).has_value());
    EXPECT_EQ(*r.Record(kMar2024, 1), slotAfter);
    // At the month turn the restarted month becomes the older one with its
    // numbering kept.
    r.SetClock(At("2024-04-01T00:00"));
    EXPECT_EQ(r.MonthTable().Count1, 31 * 96 - before);
}

TEST(SimArchive, RecordsAreAPureFunctionOfSeedMonthIntervalAndChannel)
{
    TSimRegulator a(Config(3, "2024-03-10T08:00", 42));
    TSimRegulator b(Config(3, "2024-03-20T17:00", 42)); // another clock, same seed
    TSimRegulator c(Config(3, "2024-03-10T08:00", 43));
    int differing = 0;
    for (uint16_t i = 1; i <= 96 * 9; ++i) {
        const auto ra = a.Record(kMar2024, i);
        ASSERT_TRUE(ra.has_value());
        EXPECT_EQ(*ra, *b.Record(kMar2024, i)) << i;
        differing += *ra != *c.Record(kMar2024, i) ? 1 : 0;
    }
    EXPECT_GT(differing, 96 * 9 * 9 / 10);

    // Record 1 starts the month at day 1 0:00 = 1440; generation 3 has the
    // main measurement first, the sum of the active meters.
    const TSimBytes first = *a.Record(kMar2024, 1);
    ASSERT_EQ(first.size(), 2u + 2 * 5);
    EXPECT_EQ(SimGet16(first.data()), 1440);
    unsigned sum = 0;
    for (int m = 1; m <= 4; ++m) {
        const uint16_t v = SimGet16(first.data() + 2 + 2 * m);
        EXPECT_EQ(v, a.ChannelValue(kMar2024, 1, m));
        if (v != 65535)
            sum += v;
    }
    // The main measurement ignores a missing meter reading only when one occurs;
    // in this record all are present.
    EXPECT_EQ(SimGet16(first.data() + 2), sum);
    // The last interval of a day starts at 23:45.
    EXPECT_EQ(SimGet16(a.Record(kMar2024, 96)->data()), 1440 + 1425);
    EXPECT_EQ(SimGet16(a.Record(kMar2024, 97)->data()), 2 * 1440);
}

TEST(SimArchive, ProfileIsPlausible)
{
    // Working-day afternoons carry more load than nights; no value is 0 or
    // absurd, and "no value" stays rare.
    TSimRegulator r(Config(3, "2024-04-01T00:00", 3));
    double day = 0;
    double night = 0;
    int missing = 0;
    for (int d = 0; d < 5; ++d) {                    // 4.3 (Mon) .. 8.3 (Fri)
        const uint16_t dayStart = static_cast<uint16_t>((3 + d) * 96);
        day += r.ChannelValue(kMar2024, dayStart + 56 + 1, 0);  // 14:00
        night += r.ChannelValue(kMar2024, dayStart + 12 + 1, 0); // 3:00
    }
    EXPECT_GT(day, 2.0 * night);
    for (uint16_t s = 1; s <= 31 * 96; ++s) {
        for (int ch = 0; ch <= 4; ++ch) {
            const uint16_t v = r.ChannelValue(kMar2024, s, ch);
            if (v == 65535) {
                ++missing;
                EXPECT_NE(ch, 0);
                continue;
            }
            EXPECT_GT(v, 0);
            EXPECT_LT(v, 1000);
        }
    }
    EXPECT_LT(missing, 31 * 96 * 4 / 100);
}

TEST(SimArchive, Command3ReturnsOnlyConsecutiveExistingRecords)
{
    TSimRegulator r(Config(2, "2024-03-01T03:00", 5, 10));
    ASSERT_EQ(r.MonthTable().Count0, 12);

    TSimAnswer a = r.Answer(Req(3, Cmd3(kMar2024, 0, 13)));
    ASSERT_TRUE(a.Reply);
    ASSERT_EQ(a.Data.size(), 12u * 6); // only 12 exist yet
    EXPECT_EQ(TSimBytes(a.Data.begin(), a.Data.begin() + 6), *r.Record(kMar2024, 1));
    EXPECT_EQ(TSimBytes(a.Data.end() - 6, a.Data.end()), *r.Record(kMar2024, 12));

    a = r.Answer(Req(3, Cmd3(kMar2024, 11, 13)));   // the last one
    EXPECT_EQ(a.Data, *r.Record(kMar2024, 12));
    a = r.Answer(Req(3, Cmd3(kMar2024, 12, 13)));   // beyond the count
    EXPECT_TRUE(a.Reply);
    EXPECT_TRUE(a.Data.empty());
    a = r.Answer(Req(3, Cmd3(kFeb2024, 9, 3)));     // lost: record 10 of the older month
    EXPECT_TRUE(a.Reply);
    EXPECT_TRUE(a.Data.empty());
    a = r.Answer(Req(3, Cmd3(kFeb2024, 10, 3)));    // the first one held
    EXPECT_EQ(a.Data.size(), 18u);
    EXPECT_EQ(SimGet16(a.Data.data()), 1440 + 10 * 15);
    a = r.Answer(Req(3, Cmd3(kFeb2024, 29 * 96 - 2, 13))); // the month's last two
    EXPECT_EQ(a.Data.size(), 12u);
    EXPECT_EQ(SimGet16(a.Data.data() + 6), 29 * 1440 + 1425);
    a = r.Answer(Req(3, Cmd3(kJan2024, 0, 5)));     // a month it does not hold
    EXPECT_TRUE(a.Data.empty());
    a = r.Answer(Req(3, Cmd3(kMar2024, 0, 255)));   // more than one block can carry
    EXPECT_LE(a.Data.size(), 254u);
}

TEST(SimArchive, GapsAreEmptyRecordsUnderTheirOwnNumbers)
{
    TSimConfig c = Config(1, "2024-03-01T06:00", 5);
    c.Gaps = {{2, 2}, {5, 7}};
    TSimRegulator r(c);
    const TSimRegulator plain(Config(1, "2024-03-01T06:00", 5));
    ASSERT_EQ(r.MonthTable().Count0, 24) << "a gap counts like any interval";
    const TSimBytes empty = {0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    for (uint16_t i = 1; i <= 24; ++i) {
        const bool gap = i == 2 || (i >= 5 && i <= 7);
        EXPECT_EQ(*r.Record(kMar2024, i), gap ? empty : *plain.Record(kMar2024, i)) << i;
    }
    const TSimAnswer a = r.Answer(Req(3, Cmd3(kMar2024, 0, 8)));
    ASSERT_EQ(a.Data.size(), 8u * 6) << "command 3 goes on past a gap";
    EXPECT_EQ(TSimBytes(a.Data.begin() + 6, a.Data.begin() + 12), empty);
    const TSimBytes b = r.Block9(kMar2024, 6);
    EXPECT_EQ(SimGet16(b.data() + 2), 6) << "an empty record keeps its index";
    EXPECT_EQ(TSimBytes(b.begin() + 4, b.begin() + 10), empty);
}

TEST(SimArchive, Command9AnswersOneRecordOrAnEmptyOne)
{
    TSimConfig c = Config(3, "2024-03-02T00:00", 9, 4);
    c.Meters = 12;                            // 13 channels fill the 28 record bytes
    TSimRegulator r(c);
    TSimAnswer a = r.Answer(Req(9, Cmd9(kMar2024, 1)));
    ASSERT_TRUE(a.Reply);
    ASSERT_EQ(a.Data.size(), 32u);
    EXPECT_EQ(SimGet16(a.Data.data()), kMar2024);
    EXPECT_EQ(SimGet16(a.Data.data() + 2), 1);
    EXPECT_EQ(TSimBytes(a.Data.begin() + 4, a.Data.end()), *r.Record(kMar2024, 1));

    a = r.Answer(Req(9, Cmd9(kMar2024, 96)));  // the last complete interval
    EXPECT_EQ(SimGet16(a.Data.data() + 2), 96);
    EXPECT_EQ(SimGet16(a.Data.data() + 4), 1440 + 1425);

    for (uint16_t missing : {uint16_t(97), uint16_t(0)}) {
        a = r.Answer(Req(9, Cmd9(kMar2024, missing)));
        ASSERT_EQ(a.Data.size(), 32u);
        EXPECT_EQ(SimGet16(a.Data.data()), kMar2024);
        EXPECT_EQ(SimGet16(a.Data.data() + 2), 0) << "index 0 tells the client to store nothing";
        EXPECT_EQ(SimGet16(a.Data.data() + 4), 0);
        EXPECT_EQ(a.Data[31], 0xFF);
    }
    a = r.Answer(Req(9, Cmd9(kFeb2024, 4)));   // lost
    EXPECT_EQ(SimGet16(a.Data.data() + 2), 0);
    a = r.Answer(Req(9, Cmd9(kFeb2024, 5)));   // first held
    EXPECT_EQ(SimGet16(a.Data.data() + 2), 5);

    // With fewer channels the rest of the 28 bytes is 0xFF.
    TSimRegulator small(Config(3, "2024-03-02T00:00", 9));
    a = small.Answer(Req(9, Cmd9(kMar2024, 1)));
    ASSERT_EQ(a.Data.size(), 32u);
    for (size_t i = 4 + 12; i < 32; ++i)
        EXPECT_EQ(a.Data[i], 0xFF) << i;
}
