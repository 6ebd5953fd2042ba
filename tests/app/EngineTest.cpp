// The engine around the schedule: reply decoding, the seconds of silence,
// the one-off write and closing.
#include "AppTestSupport.h"

#include "comm/ComThread.h"
#include "core/Tick.h"

#include <gtest/gtest.h>

namespace {

void Feed(TEngine& e, uint8_t command, const Bytes& data)
{
    e.ComBufData(0, static_cast<uint8_t>(command | 0x80), static_cast<uint8_t>(data.size()), data.data());
}

} // namespace

TEST(EngineReplies, IdentificationSetsTextAndGeneration)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;

    Feed(e, 0, Bytes(9, 'x'));
    EXPECT_EQ(e.Generation, 0) << "a 9-byte identification changes nothing";
    EXPECT_FALSE(e.Identification.Valid);

    Feed(e, 0, IdentBlock("QDR-10 v2002"));
    EXPECT_EQ(e.Generation, 3);
    EXPECT_EQ(e.Identification.Text, QStringLiteral("QDR-10 v2002"));
    Feed(e, 0, IdentBlock("QDR-10 v2000"));
    EXPECT_EQ(e.Generation, 2);
    Feed(e, 0, IdentBlock("QDR-10 v2001"));
    EXPECT_EQ(e.Generation, 1);
    Feed(e, 0, IdentBlock("QDR-10 v1002"));
    EXPECT_EQ(e.Generation, 1);

    // The text stops at a zero byte; the generation still reads the block's end.
    Bytes cut = IdentBlock("ABC");
    cut.push_back(0);
    cut.insert(cut.end(), {'2', '0', '0', '2'});
    Feed(e, 0, cut);
    EXPECT_EQ(e.Identification.Text, QStringLiteral("ABC"));
    EXPECT_EQ(e.Generation, 3);

    // Texts are in the regulator's code page: 0x8A is a capital S with caron.
    Feed(e, 0, IdentBlock("\x8A" "tart 2000"));
    EXPECT_EQ(e.Identification.Text, QString::fromUtf8("\u0160tart 2000"));

    // At most 248 characters come from a full-length block.
    Bytes longest(255, 'a');
    Feed(e, 0, longest);
    EXPECT_EQ(e.Identification.Text.size(), 247);
}

TEST(EngineReplies, InformationCountsChannelsByGeneration)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    Feed(e, 0, IdentBlock("X 1999"));
    ASSERT_EQ(e.Generation, 1);
    Feed(e, 1, InfoBlock(4, 812, 650));
    EXPECT_EQ(e.Information.Meters, 4);
    EXPECT_EQ(e.Information.Stages, 6);
    EXPECT_EQ(e.Information.Appliances, 12);
    EXPECT_EQ(e.Information.PregVT, 812);
    EXPECT_EQ(e.Information.PregNT, 650);
    EXPECT_EQ(e.Information.TimeInit, (uint32_t(2024 * 12 + 2) << 16) | 1500);
    EXPECT_EQ(e.Information.TimeReset, (uint32_t(2024 * 12 + 3) << 16) | 61);
    EXPECT_EQ(e.Channels, 4);
    EXPECT_EQ(e.KindMask, 0x03) << "generations 1 and 2 take the kinds from block 1, shifted";
    EXPECT_EQ(e.PollStep, 1);

    e.PollStep = 2;
    Feed(e, 0, IdentBlock("X 2002"));
    e.KindMask = 0x55;
    Feed(e, 1, InfoBlock(4));
    EXPECT_EQ(e.Information.Meters, 4);
    EXPECT_EQ(e.Channels, 5) << "generation 3 adds the main measurement";
    EXPECT_EQ(e.KindMask, 0x55) << "generation 3 does not take the kinds from block 1";
    EXPECT_EQ(e.PollStep, 2) << "only a step of 0 is moved";

    Feed(e, 7, {0x10, 0x02, 0x20, 0x01});
    EXPECT_EQ(e.Information.PregVT, 0x0210);
    EXPECT_EQ(e.Information.PregNT, 0x0120);
}

TEST(EngineReplies, LiveBlocksDecodeAtTheirOffsets)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    Bytes b2(35, 0);
    Put32(b2, 1, 0x5EE20123);
    Put16(b2, 5, 433);
    Put16(b2, 7, 0x0102);
    Put16(b2, 9, 0x0304);
    b2[11] = 5;
    b2[12] = 1;
    Put16(b2, 13, 900);
    Put16(b2, 15, 700);
    Put16(b2, 25, 24290);
    Put16(b2, 29, 77);
    Put16(b2, 33, 2);
    Feed(e, 2, b2);
    ASSERT_TRUE(e.Live.Valid);
    EXPECT_EQ(e.Live.Time, 0x5EE20123u);
    EXPECT_EQ(e.Live.Seconds, 433);
    EXPECT_EQ(e.Live.Power, 0x0102);
    EXPECT_EQ(e.Live.Average, 0x0304);
    EXPECT_EQ(e.Live.Stage, 5);
    EXPECT_EQ(e.Live.Tariff, 1);
    EXPECT_EQ(e.Live.MaxVT, 900);
    EXPECT_EQ(e.Live.MaxNT, 700);
    EXPECT_EQ(e.Live.Table.Month0, 24290);
    EXPECT_EQ(e.Live.Table.Count0, 77);
    EXPECT_EQ(e.Live.Table.Lost, 2);

    Bytes b8(70, 0);
    Put16(b8, 4, 12);
    Put16(b8, 6, 1234);
    Put16(b8, 8, 1111);
    Put16(b8, 6 + 4 * 12, 42);
    Put16(b8, 58, 0x0A);
    Put16(b8, 62, 24289);
    Feed(e, 8, b8);
    EXPECT_EQ(e.Live.Command, 8);
    EXPECT_EQ(e.Live.Power, 1234);
    EXPECT_EQ(e.Live.Average, 1111);
    EXPECT_EQ(e.Live.Readings[12][0], 42);
    EXPECT_EQ(e.KindMask, 0x0A);
    EXPECT_EQ(e.Live.Table.Month1, 24289);
    EXPECT_EQ(e.Live.Stage, 5) << "block 8 leaves the stage of the last block 2 or 5";
}

TEST(EngineReplies, IntervalRecordsFillSlotsInTurn)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    for (uint32_t slot = 0; slot < 4; ++slot) {
        Bytes b(4 + 2 * (slot + 1), 0);
        Put32(b, 0, 1000 + slot);
        Feed(e, 4, b);
    }
    EXPECT_EQ(e.RecordIndex, 0);
    for (uint32_t slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(e.Records[slot].Time, 1000 + slot);
        EXPECT_EQ(e.Records[slot].Samples.size(), slot + 1);
    }
    Feed(e, 4, {1, 2, 3});
    EXPECT_EQ(e.RecordIndex, 0) << "a 3-byte record does not advance";
    Bytes big(200, 0);
    Put16(big, 4 + 2 * 59, 4242);
    Feed(e, 4, big);
    EXPECT_EQ(e.Records[0].Samples.size(), 60u);
    EXPECT_EQ(e.Records[0].Samples[59], 4242);
    EXPECT_EQ(e.RecordIndex, 1);
}

TEST(EngineReplies, EveryReplyEndsTheSilenceAndReachesTheHook)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    std::vector<uint8_t> seen;
    e.OnReply = [&](uint8_t, uint8_t command, uint8_t, const uint8_t*) { seen.push_back(command); };
    e.SilentSeconds = 30;
    Feed(e, 11, Bytes(52, 0));
    EXPECT_EQ(e.SilentSeconds, 0);
    e.SilentSeconds = 30;
    e.ComBufData(0, 0x05, 3, reinterpret_cast<const uint8_t*>("abc"));
    EXPECT_EQ(e.SilentSeconds, 0);
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x8B, 0x05}));
    EXPECT_FALSE(e.Live.Valid);
}

TEST(EngineSilence, SixtySilentSecondsForgetTheRegulator)
{
    TEngineRig rig;
    ASSERT_TRUE(rig.Identify());
    TEngine& e = *rig.Engine;
    int silences = 0;
    e.OnSilence = [&](void*) { ++silences; };
    EXPECT_EQ(e.SilentSeconds, 0);
    for (int i = 0; i < 59; ++i)
        e.SecondStep();
    EXPECT_EQ(e.Generation, 3);
    EXPECT_EQ(silences, 0);
    e.SecondStep();
    EXPECT_EQ(e.Generation, 0);
    EXPECT_EQ(silences, 1);
    EXPECT_FALSE(e.Identification.Valid);
    EXPECT_FALSE(e.Information.Valid);
    for (int i = 0; i < 400; ++i)
        e.SecondStep();
    EXPECT_EQ(silences, 1) << "invalidated once per silence";
    EXPECT_EQ(e.SilentSeconds, 255);

    // The schedule starts over with the identification, then the information.
    rig.Model.AnswerAll = false;
    const size_t before = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(21));
    EXPECT_EQ(rig.CommandsFrom(before), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(e.PollGroup, 1);
    EXPECT_EQ(e.PollStep, 0);
    rig.Model.AnswerAll = true;
    ASSERT_TRUE(rig.Identify());
    EXPECT_EQ(e.Generation, 3);
    EXPECT_EQ(e.SilentSeconds, 0);
}

TEST(EngineSilence, NothingIsForgottenBeforeTheFirstReply)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    int silences = 0;
    e.OnSilence = [&](void*) { ++silences; };
    EXPECT_EQ(e.SilentSeconds, 255);
    for (int i = 0; i < 300; ++i)
        e.SecondStep();
    EXPECT_EQ(silences, 0);
}

TEST(EngineSilence, TickCountsWholeSecondsWithoutDrift)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    e.SilentSeconds = 0;
    e.SecondStamp = static_cast<uint16_t>(GetTick16() - 3050);
    for (int i = 0; i < 5; ++i)
        e.ComBufTick();
    EXPECT_EQ(e.SilentSeconds, 3) << "three seconds behind: three steps, one per tick, then none";
    e.ComBufTick();
    EXPECT_EQ(e.SilentSeconds, 3);
}

TEST(EngineWrite, WriteGoesOutInTheFreedCycle)
{
    TEngineRig rig({}, 100);
    rig.ServeFromEventLoop();
    ASSERT_TRUE(PumpUntil([&] { return rig.Engine->PollStep != 0; }, 5000));
    TEngine& e = *rig.Engine;
    e.Archive = {50, 24290, 1};
    const uint8_t data[4] = {0x58, 0x02, 0x90, 0x01};
    ASSERT_TRUE(e.WriteCommand(7, 4, data));
    EXPECT_EQ(e.WritePending, 0);
    ASSERT_TRUE(PumpUntil([&] { return e.Information.PregVT == 600; }, 2000));
    EXPECT_EQ(e.Information.PregNT, 400);
    size_t writes = 0;
    for (const TRequest& r : rig.Regulator.Requests)
        if (r.Command == 7) {
            ++writes;
            EXPECT_EQ(r.Data, Bytes(data, data + 4));
        }
    EXPECT_EQ(writes, 1u);
    EXPECT_EQ(rig.Regulator.Malformed, 0);
}

TEST(EngineWrite, WriteGivesUpInsteadOfHanging)
{
    {
        TEngineRig rig({}, 100);
        rig.Model.AnswerAll = false;
        rig.ServeFromEventLoop();
        const uint8_t data[4] = {1, 0, 1, 0};
        QElapsedTimer t;
        t.start();
        EXPECT_FALSE(rig.Engine->WriteCommand(7, 4, data, 600)) << "never identified: no cycle is freed";
        EXPECT_LT(t.elapsed(), 2000);
        EXPECT_EQ(rig.Engine->WritePending, 0);
        for (const TRequest& r : rig.Regulator.Requests)
            EXPECT_NE(r.Command, 7);

        rig.Engine->PollGroup = 0;
        t.restart();
        EXPECT_FALSE(rig.Engine->WriteCommand(7, 4, data));
        EXPECT_LT(t.elapsed(), 100);
    }
    {
        TEngineRig rig({}, 100);
        rig.ServeFromEventLoop();
        ASSERT_TRUE(PumpUntil([&] { return rig.Engine->PollStep != 0; }, 5000));
        rig.Engine->Close();
        const uint8_t data[4] = {1, 0, 1, 0};
        EXPECT_FALSE(rig.Engine->WriteCommand(7, 4, data));
    }
}

TEST(EngineClose, ClosingStopsThePollingAndWaitsForTheLine)
{
    TEngineRig rig([](TSettings& s) { s.Timeout = 600; }, 100);
    rig.ServeFromEventLoop();
    ASSERT_TRUE(PumpUntil([&] { return rig.Engine->PollStep != 0; }, 5000));
    rig.Model.AnswerAll = false;
    // Wait for a request that will not be answered, then close during it.
    const size_t before = rig.Regulator.Requests.size();
    ASSERT_TRUE(PumpUntil([&] { return rig.Regulator.Requests.size() > before; }, 3000));
    ASSERT_FALSE(rig.Engine->ComBuf->RootIdle());
    QElapsedTimer t;
    t.start();
    rig.Engine->Close();
    EXPECT_TRUE(rig.Engine->Closed());
    EXPECT_TRUE(rig.Engine->ComBuf->RootIdle());
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_EQ(rig.Engine->PollGroup, 0);
    const size_t closed = rig.Regulator.Requests.size();
    PumpUntil([] { return false; }, 400);
    EXPECT_EQ(rig.Regulator.Requests.size(), closed);
    rig.Engine->Close(); // a second close is harmless
}

TEST(EngineSetup, ChainFollowsTheSettings)
{
    TEngineRig rig([](TSettings& s) {
        s.Adr = 7;
        s.PauseW = 0;
        s.Timeout = 777;
        s.Merania = 1;
        s.Limit = 20;
        s.Password = QStringLiteral("tajné");
    });
    TEngine& e = *rig.Engine;
    EXPECT_EQ(e.ComBuf->Address, 7);
    EXPECT_TRUE(e.ComBuf->Extended);
    EXPECT_EQ(e.ComBuf->CyclePeriod, 100);
    EXPECT_EQ(e.Limit, 32);
    EXPECT_EQ(e.Password, QString::fromUtf8("TAJNé"));
    ASSERT_NE(e.Root(), nullptr);
    EXPECT_TRUE(e.Root()->IsDatagram());
    auto* root = dynamic_cast<TComThreadInterface*>(e.Root());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Thread->Timeout, 777);
    EXPECT_FALSE(root->Thread->Purge);
    EXPECT_EQ(root->Thread->Log.Capacity(), 96);
    EXPECT_TRUE(e.Description().contains(QString::number(rig.Regulator.Port))) << e.Description().toStdString();
    EXPECT_EQ(e.PollGroup, 1);
    EXPECT_EQ(e.SilentSeconds, 255);

    // The bus address travels in every request.
    ASSERT_TRUE(rig.Step());
    ASSERT_EQ(rig.Regulator.Requests.size(), 1u);
    EXPECT_EQ(rig.Regulator.Requests[0].Address, 7);
}
