// The request schedule driven through a real link (the engine's UDP chain and
// worker thread talk to a regulator the test plays on a loopback socket), and
// alone, handed what the others hold.
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::vector<int> StepsOf(const TTestRegulator& reg, size_t first, std::initializer_list<uint8_t> commands)
{
    std::vector<int> steps;
    for (size_t i = first; i < reg.Requests.size(); ++i)
        if (std::find(commands.begin(), commands.end(), reg.Requests[i].Command) != commands.end())
            steps.push_back(reg.Requests[i].Step);
    return steps;
}

void ExpectApart(const std::vector<int>& steps, int atLeast)
{
    for (size_t i = 1; i < steps.size(); ++i)
        EXPECT_GE(steps[i] - steps[i - 1], atLeast) << "requests " << i - 1 << " and " << i;
}

} // namespace

TEST(Schedule, OnlyIdentificationAndInformationUntilBothAnswered)
{
    TEngineRig rig;
    rig.Model.AnswerInfo = false;
    ASSERT_TRUE(rig.Run(45));
    const std::vector<uint8_t> cmds = rig.Regulator.Commands();
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(cmds[0], 0);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 0), 1) << "identified once, never asked again";
    for (size_t i = 1; i < cmds.size(); ++i)
        EXPECT_EQ(cmds[i], 1) << "request " << i;
    ExpectApart(StepsOf(rig.Regulator, 0, {0, 1}), 10);
    EXPECT_EQ(rig.Engine->Generation(), 3);
    EXPECT_EQ(rig.Engine->Schedule().PollStep(), 0);
    EXPECT_EQ(rig.Regulator.Malformed, 0);

    rig.Model.AnswerInfo = true;
    const size_t before = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(35));
    const std::vector<uint8_t> after = rig.CommandsFrom(before);
    ASSERT_GE(after.size(), 3u);
    EXPECT_EQ(after[0], 1);
    // Right after time-outs an answer may be a late one: the block is taken
    // when a second agrees.
    EXPECT_EQ(after[1], 1);
    EXPECT_EQ(after[2], 8) << "generation 3 polls the live block with command 8";
    EXPECT_EQ(rig.Engine->Schedule().PollStep(), 2);
    EXPECT_TRUE(rig.Engine->ValueKem->IsValid());
}

TEST(Schedule, SilentRegulatorIsAskedOnlyForIdentificationOncePerSecond)
{
    TEngineRig rig;
    rig.Model.AnswerAll = false;
    ASSERT_TRUE(rig.Run(35));
    const std::vector<uint8_t> cmds = rig.Regulator.Commands();
    EXPECT_EQ(cmds, std::vector<uint8_t>(4, 0));
    ExpectApart(StepsOf(rig.Regulator, 0, {0}), 10);
    EXPECT_EQ(rig.Codes, std::vector<uint8_t>(4, 1)) << "every exchange timed out";
    EXPECT_EQ(rig.Engine->Generation(), 0);
}

TEST(Schedule, SilentRegulatorOnTheRealTimer)
{
    TEngineRig rig({}, 100);
    rig.Model.AnswerAll = false;
    rig.ServeFromEventLoop();
    PumpUntil([] { return false; }, 2600);
    const std::vector<uint8_t> cmds = rig.Regulator.Commands();
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_LE(cmds.size(), 3u);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 0), long(cmds.size()));
    // Requests carry their arrival time in ms here.
    ExpectApart(StepsOf(rig.Regulator, 0, {0}), 900);
}

TEST(Schedule, LiveCommandFollowsGenerationMeraniaAndPage)
{
    struct Case {
        uint8_t Generation;
        uint8_t Merania;
        uint8_t Page;
        std::vector<uint8_t> Expected;
    };
    const Case cases[] = {
        {1, 0, TEngine::PageMeasurement, {2, 2, 2, 2}},
        {2, 0, TEngine::PageMeasurement, {2, 5, 2, 5}},
        {3, 0, TEngine::PageMeasurement, {8, 5, 8, 5}},
        {3, 1, TEngine::PageMeasurement, {10, 5, 10, 5}},
        {3, 0, TEngine::PageInformation, {8, 1, 8, 1}},
        {2, 0, TEngine::PageArchive, {2, 2, 2, 2}},
        {3, 1, TEngine::PageConsumption, {10, 10, 10, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "generation " << int(c.Generation) << ", Merania " << int(c.Merania)
                                        << ", page " << int(c.Page));
        TEngineRig rig([&](TSettings& s) { s.Merania = c.Merania; });
        rig.Model.Generation = c.Generation;
        ASSERT_TRUE(rig.Identify());
        EXPECT_EQ(rig.Engine->Generation(), c.Generation);
        EXPECT_EQ(rig.Engine->ComBuf->Extended, c.Merania != 0);
        rig.Engine->SetActivePage(c.Page);
        const size_t first = rig.Regulator.Requests.size();
        ASSERT_TRUE(rig.Run(40));
        EXPECT_EQ(rig.CommandsFrom(first), c.Expected);
        ExpectApart(StepsOf(rig.Regulator, first, {1, 2, 5, 8, 10}), 10);
        EXPECT_EQ(std::count(rig.Codes.begin(), rig.Codes.end(), 0), long(rig.Codes.size())) << "every reply accepted";
    }
}

TEST(Schedule, RecordPageReadsTheFourRecordsBackToBack)
{
    TEngineRig rig;
    ASSERT_TRUE(rig.Identify());
    rig.Engine->SetActivePage(TEngine::PageRecord);
    const size_t first = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(70));
    EXPECT_EQ(rig.CommandsFrom(first), (std::vector<uint8_t>{8, 4, 4, 4, 4, 8, 4}));
    std::vector<uint8_t> indexes;
    for (size_t i = first; i < rig.Regulator.Requests.size(); ++i)
        if (rig.Regulator.Requests[i].Command == 4) {
            ASSERT_EQ(rig.Regulator.Requests[i].Data.size(), 1u);
            indexes.push_back(rig.Regulator.Requests[i].Data[0]);
        }
    EXPECT_EQ(indexes, (std::vector<uint8_t>{0, 1, 2, 3, 0}));
    EXPECT_EQ(rig.Engine->Schedule().RecordIndex(), 1);
    for (size_t slot = 0; slot < 4; ++slot) {
        EXPECT_TRUE(rig.Engine->ValueQ[slot]->IsValid());
        EXPECT_EQ(rig.Engine->ValueQ[slot]->GetValue(), 0x12345678u);
        EXPECT_EQ(rig.Engine->ListQ[slot]->VisibleCount(), 15);
    }
}

TEST(Schedule, ArchiveRequestsFillTheCyclesBetweenLivePolls)
{
    struct Case {
        uint8_t Generation;
        uint8_t Limit;
        uint16_t Count;
        uint8_t Command;
        Bytes Data; // month 24290 = 0x5EE2, first record 5 (1-based)
    };
    const Case cases[] = {
        {1, 80, 40, 3, {0xE2, 0x5E, 4, 0, 13}},
        {2, 32, 40, 3, {0xE2, 0x5E, 4, 0, 5}},
        {1, 36, 40, 3, {0xE2, 0x5E, 4, 0, 5}}, // a record more would overrun a 36-byte reply
        {2, 80, 3, 3, {0xE2, 0x5E, 4, 0, 3}},
        {3, 80, 40, 9, {0xE2, 0x5E, 5, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "generation " << int(c.Generation) << ", Limit " << int(c.Limit));
        TEngineRig rig([&](TSettings& s) { s.Limit = c.Limit; });
        rig.Model.Generation = c.Generation;
        // Four lost records: the download starts at record 5. The model sends
        // back empty batches (never confirmed by a different request) or no
        // record at all, so nothing is filed and every request asks for the
        // same again.
        rig.Model.Table = MonthTable(24290, 0, c.Count, 0, 4);
        rig.Model.NoRecords = true;
        ASSERT_TRUE(rig.Prime());
        const size_t first = rig.Regulator.Requests.size();
        ASSERT_TRUE(rig.Run(30));
        const auto& reqs = rig.Regulator.Requests;
        // Every cycle carries a request: live ones a second apart, the archive
        // in all the others.
        EXPECT_EQ(reqs.size() - first, 30u);
        const std::vector<int> live = StepsOf(rig.Regulator, first, {2, 5, 8});
        EXPECT_EQ(live.size(), 3u);
        ExpectApart(live, 10);
        int archive = 0;
        for (size_t i = first; i < reqs.size(); ++i) {
            if (reqs[i].Command == 2 || reqs[i].Command == 5 || reqs[i].Command == 8)
                continue;
            ++archive;
            EXPECT_EQ(reqs[i].Command, c.Command);
            EXPECT_EQ(reqs[i].Data, c.Data);
        }
        EXPECT_EQ(archive, 27);
    }
}

TEST(Schedule, ArchivePageLeavesTheLineToTheDownloadUnlessMeraniaIsSet)
{
    for (const uint8_t merania : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "Merania " << int(merania));
        TEngineRig rig([&](TSettings& s) { s.Merania = merania; });
        rig.Model.Table = MonthTable(24290, 0, 100, 0, 0);
        ASSERT_TRUE(rig.Prime());
        rig.Engine->SetActivePage(TEngine::PageArchive);
        const size_t first = rig.Regulator.Requests.size();
        ASSERT_TRUE(rig.Run(30));
        const std::vector<int> live = StepsOf(rig.Regulator, first, {2, 5, 8, 10});
        const std::vector<int> archive = StepsOf(rig.Regulator, first, {9});
        if (merania) {
            EXPECT_EQ(live.size(), 3u);
            EXPECT_EQ(archive.size(), 27u);
        } else {
            EXPECT_TRUE(live.empty());
            EXPECT_EQ(archive.size(), 30u);
        }
    }
}

TEST(Schedule, PendingWriteGetsAnEmptyCycleOnlyOnceIdentified)
{
    TEngineRig rig;
    rig.Model.AnswerAll = false;
    rig.Engine->Schedule().SetWritePending(1);
    ASSERT_TRUE(rig.Step());
    EXPECT_EQ(rig.Regulator.Commands(), std::vector<uint8_t>{0}) << "no cycle is given away before identification";
    EXPECT_EQ(rig.Engine->Schedule().WritePending(), 1);

    TEngineRig ok;
    ok.Model.Table = MonthTable(24290, 0, 10, 0, 0);
    ASSERT_TRUE(ok.Prime());
    ASSERT_TRUE(ok.Run(3));
    const size_t before = ok.Regulator.Requests.size();
    ok.Engine->Schedule().SetWritePending(1);
    ASSERT_TRUE(ok.Step());
    EXPECT_EQ(ok.Regulator.Requests.size(), before) << "the cycle was left to the write";
    EXPECT_EQ(ok.Engine->Schedule().WritePending(), 0);
    ASSERT_TRUE(ok.Step());
    EXPECT_EQ(ok.Regulator.Requests.size(), before + 1) << "the schedule resumes in the next cycle";
}

TEST(Schedule, StoppedPollingSendsNothing)
{
    TEngineRig rig;
    ASSERT_TRUE(rig.Identify());
    rig.Engine->Schedule().SetPollGroup(0);
    const size_t before = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(35));
    EXPECT_EQ(rig.Regulator.Requests.size(), before);
}

// The schedule alone, without a link: what it is handed decides its turns.
TEST(Schedule, OrderOfTurnsWithoutALink)
{
    TSchedule s;
    s.SetGeneration(3);
    s.SetInformationEveryMs(60000);
    TSchedule::TInput in;
    in.Now = 5000;
    TSchedule::TRequest r;
    const auto next = [&] { return s.Cycle(in, r) == TSchedule::TTurn::Send ? int(r.Command) : -1; };
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(next(), 1) << "the information block until it is taken";
    s.SetPollStep(1);
    s.InformationTaken(in.Now);
    EXPECT_EQ(next(), 8);
    EXPECT_EQ(r.Hold, 1000);
    EXPECT_EQ(next(), 5);
    in.ArchiveMonth = 2026 * 12 + 9;
    in.ArchiveStart = 2901;
    in.ArchiveCount = 40;
    EXPECT_EQ(next(), 9) << "the download's group between the live ones";
    EXPECT_EQ(r.Length, 4);
    EXPECT_EQ(GetWord(r.Data.data()), 2026 * 12 + 9);
    EXPECT_EQ(GetWord(r.Data.data() + 2), 2901);
    EXPECT_EQ(r.Hold, 0);
    EXPECT_EQ(next(), 8);
    EXPECT_EQ(next(), 9);
    in.Now += 60000;
    EXPECT_EQ(next(), 1) << "a minute on, the information block in the second step";
    EXPECT_EQ(next(), 9);
    EXPECT_EQ(next(), 8);
    EXPECT_EQ(next(), 9);
    EXPECT_EQ(next(), 5) << "asked once per period";
    EXPECT_EQ(next(), 9);
    in.HoldFree = false;
    EXPECT_EQ(next(), 9) << "the live group waits out the hold time, the download does not";
    in.HoldFree = true;

    s.SetWritePending(1);
    in.WriterWaiting = true;
    EXPECT_EQ(s.Cycle(in, r), TSchedule::TTurn::Write);
    EXPECT_EQ(s.WritePending(), 0);
    EXPECT_EQ(next(), -1) << "nothing else until the write went out";
    s.WriteTaken();
    s.SetGeneration(2);
    EXPECT_NE(next(), -1);
    EXPECT_EQ(next(), 3) << "generation 2 asks batches";
    EXPECT_EQ(r.Data[4], s.BatchSize());
    s.SetPollGroup(0);
    EXPECT_EQ(next(), -1);
}

TEST(Schedule, FastDownloadFallsBackOnlyWhenThePaceIsAnsweredTwice)
{
    TSchedule s;
    s.SetGeneration(3);
    s.SetPollStep(1);
    s.SetFast(true);
    const auto missFast = [&](int times) {
        TSchedule::TAfter after = TSchedule::TAfter::None;
        for (int i = 0; i < times; ++i) {
            s.Sent(9, 0);
            s.SentFast();
            after = s.Ended(1);
        }
        return after;
    };
    const auto probe = [&](uint8_t code) {
        EXPECT_FALSE(s.FastReady()) << "no fast request while the probe is due";
        s.Sent(8, 0);
        return s.Ended(code);
    };
    EXPECT_EQ(missFast(TSchedule::FastMissLimit - 1), TSchedule::TAfter::Fast);
    EXPECT_EQ(missFast(1), TSchedule::TAfter::Probe);
    EXPECT_EQ(probe(1), TSchedule::TAfter::Fast) << "unanswered at the schedule's pace too: the link fails";
    EXPECT_EQ(missFast(TSchedule::FastMissLimit), TSchedule::TAfter::Probe);
    EXPECT_EQ(probe(0), TSchedule::TAfter::Fast) << "once is not enough";
    s.Sent(9, 0);
    s.SentFast();
    EXPECT_EQ(s.Ended(2), TSchedule::TAfter::None) << "an interface error says nothing of the pace";
    EXPECT_EQ(missFast(TSchedule::FastMissLimit), TSchedule::TAfter::Probe);
    EXPECT_EQ(probe(0), TSchedule::TAfter::FallBack);
    EXPECT_TRUE(s.FastDropped());
    EXPECT_FALSE(s.Fasting());
    EXPECT_EQ(missFast(1), TSchedule::TAfter::None);
}
