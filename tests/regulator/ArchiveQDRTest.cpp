// The archive download bookkeeping against real monthly files: which records
// are asked for, where the replies land, and what reaches the disk.
#include "regulator/ArchiveQDR.h"

#include "support/FileBytes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {


constexpr uint16_t Oct2005 = 2005 * 12 + 9;
constexpr uint16_t Nov2005 = Oct2005 + 1;
constexpr uint16_t Dec2005 = Oct2005 + 2;

Bytes Words(std::initializer_list<uint16_t> words)
{
    Bytes b;
    for (uint16_t w : words) {
        b.push_back(static_cast<uint8_t>(w & 0xFF));
        b.push_back(static_cast<uint8_t>(w >> 8));
    }
    return b;
}

// The record the regulator would send as its index-th of a month with two
// channels: interval time, then two values that tell records apart.
Bytes Rec(uint16_t index, uint16_t tag = 0)
{
    return Words({static_cast<uint16_t>(1440 + 15 * index), index, static_cast<uint16_t>(tag + 7)});
}

Bytes Header(uint16_t origin, uint16_t month, uint16_t shift, uint16_t mask)
{
    return Words({12, 6, origin, month, shift, mask});
}

// Word w of the displayed record at i, or -1 when there is none.
int WordAt(const TFileArchQDR& f, uint16_t i, int w)
{
    const uint8_t* r = f.RecordAt(i);
    return r ? GetWord(r + 2 * w) : -1;
}

void Append(Bytes& a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); }

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        Archive->SetChannels(2);
    }
    QString Path(const QString& name) const { return Dir.filePath(name); }
    // Answers the pending request the way the reply handler does, as far as
    // `limit` records go; false when nothing was pending.
    bool Answer(uint16_t limit = 13, uint16_t tag = 0)
    {
        if (Archive->RequestCount == 0)
            return false;
        const uint16_t n = std::min(Archive->RequestCount, limit);
        for (uint16_t k = 0; k < n; ++k) {
            const uint16_t index = static_cast<uint16_t>(Archive->RequestStart + k);
            Archive->StoreRecord(Archive->RequestMonth, index, Rec(index, tag).data());
        }
        return true;
    }
    // Polls and answers until nothing is pending.
    void Download()
    {
        for (int guard = 0; guard < 2000; ++guard) {
            Archive->Poll();
            if (!Answer())
                return;
        }
        FAIL() << "download does not end";
    }

    // Polls until done() holds or ms pass.
    bool PumpPolls(const std::function<bool()>& done, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > ms)
                return false;
            Archive->Poll();
            QThread::msleep(20);
        }
        return true;
    }

    QTemporaryDir Dir;
    std::unique_ptr<TArchiveQDR> Archive;
};

} // namespace

TEST_F(ArchiveTest, CompleteMonthIsWrittenByteForByte)
{
    Archive->KindMask = 0x0005;
    Archive->SetMonthEntry(0, {Nov2005, 3, 0});
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestMonth, Nov2005);
    EXPECT_EQ(Archive->RequestStart, 1);
    EXPECT_EQ(Archive->RequestCount, 3);
    EXPECT_EQ(Archive->DownloadStatusText(), QStringLiteral("2005NOV: zostávajú 3 záznamy"));
    EXPECT_FALSE(QFile::exists(Path("2005nov.qdr")));

    Answer();
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestCount, 0);
    EXPECT_EQ(Archive->DownloadStatusText(), "");
    // The current month, once complete, is on disk and stays open for more.
    Bytes expected = Header(0, Nov2005, 0, 5);
    for (uint16_t i = 1; i <= 3; ++i)
        Append(expected, Rec(i));
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")), expected);
    ASSERT_NE(Archive->Current(), nullptr);

    Archive->SetMonthEntry(0, {Nov2005, 4, 0});
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestStart, 4);
    EXPECT_EQ(Archive->RequestCount, 1);
    EXPECT_FALSE(Archive->Poll()) << "nothing moved";

    // A later run starts where the file ends.
    Archive.reset();
    TArchiveQDR again(Dir.path());
    again.SetChannels(2);
    again.SetMonthEntry(0, {Nov2005, 4, 0});
    EXPECT_TRUE(again.Poll());
    EXPECT_EQ(again.RequestStart, 4);
    EXPECT_EQ(again.RequestCount, 1);
}

TEST_F(ArchiveTest, PreviousMonthFirstThenCurrent)
{
    Archive->SetMonthEntry(1, {Oct2005, 100, 0});
    Archive->SetMonthEntry(0, {Nov2005, 50, 0});
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestMonth, Oct2005);
    EXPECT_EQ(Archive->RequestStart, 1);
    EXPECT_EQ(Archive->RequestCount, 100);

    Answer(); // 13 records
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestMonth, Oct2005);
    EXPECT_EQ(Archive->RequestStart, 14);
    EXPECT_EQ(Archive->RequestCount, 87);

    while (Archive->RequestMonth == Oct2005 && Answer())
        Archive->Poll();
    EXPECT_EQ(Archive->RequestMonth, Nov2005);
    EXPECT_EQ(Archive->RequestStart, 1);
    EXPECT_EQ(Archive->RequestCount, 50);
    // The finished older month is written and let go.
    EXPECT_EQ(ReadBytes(Path("2005oct.qdr")).size(), 12u + 100u * 6u);
    EXPECT_EQ(Archive->Find("2005oct.qdr"), nullptr);
    EXPECT_EQ(Archive->MonthProgress(1).Done, 100);
    EXPECT_EQ(Archive->MonthProgress(1).Filed, 100);
}

TEST_F(ArchiveTest, LostRecordsSetOriginAndFiledRecordsAreNeverOverwritten)
{
    Archive->SetMonthEntry(0, {Nov2005, 120, 20});
    Archive->Poll();
    EXPECT_EQ(Archive->RequestStart, 21);
    EXPECT_EQ(Archive->RequestCount, 100);
    ASSERT_TRUE(Archive->StoreRecord(Nov2005, 21, Rec(21).data()));
    const auto* file = dynamic_cast<TFileArchQDR*>(Archive->Current());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Origin(), 20);
    EXPECT_EQ(file->Count(), 21);

    // A repeated (late) reply changes nothing.
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 21, Rec(21, 99).data()));
    EXPECT_EQ(WordAt(*file, 0, 2), 7);
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 0, Rec(0).data())) << "index 0 names no record";

    // A record further on leaves a gap that the display does not show.
    ASSERT_TRUE(Archive->StoreRecord(Nov2005, 24, Rec(24).data()));
    EXPECT_EQ(file->Count(), 24);
    EXPECT_EQ(file->RecordAt(1), nullptr);
    EXPECT_NE(file->RecordAt(3), nullptr);
    Archive->Poll();
    EXPECT_EQ(Archive->RequestStart, 25) << "gaps are not asked for again";
}

TEST_F(ArchiveTest, PollReportsCountOrMonthButNotStartAlone)
{
    Archive->SetMonthEntry(0, {Nov2005, 50, 0});
    ASSERT_TRUE(Archive->Poll());
    ASSERT_TRUE(Archive->StoreRecord(Nov2005, 1, Rec(1).data()));
    Archive->SetMonthEntry(0, {Nov2005, 51, 0});
    EXPECT_FALSE(Archive->Poll());
    EXPECT_EQ(Archive->RequestStart, 2);
    EXPECT_EQ(Archive->RequestCount, 50);
    EXPECT_EQ(Archive->DownloadStatusText(), QStringLiteral("2005NOV: zostáva 50 záznamov"));
}

TEST_F(ArchiveTest, FewerRecordsThanFiledAskWhoAnswersThenKeepTheFileAsReplaced)
{
    int asked = 0;
    std::vector<TArchiveQDR::TMovedAside> moved;
    Archive->OnIdentityWanted = [&] { ++asked; };
    Archive->OnMovedAside = [&](const TArchiveQDR::TMovedAside& m) { moved.push_back(m); };
    Archive->SetIdentity(QStringLiteral("QDR A"));
    Archive->SetMonthEntry(0, {Nov2005, 300, 0});
    Download();
    Archive->SaveAll();
    const Bytes filed = ReadBytes(Path("2005nov.qdr"));
    ASSERT_EQ(filed.size(), 12u + 300u * 6u);

    // The regulator counts from 1 again and has lost its first 2 records:
    // nothing is filed after the old records, and who answers is asked first.
    Archive->SetMonthEntry(0, {Nov2005, 5, 2});
    Archive->Poll();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Archive->RequestCount, 0);
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 3, Rec(3, 500).data()));
    Archive->Poll();
    EXPECT_EQ(asked, 1) << "asked once";
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")), filed);

    // The same regulator answers: its month starts anew, the old file kept.
    Archive->SetIdentity(QStringLiteral("QDR A"));
    Archive->Poll();
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].Reason, QLatin1String(TArchiveQDR::ReplacedReason));
    EXPECT_EQ(moved[0].Was, QStringLiteral("QDR A"));
    EXPECT_EQ(moved[0].Now, QStringLiteral("QDR A"));
    EXPECT_EQ(moved[0].Reported, 5);
    EXPECT_EQ(moved[0].Records, 300);
    EXPECT_EQ(moved[0].Aside, Path("2005nov.qdr.replaced"));
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr.replaced")), filed);
    EXPECT_EQ(Archive->RequestStart, 3);
    EXPECT_EQ(Archive->RequestCount, 3);
    Answer(13, 500);
    Archive->Poll();
    EXPECT_EQ(Archive->RequestCount, 0);
    Bytes fresh = Header(2, Nov2005, 0, 0);
    for (uint16_t i = 3; i <= 5; ++i)
        Append(fresh, Rec(i, 500));
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")), fresh);

    // A new session carries on from the fresh file.
    Archive.reset();
    TArchiveQDR again(Dir.path());
    again.SetChannels(2);
    again.SetMonthEntry(0, {Nov2005, 7, 2});
    again.Poll();
    EXPECT_EQ(again.RequestStart, 6);
    EXPECT_EQ(again.RequestCount, 2);
}

TEST_F(ArchiveTest, AnotherIdentificationReplacesEveryMonthItHolds)
{
    std::vector<TArchiveQDR::TMovedAside> moved;
    Archive->OnMovedAside = [&](const TArchiveQDR::TMovedAside& m) { moved.push_back(m); };
    Archive->SetIdentity(QStringLiteral("QDR A"));
    Archive->SetMonthEntry(1, {Oct2005, 20, 0});
    Archive->SetMonthEntry(0, {Nov2005, 10, 0});
    Download();
    // Identified again as itself (a restart, a link opened again) and the
    // month turned: nothing is moved.
    Archive->SetIdentity(QStringLiteral("QDR A"));
    Archive->SetMonthEntry(1, {Nov2005, 12, 0});
    Archive->SetMonthEntry(0, {Dec2005, 2, 0});
    Download();
    EXPECT_TRUE(moved.empty());
    Archive->SaveAll();
    const Bytes november = ReadBytes(Path("2005nov.qdr"));
    ASSERT_EQ(november.size(), 12u + 12u * 6u);

    // Another regulator with as many records or more: each month of its
    // table whose file holds records is kept aside and fetched anew.
    Archive->SetIdentity(QStringLiteral("NEW REGULATOR"));
    Archive->SetMonthEntry(1, {Nov2005, 14, 0});
    Archive->Poll();
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].Month, Nov2005);
    EXPECT_EQ(moved[0].Was, QStringLiteral("QDR A"));
    EXPECT_EQ(moved[0].Now, QStringLiteral("NEW REGULATOR"));
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr.replaced")), november);
    EXPECT_EQ(Archive->RequestStart, 1);
    EXPECT_EQ(Archive->RequestCount, 14);
    Download();
    ASSERT_EQ(moved.size(), 2u);
    EXPECT_EQ(moved[1].Month, Dec2005);
    Archive->SaveAll();
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")).size(), 12u + 14u * 6u);
    EXPECT_EQ(ReadBytes(Path("2005dec.qdr.replaced")).size(), 12u + 2u * 6u);
    EXPECT_TRUE(QFile::exists(Path("2005oct.qdr"))) << "a month no longer in the table stays";
    EXPECT_FALSE(QFile::exists(Path("2005oct.qdr.replaced")));
}

TEST_F(ArchiveTest, TheMonthBeingFilledIsSavedAtItsFirstRecordThenOnAScheduleAndAtTheEnd)
{
    Archive->SaveEveryMs = 4000;
    Archive->SaveGapMs = 1500;
    const auto held = [&] { return (ReadBytes(Path("2005nov.qdr")).size() - 12) / 6; };
    Archive->SetMonthEntry(0, {Nov2005, 100, 0});
    Archive->Poll();
    ASSERT_TRUE(Answer(1));
    Archive->Poll();
    EXPECT_EQ(held(), 1u) << "the first record at once";
    QElapsedTimer clock;
    clock.start();
    // Records keep arriving, and a reader looks at the month meanwhile.
    while (clock.elapsed() < 2500) {
        ASSERT_TRUE(Answer(1));
        TFileMem* reader = Archive->OpenMonth(Nov2005);
        Archive->Release(reader);
        Archive->Poll();
        QThread::msleep(50);
    }
    EXPECT_EQ(held(), 1u) << "saved again before its time";
    // Timed right after the poll that saved, as a loaded machine may sleep long.
    while (Archive->ScheduledSaves() == 1u && clock.elapsed() < 20000) {
        ASSERT_TRUE(Answer(1));
        Archive->Poll();
        if (Archive->ScheduledSaves() == 1u)
            QThread::msleep(50);
    }
    const qint64 second = clock.elapsed();
    EXPECT_GT(held(), 1u);
    EXPECT_GE(second, 2500);
    EXPECT_LT(second, 9000) << "saved every SaveEveryMs while records arrive";
    // Caught up at once: the end is saved, but not within SaveGapMs.
    Archive->SetMonthEntry(0, {Nov2005, uint16_t(Archive->MonthProgress(0).Done + 3), 0});
    Archive->Poll();
    ASSERT_TRUE(Answer());
    Archive->Poll();
    EXPECT_EQ(Archive->RequestCount, 0);
    EXPECT_LT(held(), Archive->MonthProgress(0).Done) << "the end waits for SaveGapMs after the last save";
    ASSERT_TRUE(PumpPolls([&] { return held() == Archive->MonthProgress(0).Done; }, 10000));
    EXPECT_GE(clock.elapsed() - second, 1500) << "the end saved within SaveGapMs of the last save";
    EXPECT_EQ(Archive->ScheduledSaves(), 3u);
}

TEST_F(ArchiveTest, MonthTurnFinishesOldMonthAndStartsNew)
{
    Archive->SetMonthEntry(0, {Nov2005, 10, 0});
    Download();
    ASSERT_NE(Archive->Find("2005nov.qdr"), nullptr);

    // Entry 0 moves to entry 1, with two more records that came before the turn.
    Archive->SetMonthEntry(1, {Nov2005, 12, 0});
    Archive->SetMonthEntry(0, {Dec2005, 2, 0});
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestMonth, Nov2005);
    EXPECT_EQ(Archive->RequestStart, 11);
    EXPECT_EQ(Archive->RequestCount, 2);
    Answer();
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestMonth, Dec2005);
    EXPECT_EQ(Archive->RequestStart, 1);
    EXPECT_EQ(Archive->Find("2005nov.qdr"), nullptr) << "the old month is released";
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")).size(), 12u + 12u * 6u);
    Answer();
    Archive->Poll();
    EXPECT_EQ(Archive->RequestCount, 0);
    EXPECT_EQ(ReadBytes(Path("2005dec.qdr")).size(), 12u + 2u * 6u);
}

TEST_F(ArchiveTest, RecordsOfAnotherSizeAreRefused)
{
    TArchiveQDR fresh(Path("other"));
    QDir().mkpath(Path("other"));
    fresh.SetMonthEntry(0, {Nov2005, 5, 0});
    fresh.Poll();
    EXPECT_FALSE(fresh.StoreRecord(Nov2005, 1, Rec(1).data())) << "no channel count known yet";

    Archive->SetMonthEntry(0, {Nov2005, 5, 0});
    Archive->Poll();
    const Bytes eight = Words({1455, 1, 2, 3});
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 1, eight.data(), 8));
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 1, eight.data(), 4));
    EXPECT_TRUE(Archive->StoreRecord(Nov2005, 1, Rec(1).data(), 6));
    // The regulator's size changes mid-month: the month's records are kept
    // aside under a name that says why and the month starts a new file.
    std::vector<TArchiveQDR::TMovedAside> moved;
    Archive->OnMovedAside = [&](const TArchiveQDR::TMovedAside& m) { moved.push_back(m); };
    Archive->SetChannels(3);
    EXPECT_TRUE(Archive->StoreRecord(Nov2005, 2, eight.data()));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].OldSize, 6);
    EXPECT_EQ(moved[0].NewSize, 8);
    EXPECT_EQ(moved[0].Aside, Path("2005nov.qdr.recordsize"));
    EXPECT_EQ(Archive->Current()->RecordSize(), 8);
    EXPECT_EQ(Archive->Current()->Count(), 2);
    QFile aside(moved[0].Aside);
    ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
    EXPECT_EQ(aside.readAll().mid(12), QByteArray(reinterpret_cast<const char*>(Rec(1).data()), 6));
}

TEST_F(ArchiveTest, AMonthThatCannotBeMovedAsideDoesNotStarveTheOthers)
{
    Archive->SetMonthEntry(1, {Oct2005, 20, 0});
    Archive->SetMonthEntry(0, {Nov2005, 5, 0});
    Archive->Poll();
    ASSERT_TRUE(Answer(3));
    Archive->SaveAll();
    // A meter is added; every name October's file could be kept under is taken.
    for (int n = 0; n < 1000; ++n)
        WriteBytes(Path(QStringLiteral("2005oct.qdr.recordsize") + (n ? QStringLiteral(".%1").arg(n) : QString())), {});
    Archive->SetChannels(3);
    Archive->Poll();
    EXPECT_EQ(Archive->BlockedMonth, Oct2005);
    EXPECT_EQ(Archive->RequestMonth, Nov2005) << "the current month goes on";
    EXPECT_EQ(Archive->RequestStart, 1);
    // Once a name is free again, October is moved aside and fetched anew.
    ASSERT_TRUE(QFile::remove(Path("2005oct.qdr.recordsize.7")));
    Archive->BlockedRetryMs = 0;
    Archive->Poll();
    EXPECT_EQ(Archive->BlockedMonth, 0);
    EXPECT_EQ(Archive->RequestMonth, Oct2005);
    EXPECT_EQ(ReadBytes(Path("2005oct.qdr.recordsize.7")).size(), 12u + 3u * 6u);
}

TEST_F(ArchiveTest, FullCacheProducesNoRequestUntilASlotFrees)
{
    std::vector<TFileMem*> views;
    for (uint16_t m = 0; m < 8; ++m)
        views.push_back(Archive->OpenMonth(static_cast<uint16_t>(Oct2005 - 20 + m)));
    Archive->SetMonthEntry(0, {Nov2005, 5, 0});
    EXPECT_FALSE(Archive->Poll());
    EXPECT_EQ(Archive->RequestCount, 0);
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 1, Rec(1).data()));
    Archive->Release(views[4]);
    EXPECT_TRUE(Archive->Poll());
    EXPECT_EQ(Archive->RequestCount, 5);
    EXPECT_TRUE(Archive->StoreRecord(Nov2005, 1, Rec(1).data()));
}

TEST_F(ArchiveTest, KindMaskAndTableTexts)
{
    Archive->SetMonthEntry(0, {Nov2005, 120, 20});
    Archive->SetMonthEntry(13, {Dec2005, 1, 1});
    EXPECT_EQ(Archive->EntryText(0, 0), "2005NOV");
    EXPECT_EQ(Archive->EntryText(0, 1), "120");
    EXPECT_EQ(Archive->EntryText(0, 2), "20");
    EXPECT_EQ(Archive->EntryText(0, 3), "");
    EXPECT_EQ(Archive->EntryText(13, 0), "");
    EXPECT_EQ(Archive->EntryText(2, 0), "???????");

    Archive->Poll();
    Archive->KindMask = 0x0002;
    ASSERT_TRUE(Archive->StoreRecord(Nov2005, 21, Rec(21).data()));
    Archive->KindMask = 0x0003;
    EXPECT_FALSE(Archive->StoreRecord(Nov2005, 21, Rec(21).data()));
    Archive.reset();
    const Bytes bytes = ReadBytes(Path("2005nov.qdr"));
    ASSERT_GE(bytes.size(), 12u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12), Header(20, Nov2005, 0, 3))
        << "the mask last reported reaches the header";
}

TEST_F(ArchiveTest, OlderHeaderIsReadAndRewrittenOnlyAfterAChange)
{
    Bytes old = Words({Nov2005, 6, 0x0004});
    Append(old, Rec(1));
    Append(old, Rec(2));
    WriteBytes(Path("2005nov.qdr"), old);
    WriteBytes(Path("2005dec.qdr"), old); // month of another file

    {
        TFileArchQDR f(0, 4608);
        EXPECT_TRUE(f.Load(Path("2005nov.qdr")));
        EXPECT_TRUE(f.LoadedOldHeader());
        EXPECT_EQ(f.Month(), Nov2005);
        EXPECT_EQ(f.KindMask(), 4);
        EXPECT_EQ(f.Count(), 2);
        TFileArchQDR g(0, 4608);
        EXPECT_FALSE(g.Load(Path("2005dec.qdr")));
        EXPECT_EQ(g.Count(), 0);
    }
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")), old) << "loading alone writes nothing";

    Archive->KindMask = 4;
    Archive->SetMonthEntry(0, {Nov2005, 3, 0});
    Archive->Poll();
    EXPECT_EQ(Archive->RequestStart, 3);
    Answer();
    Archive.reset();
    Bytes expected = Header(0, Nov2005, 0, 4);
    for (uint16_t i = 1; i <= 3; ++i)
        Append(expected, Rec(i));
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")), expected);
}

TEST_F(ArchiveTest, RecordSizeChangeResetsProgress)
{
    Archive->SetMonthEntry(0, {Nov2005, 4, 0});
    Download();
    EXPECT_EQ(Archive->MonthProgress(0).Done, 4);
    ASSERT_NE(Archive->Current(), nullptr);
    Archive->SetRecordSize(0);
    EXPECT_NE(Archive->Current(), nullptr) << "same size: nothing reset";
    Archive->SetRecordSize(8);
    EXPECT_EQ(Archive->Current(), nullptr);
    EXPECT_EQ(Archive->MonthProgress(0).Done, 0);
    EXPECT_EQ(Archive->Find("2005nov.qdr"), nullptr);
    EXPECT_EQ(ReadBytes(Path("2005nov.qdr")).size(), 12u + 4u * 6u);
}

// Whatever lies in a monthly file, loading it is safe and leaves a consistent
// object: no more records than the file can hold, none past the capacity.
TEST(ArchiveFileTest, RandomBytesLoadSafely)
{
    QTemporaryDir dir;
    const QString name = dir.filePath("2005nov.qdr");
    QRandomGenerator rng(1234);
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes b(rng.bounded(0, 200));
        for (auto& x : b)
            x = static_cast<uint8_t>(rng.bounded(256));
        if (round % 4 == 1 && b.size() >= 12) // valid-looking new header, random sizes
            std::copy_n(Words({12, static_cast<uint16_t>(rng.bounded(0, 9)), static_cast<uint16_t>(rng.bounded(65536)),
                               Nov2005}).begin(), 8, b.begin());
        if (round % 4 == 2 && b.size() >= 6) // valid-looking old header
            std::copy_n(Words({Nov2005, static_cast<uint16_t>(rng.bounded(0, 9))}).begin(), 4, b.begin());
        WriteBytes(name, b);
        TFileArchQDR f(0, 16);
        const bool ok = f.Load(name);
        accepted += ok;
        EXPECT_LE(f.Held(), 16);
        if (ok) {
            const size_t header = f.LoadedOldHeader() ? 6 : 12;
            EXPECT_NE(f.RecordSize(), 0);
            EXPECT_LE(header + size_t(f.Held()) * f.RecordSize(), b.size());
            EXPECT_EQ(uint32_t(f.Origin()) + f.Held(), uint32_t(f.Count())) << "Count never wraps";
            for (uint16_t i = 0; i < f.Held(); ++i) {
                if (const uint8_t* r = f.RecordAt(i)) {
                    EXPECT_NE(GetWord(r), 0);
                }
            }
        } else {
            EXPECT_EQ(f.Held(), 0);
        }
    }
    EXPECT_GT(accepted, 50) << "the valid-looking headers must load";
}
