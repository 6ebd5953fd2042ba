// The engine around the schedule: every reply block into its values and the
// archive, the archive replies that must not be filed, the seconds of
// silence, the tick, the one-off write and closing.
#include "AppTestSupport.h"

#include "comm/ComThread.h"
#include "core/Tick.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

namespace {

constexpr uint16_t Nov2026 = 2026 * 12 + 10;
constexpr uint16_t Oct2026 = Nov2026 - 1;

void Feed(TEngine& e, uint8_t command, const Bytes& data)
{
    e.ComBufData(0, static_cast<uint8_t>(command | 0x80), static_cast<uint8_t>(data.size()), data.data());
}

// A regulator of the given generation answered identification and information.
void Known(TEngine& e, uint8_t generation, uint8_t meters)
{
    Feed(e, 0, IdentBlock(generation == 3 ? "X 2002" : generation == 2 ? "X 2000" : "X 1999"));
    Feed(e, 1, InfoBlock(meters));
}

// Archive record of a two-meter regulator: interval time, two values.
Bytes Rec(uint16_t index, uint16_t tag = 0)
{
    Bytes r(6, 0);
    Put16(r, 0, static_cast<uint16_t>(1440 + 15 * (index - 1)));
    Put16(r, 2, index);
    Put16(r, 4, static_cast<uint16_t>(tag + 7));
    return r;
}

Bytes Recs(uint16_t first, uint16_t count, uint16_t tag = 0)
{
    Bytes b;
    for (uint16_t i = 0; i < count; ++i) {
        const Bytes r = Rec(static_cast<uint16_t>(first + i), tag);
        b.insert(b.end(), r.begin(), r.end());
    }
    return b;
}

// The file of a month as the archive holds it (a reference is taken and given back).
struct Filed {
    uint16_t Count = 0;
    uint16_t Origin = 0;
    Bytes At(uint16_t position) const { return position < Records.size() ? Records[position] : Bytes(); }
    std::vector<Bytes> Records;
};
Filed FiledOf(TArchiveQDR& a, uint16_t month)
{
    Filed f;
    TFileMem* file = a.OpenMonth(month);
    if (!file)
        return f;
    f.Count = file->Count();
    f.Origin = file->Origin();
    for (uint16_t p = 0; p < file->Count(); ++p) {
        const uint8_t* r = file->Get(file->RecordSize(), p);
        f.Records.push_back(r ? Bytes(r, r + file->RecordSize()) : Bytes());
    }
    a.Release(file);
    return f;
}

// Sets the month table through a measurement block and lets the archive
// compute its request, as the tick does.
void Table(TEngine& e, const Bytes& table)
{
    Feed(e, 2, MeasurementBlock(2, table));
    e.Archive->Poll();
}

// Sends the archive request the schedule would send now, so that the reply
// fed next answers it.
void Ask(TEngineRig& rig)
{
    TEngine& e = *rig.Engine;
    e.SetActivePage(TEngine::PageArchive);
    const size_t before = rig.Regulator.Requests.size();
    rig.Model.AnswerAll = false;
    // Up to a live poll and the archive request after it.
    for (int i = 0; i < 12 && e.ArchiveReplies->Asked.Command == 0; ++i)
        ASSERT_TRUE(rig.Step());
    rig.Model.AnswerAll = true;
    ASSERT_NE(e.ArchiveReplies->Asked.Command, 0) << "no archive request went out";
    ASSERT_GT(rig.Regulator.Requests.size(), before);
}

} // namespace

TEST(EngineReplies, IdentificationSetsTextAndGeneration)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;

    Feed(e, 0, Bytes(9, 'x'));
    EXPECT_EQ(e.Generation(), 0) << "a 9-byte identification changes nothing";
    EXPECT_FALSE(e.ValueId->IsValid());

    Feed(e, 0, IdentBlock("QDR-10 v2002"));
    EXPECT_EQ(e.Generation(), 3);
    EXPECT_EQ(e.ValueId->GetDisplay(), QStringLiteral("QDR-10 v2002"));
    EXPECT_EQ(e.ValueId->Age, 0);
    EXPECT_TRUE(e.ValueId->NeverExpires()) << "the identification does not age out";
    Feed(e, 0, IdentBlock("QDR-10 v2000"));
    EXPECT_EQ(e.Generation(), 2);
    Feed(e, 0, IdentBlock("QDR-10 v2001"));
    EXPECT_EQ(e.Generation(), 1);
    Feed(e, 0, IdentBlock("QDR-10 v1002"));
    EXPECT_EQ(e.Generation(), 1);

    // The text stops at a zero byte; the generation still reads the block's end.
    Bytes cut = IdentBlock("ABC");
    cut.push_back(0);
    cut.insert(cut.end(), {'2', '0', '0', '2'});
    Feed(e, 0, cut);
    EXPECT_EQ(e.ValueId->Text, QStringLiteral("ABC"));
    EXPECT_EQ(e.Generation(), 3);

    // Texts are in the regulator's code page: 0x8A is a capital S with caron.
    Feed(e, 0, IdentBlock("\x8A" "tart 2000"));
    EXPECT_EQ(e.ValueId->Text, QString::fromUtf8("\u0160tart 2000"));

    // At most 248 characters come from a full-length block.
    Feed(e, 0, Bytes(255, 'a'));
    EXPECT_EQ(e.ValueId->Text.size(), 247);
}

TEST(EngineReplies, InformationFeedsItsValuesAndCountsChannelsByGeneration)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    std::vector<std::pair<uint16_t, uint16_t>> powers;
    e.OnRegulatedPower = [&](uint16_t vt, uint16_t nt) { powers.emplace_back(vt, nt); };
    Feed(e, 0, IdentBlock("X 1999"));
    ASSERT_EQ(e.Generation(), 1);
    Bytes info = InfoBlock(4, 812, 650);
    Put32(info, 4, 0x11223344);
    Put32(info, 8, 0x55667788);
    Feed(e, 1, info);
    EXPECT_EQ(e.ValueKem->GetValue(), 4);
    EXPECT_EQ(e.ValueKrs->GetValue(), 6);
    EXPECT_EQ(e.ValueKso->GetValue(), 12);
    EXPECT_EQ(e.ValuePregV->GetValue(), 812);
    EXPECT_EQ(e.ValuePregN->GetValue(), 650);
    EXPECT_EQ(e.ValueTini->GetValue(), (uint32_t(2024 * 12 + 2) << 16) | 1500);
    EXPECT_EQ(e.ValueTnmi->GetValue(), 0x11223344u);
    EXPECT_EQ(e.ValueTcfg->GetValue(), 0x55667788u);
    EXPECT_EQ(e.ValueTres->GetValue(), (uint32_t(2024 * 12 + 3) << 16) | 61);
    for (const TValue* v : {static_cast<const TValue*>(e.ValueKem), static_cast<const TValue*>(e.ValueTres)}) {
        EXPECT_TRUE(v->IsValid());
        EXPECT_EQ(v->Age, 0);
    }
    EXPECT_EQ(powers, (std::vector<std::pair<uint16_t, uint16_t>>{{812, 650}}));
    EXPECT_EQ(e.GridEm->MeterCount, 4);
    EXPECT_EQ(e.Archive->ArchiveRecordSize(), 10);
    EXPECT_EQ(e.Archive->KindMask, 0x03) << "generations 1 and 2 take the kinds from block 1, shifted";
    EXPECT_EQ(e.Schedule().PollStep(), 1);

    e.Schedule().SetPollStep(2);
    Feed(e, 0, IdentBlock("X 2002"));
    e.Archive->KindMask = 0x55;
    // A block that changes the record size is taken when a second agrees.
    Feed(e, 1, InfoBlock(4));
    EXPECT_EQ(e.Archive->ArchiveRecordSize(), 10);
    Feed(e, 1, InfoBlock(4));
    EXPECT_EQ(e.ValueKem->GetValue(), 4) << "the meters as received";
    EXPECT_EQ(e.GridEm->MeterCount, 5) << "generation 3 adds the main measurement";
    EXPECT_EQ(e.Archive->ArchiveRecordSize(), 12);
    EXPECT_EQ(e.Archive->KindMask, 0x55) << "generation 3 does not take the kinds from block 1";
    EXPECT_EQ(e.Schedule().PollStep(), 2) << "only a step of 0 is moved";

    Feed(e, 7, {0x10, 0x02, 0x20, 0x01});
    EXPECT_EQ(e.ValuePregV->GetValue(), 0x0210);
    EXPECT_EQ(e.ValuePregN->GetValue(), 0x0120);
    EXPECT_EQ(powers.back(), (std::pair<uint16_t, uint16_t>{0x0210, 0x0120}));
}

TEST(EngineReplies, MeasurementBlocksDecodeAtOddOffsetsIntoTheirValues)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    const TInterfaceME& me = *e.InterfaceME;
    Bytes b2(35, 0);
    Put32(b2, 1, 0x5EE20123);
    Put16(b2, 5, 433);
    Put16(b2, 7, 0x0102);
    Put16(b2, 9, 0x0304);
    b2[11] = 5;
    b2[12] = 1;
    Put16(b2, 13, 900);
    Put16(b2, 15, 700);
    Put32(b2, 17, 0x01020304);
    Put32(b2, 21, 0x0A0B0C0D);
    const Bytes table = MonthTable(Nov2026, Oct2026, 77, 2900, 3);
    std::copy(table.begin(), table.end(), b2.begin() + 25);
    Feed(e, 2, b2);
    EXPECT_EQ(me.TimeStamp->GetValue(), 0x5EE20123u);
    EXPECT_EQ(me.IntervalTime->GetValue(), 433);
    EXPECT_EQ(me.Power->GetValue(), 0x0102);
    EXPECT_EQ(me.AveragePower->GetValue(), 0x0304);
    EXPECT_EQ(e.ValueRs->GetValue(), 5);
    EXPECT_EQ(e.ValueTa->GetDisplay(), QStringLiteral("NT"));
    EXPECT_EQ(e.ValuePmV->GetValue(), 900);
    EXPECT_EQ(e.ValuePmN->GetValue(), 700);
    EXPECT_EQ(e.ValueTmV->GetValue(), 0x01020304u);
    EXPECT_EQ(e.ValueTmN->GetValue(), 0x0A0B0C0Du);
    EXPECT_TRUE(e.GridAr->IsValid());
    // The lost records belong to the older month while it has records.
    EXPECT_EQ(e.Archive->MonthEntry(0).Month, Nov2026);
    EXPECT_EQ(e.Archive->MonthEntry(0).Count, 77);
    EXPECT_EQ(e.Archive->MonthEntry(1).Month, Oct2026);
    EXPECT_EQ(e.Archive->MonthEntry(1).Count, 2903);
    EXPECT_EQ(e.Archive->MonthEntry(1).Lost, 3);

    Bytes b5(43, 0);
    Put32(b5, 0, 0x5EE20200);
    b5[8] = 3;
    b5[9] = 0;
    b5[10] = 0x05;             // appliances 1 and 3
    b5[17] = 0x80;             // appliance 64
    b5[18] = 0x02;             // signal 2
    Put16(b5, 27, 0xBEEF);     // straddles maximum VT (26) and NT (28)
    Put32(b5, 30, 0x11111111);
    Put32(b5, 34, 0x22222222);
    Put32(b5, 38, 0x33333333);
    Feed(e, 5, b5);
    EXPECT_EQ(me.TimeStamp->GetValue(), 0x5EE20200u);
    EXPECT_EQ(e.ValueRs->GetValue(), 3);
    EXPECT_EQ(e.ValueTa->GetDisplay(), QStringLiteral("VT"));
    EXPECT_EQ(e.ListIO->ApplianceStates, 0x8000000000000005ull);
    EXPECT_EQ(e.ListIO->SignalStates, 0x2ull);
    EXPECT_EQ(e.ValuePmV->GetValue(), 0xEF00);
    EXPECT_EQ(e.ValuePmN->GetValue(), 0x00BE);
    EXPECT_EQ(e.ValueTmV->GetValue(), 0x11111111u);
    EXPECT_EQ(e.ValueTmN->GetValue(), 0x22222222u);
    EXPECT_EQ(e.ValueTr->GetValue(), 0x33333333u);
    EXPECT_EQ(me.IntervalTime->GetValue(), 433) << "block 5 carries no time in the interval";
}

TEST(EngineReplies, GenerationThreeBlocksFeedTheGridTheArchiveAndTheConsumption)
{
    TEngineRig rig([](TSettings& s) {
        s.Merania = 1;
        s.JalPlus = 3;
        s.JalMinus = 4;
        s.MeterNames = QStringList{QStringLiteral("Hala"), QString(), QStringLiteral("Kompresor")};
    });
    TEngine& e = *rig.Engine;
    const TInterfaceME& me = *e.InterfaceME;
    Known(e, 3, 4);
    Bytes b(88, 0);
    Put32(b, 0, 0x5EE20500);
    Put16(b, 4, 125);
    Put16(b, 6, 1234);       // main measurement
    Put16(b, 8, 1111);
    Put16(b, 6 + 4 * 1, 10); // meter 1
    Put16(b, 6 + 4 * 3, 50); // meter 3, reactive
    Put16(b, 6 + 4 * 4, 80); // meter 4, reactive
    Put16(b, 6 + 4 * 12, 42);
    Put16(b, 58, 0x000C);
    const Bytes table = MonthTable(Nov2026, Oct2026, 10, 20, 0);
    std::copy(table.begin(), table.end(), b.begin() + 60);
    Put16(b, 70, 700);
    Put16(b, 72, 650);
    Put32(b, 74, 46000);
    Put16(b, 78, 9);
    Put32(b, 80, 153162);
    Put16(b, 84, 100);
    Put16(b, 86, 40);
    Feed(e, 10, b);
    EXPECT_EQ(me.TimeStamp->GetValue(), 0x5EE20500u);
    EXPECT_EQ(me.IntervalTime->GetValue(), 125);
    EXPECT_EQ(me.Power->GetValue(), 1234);
    EXPECT_EQ(me.AveragePower->GetValue(), 1111);
    EXPECT_EQ(me.ReactivePower->GetValue(), -30) << "meter 3 minus meter 4";
    EXPECT_EQ(e.GridEm->Readings[12][0], 42);
    EXPECT_EQ(e.Archive->KindMask, 0x0C);
    EXPECT_EQ(e.Archive->MonthEntry(1).Count, 20);
    EXPECT_EQ(me.AllowedPower->GetValue(), 700);
    EXPECT_EQ(me.OptimalIntervalPower->GetValue(), 650);
    EXPECT_EQ(me.Date->GetValue(), 46000u);
    EXPECT_EQ(me.Number->GetValue(), 9);
    EXPECT_EQ(me.IntervalNumber->GetValue(), 153162u);
    EXPECT_EQ(me.AgreedEnergy->GetValue(), 100);
    EXPECT_EQ(me.MeasuredEnergy->GetValue(), 40);

    // The grid shows the four reported meters with their readings in
    // generation 3, the named one by its name, the others by their numbers.
    QString text;
    int alignment = 2;
    EXPECT_TRUE(e.GridEm->IsRowShown(1, 3));
    EXPECT_TRUE(e.GridEm->IsRowShown(1, 2));
    EXPECT_FALSE(e.GridEm->IsRowShown(1, 5));
    e.GridEm->GetCellText(0, 2, text, alignment);
    EXPECT_EQ(text, QStringLiteral("02: Elektromer 2"));
    e.GridEm->GetCellText(0, 3, text, alignment);
    EXPECT_EQ(text, QStringLiteral("03: Kompresor"));
    e.GridEm->GetCellText(1, 3, text, alignment);
    EXPECT_EQ(text, QStringLiteral("50"));

    // One tick brings the computed values up to date: 30 minutes past the
    // hour plus 125 s into the interval.
    rig.Engine->ComBufTick();
    EXPECT_EQ(me.HourTime->GetValue(), 1800 + 125);
    EXPECT_TRUE(me.OptimalPower->IsValid());

    // Block 8 is the same first 70 bytes.
    Bytes b8(b.begin(), b.begin() + 70);
    Put16(b8, 6, 999);
    Feed(e, 8, b8);
    EXPECT_EQ(me.Power->GetValue(), 999);
}

TEST(EngineReplies, IntervalRecordsFillSlotsInTurn)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    for (uint32_t slot = 0; slot < 4; ++slot) {
        Bytes b(4 + 2 * (slot + 1), 0);
        Put32(b, 0, 1000 + slot);
        b[4] = static_cast<uint8_t>(10 + slot);
        Feed(e, 4, b);
    }
    EXPECT_EQ(e.Schedule().RecordIndex(), 0);
    for (uint32_t slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(e.ValueQ[slot]->GetValue(), 1000 + slot);
        EXPECT_EQ(e.ListQ[slot]->VisibleCount(), int(slot + 1));
        EXPECT_EQ(e.ListQ[slot]->Samples[0][0], 10 + slot);
    }
    Feed(e, 4, {1, 2, 3});
    EXPECT_EQ(e.Schedule().RecordIndex(), 0) << "a 3-byte record does not advance";
    EXPECT_EQ(e.ValueQ[0]->GetValue(), 1000u);
    Bytes big(200, 0);
    big[4 + 2 * 59] = 77;
    big[4 + 2 * 60] = 88;
    Feed(e, 4, big);
    EXPECT_EQ(e.ListQ[0]->VisibleCount(), 60) << "98 samples, 60 kept";
    EXPECT_EQ(e.ListQ[0]->Samples[59][0], 77);
    EXPECT_EQ(e.Schedule().RecordIndex(), 1);
}

TEST(EngineReplies, EveryReplyEndsTheSilenceAndReachesTheHook)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    std::vector<uint8_t> seen;
    e.OnReply = [&](uint8_t, uint8_t command, uint8_t, const uint8_t*) { seen.push_back(command); };
    e.LinkWatch().SetSilentSeconds(30);
    Feed(e, 11, Bytes(52, 0));
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 0);
    e.LinkWatch().SetSilentSeconds(30);
    e.ComBufData(0, 0x05, 3, reinterpret_cast<const uint8_t*>("abc"));
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 0);
    EXPECT_EQ(seen, (std::vector<uint8_t>{0x8B, 0x05}));
    EXPECT_FALSE(e.InterfaceME->TimeStamp->IsValid());
}

TEST(EngineValues, EveryControlFindsItsValueInStartUpOrder)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    std::vector<const TValue*> seen;
    for (const QString& name : TEngine::ControlNames()) {
        const TValue* v = e.Value(name);
        ASSERT_NE(v, nullptr) << name.toStdString();
        if (name != QLatin1String("PanelDt")) {
            EXPECT_EQ(std::count(seen.begin(), seen.end(), v), 0) << name.toStdString() << " shares a value";
        }
        seen.push_back(v);
    }
    EXPECT_EQ(e.Value(QStringLiteral("LabelTd")), e.Value(QStringLiteral("PanelDt")));
    EXPECT_EQ(e.Value(QStringLiteral("LabelPa")), e.InterfaceME->Power);
    EXPECT_EQ(e.Value(QStringLiteral("ListBoxQ2")), e.ListQ[2]);
    EXPECT_EQ(e.Value(QStringLiteral("LabelXyz")), nullptr);
    // Rows 1 to 28 of the live pages, in table order, are the whole list.
    ASSERT_EQ(e.Values->Count(), 28);
    EXPECT_EQ(e.Values->Items(0), e.ValueTa);
    EXPECT_EQ(e.Values->Items(7), e.GridEm);
    EXPECT_EQ(e.Values->Items(10), e.ValueId);
    EXPECT_EQ(e.Values->Items(19), e.ValuePregN);
    EXPECT_EQ(e.Values->Items(20), e.ValueQ[0]);
    EXPECT_EQ(e.Values->Items(27), e.ListQ[3]);
    EXPECT_EQ(e.ListQ[0]->StepMinutes, 15);
    EXPECT_TRUE(e.InterfaceME->PowerFactor->Computed);
}

TEST(EngineValues, NamesComeFromTheConfiguration)
{
    TEngineRig rig([](TSettings& s) {
        s.Intervaly = 12;
        s.ApplianceNames = QStringList{QStringLiteral("Pec"), QString(), QStringLiteral("Klima")};
        s.SignalNames = QStringList{QString(), QStringLiteral("Dvere")};
    });
    TEngine& e = *rig.Engine;
    EXPECT_EQ(e.ListIO->ApplianceCount, 3);
    EXPECT_EQ(e.ListIO->SignalCount, 2);
    EXPECT_EQ(e.ListQ[3]->StepMinutes, 5);
    EXPECT_EQ(e.InterfaceME->IntervalMinutes, 5);
}

TEST(EngineArchive, RecordsOfCommandThreeAreFiledWhereTheRequestSaid)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 1;
    rig.Model.Meters = 2;
    ASSERT_TRUE(rig.Identify());
    ASSERT_EQ(e.Archive->ArchiveRecordSize(), 6);
    int changed = 0;
    e.OnArchiveChanged = [&](uint16_t month) {
        EXPECT_EQ(month, Nov2026);
        ++changed;
    };
    Table(e, MonthTable(Nov2026, 0, 40, 0, 0));
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    EXPECT_EQ(e.ArchiveReplies->Asked.Command, 3);
    EXPECT_EQ(e.ArchiveReplies->Asked.Month, Nov2026);
    EXPECT_EQ(e.ArchiveReplies->Asked.Start, 1);
    EXPECT_EQ(e.ArchiveReplies->Asked.Count, 13);

    // Fewer records than asked may be the late answer to a smaller request:
    // they are filed, at indexes 1..6, when a second answer agrees.
    Feed(e, 3, Recs(1, 6));
    EXPECT_EQ(e.ArchiveReplies->Problem, TArchiveReplies::Unconfirmed);
    EXPECT_EQ(e.ArchiveReplies->Stored, 0u);
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 3, Recs(1, 6));
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(e.ArchiveReplies->Stored, 6u);
    EXPECT_EQ(e.ArchiveReplies->Asked.Command, 0) << "an answered request is answered once";
    Filed f = FiledOf(*e.Archive, Nov2026);
    ASSERT_EQ(f.Count, 6);
    for (uint16_t i = 0; i < 6; ++i)
        EXPECT_EQ(f.At(i), Rec(i + 1));

    // The next request goes on from record 7.
    e.Archive->Poll();
    EXPECT_EQ(e.Archive->RequestStart, 7);
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    EXPECT_EQ(e.ArchiveReplies->Asked.Start, 7);
    Feed(e, 3, Recs(7, 13));
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 19);
    EXPECT_EQ(e.ArchiveReplies->Refused, 1u);
}

TEST(EngineArchive, OnlyRepliesThatCannotAnswerTheRequestAreRefused)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 1;
    rig.Model.Meters = 2;
    ASSERT_TRUE(rig.Identify());
    Table(e, MonthTable(Nov2026, 0, 40, 0, 0));
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 3, Recs(1, 14));
    EXPECT_EQ(e.ArchiveReplies->Refused, 1u) << "more records than asked";
    // Without a command-3 request outstanding nothing is filed either.
    Feed(e, 3, Recs(1, 2));
    EXPECT_EQ(e.ArchiveReplies->Refused, 2u);
    EXPECT_EQ(e.ArchiveReplies->Problem, TArchiveReplies::Unasked);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 0);

    // 82 data bytes: thirteen records, the last 4 bytes are no record.
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Bytes trailing = Recs(1, 14);
    trailing.resize(82);
    Feed(e, 3, trailing);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 13);

    // A record whose time is no time of the month asked for (day 0, the
    // 31st of November) cannot answer the request: the reply is refused.
    e.Archive->Poll();
    for (const uint16_t time : {uint16_t(1439), uint16_t(31 * 1440)}) {
        ASSERT_NO_FATAL_FAILURE(Ask(rig));
        ASSERT_EQ(e.ArchiveReplies->Asked.Start, 14);
        Bytes odd = Recs(14, 13);
        Put16(odd, 6, time);
        Feed(e, 3, odd);
        EXPECT_EQ(e.ArchiveReplies->Problem, TArchiveReplies::BadTime) << time;
        EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 13) << time;
    }
    // An erased slot (its time 0xFFFF) is filed as the empty record with its
    // channels as received, and the download goes on past it.
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Bytes odd = Recs(14, 13);
    Put16(odd, 6, 0xFFFF);
    Feed(e, 3, odd);
    const Filed f = FiledOf(*e.Archive, Nov2026);
    ASSERT_EQ(f.Count, 26);
    Bytes empty(odd.begin() + 6, odd.begin() + 12);
    Put16(empty, 0, 0);
    EXPECT_EQ(f.At(14), empty);
    EXPECT_EQ(f.At(15), Rec(16));
    e.Archive->Poll();
    EXPECT_EQ(e.Archive->RequestStart, 27);
}

TEST(EngineArchive, EmptyRecordsAreFiledAsGapsAndTheDownloadGoesOn)
{
    // A day without supply: runs of empty records longer than a batch, and
    // single ones between records with a time.
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 1;
    rig.Model.Meters = 2;
    ASSERT_TRUE(rig.Identify());
    Table(e, MonthTable(Nov2026, 0, 40, 0, 0));
    Bytes empty(6, 0xFF);
    Put16(empty, 0, 0);
    Bytes batch;
    for (int k = 0; k < 13; ++k)
        batch.insert(batch.end(), empty.begin(), empty.end());
    // A reply of empty records only could be a late one to any request: it
    // is filed when the next answer to the same request agrees.
    for (uint16_t start : {1, 1, 14, 14}) {
        SCOPED_TRACE(start);
        ASSERT_NO_FATAL_FAILURE(Ask(rig));
        ASSERT_EQ(e.ArchiveReplies->Asked.Start, start);
        Feed(e, 3, batch);
        e.Archive->Poll();
    }
    EXPECT_EQ(e.ArchiveReplies->Refused, 2u);
    Bytes mixed = Recs(27, 13);
    for (int k : {0, 5, 12})
        std::copy(empty.begin(), empty.end(), mixed.begin() + 6 * k);
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Start, 27);
    Feed(e, 3, mixed);
    EXPECT_EQ(e.ArchiveReplies->Refused, 2u);
    const Filed f = FiledOf(*e.Archive, Nov2026);
    ASSERT_EQ(f.Count, 39);
    for (uint16_t p = 0; p < 39; ++p) {
        const bool gap = p < 26 || p == 26 || p == 31 || p == 38;
        EXPECT_EQ(f.At(p), gap ? empty : Rec(p + 1)) << "position " << p << ": filed as received";
    }
    // A record is not shown for a gap.
    TFileMem* file = e.Archive->OpenMonth(Nov2026);
    ASSERT_NE(file, nullptr);
    auto* arch = dynamic_cast<TFileArchQDR*>(file);
    ASSERT_NE(arch, nullptr);
    EXPECT_EQ(arch->RecordAt(31), nullptr);
    EXPECT_NE(arch->RecordAt(30), nullptr);
    e.Archive->Release(file);

    // A late repeat that holds a gap is still known for what it is, and a
    // late empty record lays no gap over the record the next answer brings.
    e.Archive->Poll();
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Start, 40);
    Feed(e, 3, mixed);
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 3, empty);
    EXPECT_EQ(e.ArchiveReplies->Refused, 4u);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 39);
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Start, 40);
    Feed(e, 3, Recs(40, 1));
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).At(39), Rec(40));
}

TEST(EngineArchive, SlotsOfAnotherRecordSizeAreRefused)
{
    // Four meters make 10-byte records, which a 6-byte slot cannot hold.
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 1;
    rig.Model.Meters = 4;
    ASSERT_TRUE(rig.Identify());
    ASSERT_EQ(e.Archive->ArchiveRecordSize(), 10);
    Table(e, MonthTable(Nov2026, 0, 40, 0, 0));
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 3, Recs(1, 5));
    EXPECT_EQ(e.ArchiveReplies->Stored, 0u);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 0);
}

TEST(EngineArchive, ALateOrRepeatedReplyIsNotFiledAtTheNextRecords)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 1;
    rig.Model.Meters = 2;
    ASSERT_TRUE(rig.Identify());
    Table(e, MonthTable(Nov2026, Oct2026, 30, 13, 0));
    // Records 1..13 of the older month come in ...
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Month, Oct2026);
    Feed(e, 3, Recs(1, 13));
    ASSERT_EQ(FiledOf(*e.Archive, Oct2026).Count, 13);
    e.Archive->Poll();
    // ... then the same reply once more, arriving after the request for the
    // first records of the current month.
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Month, Nov2026);
    ASSERT_EQ(e.ArchiveReplies->Asked.Start, 1);
    Feed(e, 3, Recs(1, 13));
    EXPECT_EQ(e.ArchiveReplies->Refused, 1u);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 0);
    // The real answer is taken.
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 3, Recs(1, 13, 100));
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 13);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).At(0), Rec(1, 100));
}

// Replies carry no command code: a reply that missed its time-out arrives as
// the answer to whatever request is outstanding then.
TEST(LateReply, ALiveBlockArrivingForAnArchiveRequestIsNotFiled)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 1;
    rig.Model.Meters = 2;
    ASSERT_TRUE(rig.Identify());
    Table(e, MonthTable(Nov2026, 0, 40, 0, 0));
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    // The 35 bytes of a measurement block: five slots and five bytes more.
    Feed(e, 3, MeasurementBlock(2, MonthTable(Nov2026, 0, 40, 0, 0)));
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 0);
    // The batch asked again is answered and filed.
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 3, Recs(1, 13));
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 13);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).At(1), Rec(2));
}

TEST(LateReply, FourArchiveRecordsAreNotTakenForTheInformationBlock)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    Known(e, 1, 2);
    ASSERT_EQ(e.Archive->ArchiveRecordSize(), 6);
    // 24 bytes, the length of the information block: its meter count would
    // be a record's value, and the month's file would be moved aside.
    Feed(e, 1, Recs(1, 4));
    EXPECT_EQ(e.Archive->ArchiveRecordSize(), 6);
    EXPECT_EQ(e.ValueKem->GetValue(), 2);
    // A meter really added is taken once a second block says the same.
    Feed(e, 1, InfoBlock(3));
    EXPECT_EQ(e.Archive->ArchiveRecordSize(), 6);
    Feed(e, 1, InfoBlock(3));
    EXPECT_EQ(e.Archive->ArchiveRecordSize(), 8);
    EXPECT_EQ(e.ValueKem->GetValue(), 3);
}

TEST(EngineArchive, CommandNineIsFiledOnlyForTheMonthAndIndexAsked)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    rig.Model.Generation = 3;
    rig.Model.Meters = 4;
    ASSERT_TRUE(rig.Identify());
    ASSERT_EQ(e.Archive->ArchiveRecordSize(), 12);
    Table(e, MonthTable(Nov2026, 0, 5, 0, 2));
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Command, 9);
    ASSERT_EQ(e.ArchiveReplies->Asked.Start, 3) << "two lost records";
    auto block = [](uint16_t month, uint16_t index, uint16_t time) {
        Bytes b(32, 0xFF);
        Put16(b, 0, month);
        Put16(b, 2, index);
        Put16(b, 4, time);
        return b;
    };
    Feed(e, 9, block(Oct2026, 3, 1500));
    Feed(e, 9, block(Nov2026, 4, 1500)); // nothing outstanding any more
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 9, block(Nov2026, 4, 1500));
    EXPECT_EQ(e.ArchiveReplies->Refused, 3u);
    EXPECT_EQ(e.ArchiveReplies->Problem, TArchiveReplies::OtherRecord);
    EXPECT_EQ(FiledOf(*e.Archive, Nov2026).Count, 0);

    // An erased slot is filed as the empty record, and the next one follows.
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    Feed(e, 9, block(Nov2026, 3, 0xFFFF));
    e.Archive->Poll();
    ASSERT_NO_FATAL_FAILURE(Ask(rig));
    ASSERT_EQ(e.ArchiveReplies->Asked.Start, 4);
    Feed(e, 9, block(Nov2026, 4, 1440 + 30));
    const Filed f = FiledOf(*e.Archive, Nov2026);
    EXPECT_EQ(f.Origin, 2);
    ASSERT_EQ(f.Count, 4);
    Bytes expected(12, 0xFF);
    Put16(expected, 0, 0);
    EXPECT_EQ(f.At(2), expected);
    Put16(expected, 0, 1440 + 30);
    EXPECT_EQ(f.At(3), expected) << "the record's 12 bytes from offset 4";
    EXPECT_EQ(e.ArchiveReplies->Refused, 3u);
}

TEST(EngineTick, TheTickDrivesTheDownloadStatusAndAgesTheValues)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    Known(e, 1, 2);
    std::vector<QString> shown;
    e.OnDownloadStatus = [&](const QString& text) { shown.push_back(text); };
    int ticks = 0;
    e.OnTicked = [&](void*) { ++ticks; };
    Feed(e, 2, MeasurementBlock(2, MonthTable(Nov2026, 0, 13, 0, 0)));
    e.ComBufTick();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(e.DownloadStatus(), QStringLiteral("2026NOV: zostáva 13 záznamov"));
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_TRUE(e.InterfaceME->Power->Changed) << "a fresh value is marked changed at the next tick";
    e.ComBufTick();
    EXPECT_FALSE(e.InterfaceME->Power->Changed);
    EXPECT_EQ(shown.size(), 1u) << "nothing new to tell";

    // Ageing: a value set 41 seconds ago has expired at the next tick.
    e.ValueRs->ValidateAt(0, static_cast<uint16_t>(GetTick16() - 41000));
    for (int i = 0; i < 41; ++i)
        e.ComBufTick();
    EXPECT_FALSE(e.ValueRs->IsValid());

    e.SetDownload(false);
    Feed(e, 2, MeasurementBlock(2, MonthTable(Nov2026, 0, 20, 0, 0)));
    e.ComBufTick();
    EXPECT_EQ(e.Archive->RequestCount, 13) << "a switched-off download asks for nothing new";
}

TEST(EngineStall, OnlyTimeTheRegulatorIsHeardCountsAndTheReasonIsSlovak)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    Known(e, 1, 2);
    e.SetStallMs(300);
    const Bytes table = MonthTable(Nov2026, 0, 13, 0, 0);
    Feed(e, 2, MeasurementBlock(2, table));
    e.ComBufTick();
    ASSERT_EQ(e.Archive->RequestCount, 13);
    QThread::msleep(400);
    e.ComBufTick();
    EXPECT_FALSE(e.Stall().Stalled) << "nothing was heard since the download stood still";
    // The regulator answers, the download does not move.
    Feed(e, 2, MeasurementBlock(2, table));
    e.ComBufTick();
    ASSERT_TRUE(e.Stall().Stalled);
    EXPECT_TRUE(e.DownloadStatus().startsWith(QStringLiteral("2026NOV stojí pri zázname 1: "))) << qPrintable(e.DownloadStatus());

    const std::pair<uint8_t, const char*> reasons[] = {
        {1, "regulátor na archívne požiadavky neodpovedá včas"},
        {2, "archívne požiadavky končia chybou komunikačného rozhrania"},
        {6, "na archívne požiadavky prichádza chybná odpoveď (&)"},
    };
    for (const auto& [code, why] : reasons) {
        TEngine::TStall stall = e.Stall();
        stall.Code = code;
        e.DownloadWatch().SetStall(stall);
        EXPECT_EQ(e.StallText(), QStringLiteral("2026NOV stojí pri zázname 1: ") + QString::fromUtf8(why));
    }

    // The link goes down: the outage is what is said, the stall ends.
    e.SetClockShift(TEngine::LinkDownMs + 1000);
    e.ComBufTick();
    ASSERT_EQ(e.Link().State, TEngine::TLinkState::Down);
    EXPECT_FALSE(e.Stall().Stalled);
    EXPECT_FALSE(e.DownloadStatus().contains(QStringLiteral("stojí"))) << qPrintable(e.DownloadStatus());
}

TEST(EngineSilence, SixtySilentSecondsInvalidateEveryValueUntilTheNextReply)
{
    TEngineRig rig;
    rig.Model.Table = MonthTable(Nov2026, 0, 0, 0, 0);
    ASSERT_TRUE(rig.Prime());
    TEngine& e = *rig.Engine;
    Feed(e, 4, Bytes(10, 1));
    Feed(e, 5, MeasurementBlock(5));
    int silences = 0;
    e.OnSilence = [&](void*) { ++silences; };
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 0);
    for (int i = 0; i < 59; ++i)
        e.SecondStep();
    EXPECT_EQ(e.Generation(), 3);
    EXPECT_TRUE(e.ValueId->IsValid());
    EXPECT_EQ(silences, 0);
    e.SecondStep();
    EXPECT_EQ(e.Generation(), 0);
    EXPECT_EQ(silences, 1);
    for (uint16_t i = 0; i < e.Values->Count(); ++i)
        EXPECT_FALSE(e.Values->Items(i)->IsValid()) << "value " << i;
    for (uint8_t n = 1; n <= TInterfaceME::ValueCount; ++n)
        EXPECT_FALSE(e.InterfaceME->Value(n)->IsValid()) << "consumption value " << int(n);
    EXPECT_EQ(e.ValueId->GetDisplay(), QString()) << "even the identification, which never expires";
    for (int i = 0; i < 400; ++i)
        e.SecondStep();
    EXPECT_EQ(silences, 1) << "invalidated once per silence";
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 255);

    // The schedule starts over with the identification, then the information.
    rig.Model.AnswerAll = false;
    const size_t before = rig.Regulator.Requests.size();
    ASSERT_TRUE(rig.Run(21));
    EXPECT_EQ(rig.CommandsFrom(before), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(e.Schedule().PollGroup(), 1);
    EXPECT_EQ(e.Schedule().PollStep(), 0);
    rig.Model.AnswerAll = true;
    ASSERT_TRUE(rig.Prime());
    EXPECT_EQ(e.Generation(), 3);
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 0);
    EXPECT_TRUE(e.ValueId->IsValid());
    EXPECT_TRUE(e.ValueKem->IsValid());
    EXPECT_TRUE(e.InterfaceME->Power->IsValid());
    EXPECT_EQ(e.InterfaceME->Power->GetValue(), 654);
    EXPECT_TRUE(e.GridEm->IsValid());
    EXPECT_FALSE(e.ListQ[0]->IsValid()) << "a block not asked for again stays missing";
}

TEST(EngineSilence, NothingIsForgottenBeforeTheFirstReply)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    int silences = 0;
    e.OnSilence = [&](void*) { ++silences; };
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 255);
    for (int i = 0; i < 300; ++i)
        e.SecondStep();
    EXPECT_EQ(silences, 0);
}

TEST(EngineSilence, TickCountsWholeSecondsWithoutDrift)
{
    TEngineRig rig;
    TEngine& e = *rig.Engine;
    e.LinkWatch().SetSilentSeconds(0);
    e.SetSecondStamp(static_cast<uint16_t>(GetTick16() - 3050));
    for (int i = 0; i < 5; ++i)
        e.ComBufTick();
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 3) << "three seconds behind: three steps, one per tick, then none";
    e.ComBufTick();
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 3);
}

TEST(EngineWrite, WriteGoesOutInTheFreedCycle)
{
    TEngineRig rig({}, 100);
    rig.Model.Table = MonthTable(Nov2026, 0, 50, 0, 0);
    rig.ServeFromEventLoop();
    ASSERT_TRUE(PumpUntil([&] { return rig.Engine->Schedule().PollStep() != 0; }, 5000));
    TEngine& e = *rig.Engine;
    const uint8_t data[4] = {0x58, 0x02, 0x90, 0x01};
    ASSERT_TRUE(e.WriteCommand(7, 4, data));
    EXPECT_EQ(e.Schedule().WritePending(), 0);
    ASSERT_TRUE(PumpUntil([&] { return e.ValuePregV->GetValue() == 600; }, 2000));
    EXPECT_EQ(e.ValuePregN->GetValue(), 400);
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
        EXPECT_EQ(rig.Engine->Schedule().WritePending(), 0);
        for (const TRequest& r : rig.Regulator.Requests)
            EXPECT_NE(r.Command, 7);

        rig.Engine->Schedule().SetPollGroup(0);
        t.restart();
        EXPECT_FALSE(rig.Engine->WriteCommand(7, 4, data));
        EXPECT_LT(t.elapsed(), 100);
    }
    {
        TEngineRig rig({}, 100);
        rig.ServeFromEventLoop();
        ASSERT_TRUE(PumpUntil([&] { return rig.Engine->Schedule().PollStep() != 0; }, 5000));
        rig.Engine->Close();
        const uint8_t data[4] = {1, 0, 1, 0};
        EXPECT_FALSE(rig.Engine->WriteCommand(7, 4, data));
    }
}

TEST(EngineClose, ClosingStopsThePollingAndWaitsForTheLine)
{
    TEngineRig rig([](TSettings& s) { s.Timeout = 600; }, 100);
    rig.ServeFromEventLoop();
    ASSERT_TRUE(PumpUntil([&] { return rig.Engine->Schedule().PollStep() != 0; }, 5000));
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
    EXPECT_EQ(rig.Engine->Schedule().PollGroup(), 0);
    const size_t closed = rig.Regulator.Requests.size();
    PumpUntil([] { return false; }, 400);
    EXPECT_EQ(rig.Regulator.Requests.size(), closed);
    rig.Engine->Close(); // a second close is harmless
}

TEST(EngineClose, FreeingTheEngineSavesTheArchive)
{
    {
        TEngineRig rig;
        rig.Model.Generation = 1;
        rig.Model.Meters = 2;
        ASSERT_TRUE(rig.Identify());
        TEngine& e = *rig.Engine;
        Table(e, MonthTable(Nov2026, 0, 13, 0, 0));
        ASSERT_NO_FATAL_FAILURE(Ask(rig));
        Feed(e, 3, Recs(1, 13));
        const QString name = rig.Folder.filePath(QStringLiteral("2026nov.qdr"));
        rig.Engine.reset();
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
        EXPECT_EQ(f.size(), 12 + 13 * 6);
    }
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
    EXPECT_EQ(e.Schedule().Limit(), 32);
    EXPECT_EQ(e.Password(), QString::fromUtf8("TAJNé"));
    ASSERT_NE(e.Root(), nullptr);
    EXPECT_TRUE(e.Root()->IsDatagram());
    auto* root = dynamic_cast<TComThreadInterface*>(e.Root());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Thread->Timeout, 777);
    EXPECT_FALSE(root->Thread->Purge);
    EXPECT_EQ(root->Thread->Log.Capacity(), 96);
    EXPECT_TRUE(e.Description().contains(QString::number(rig.Regulator.Port))) << e.Description().toStdString();
    EXPECT_EQ(e.Schedule().PollGroup(), 1);
    EXPECT_EQ(e.LinkWatch().SilentSeconds(), 255);

    // The bus address travels in every request.
    ASSERT_TRUE(rig.Step());
    ASSERT_EQ(rig.Regulator.Requests.size(), 1u);
    EXPECT_EQ(rig.Regulator.Requests[0].Address, 7);
}
