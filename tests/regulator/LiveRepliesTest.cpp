// The live reply blocks decoded: each field read where the regulator puts it,
// blocks too short for their kind refused, and the hold on blocks that may
// be late answers.
#include "regulator/IdentificationReply.h"
#include "regulator/InformationReply.h"
#include "regulator/Measurement3Reply.h"
#include "regulator/MeasurementReply.h"
#include "regulator/PowerReply.h"
#include "regulator/RecordSlotReply.h"
#include "regulator/ReplyAgreement.h"
#include "regulator/StatesReply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A block of n bytes, each a different filler so that a field read from the
// wrong offset shows, with the fields a test puts over it.
struct TBlock {
    Bytes B;
    explicit TBlock(size_t n)
        : B(n)
    {
        for (size_t i = 0; i < n; ++i)
            B[i] = static_cast<uint8_t>(0xA0 + i);
    }
    TBlock& Byte(size_t at, uint8_t v)
    {
        B[at] = v;
        return *this;
    }
    TBlock& Word(size_t at, uint16_t v) { return Byte(at, uint8_t(v)).Byte(at + 1, uint8_t(v >> 8)); }
    TBlock& Long(size_t at, uint32_t v) { return Word(at, uint16_t(v)).Word(at + 2, uint16_t(v >> 16)); }
    const uint8_t* Data() const { return B.data(); }
    uint8_t Size() const { return static_cast<uint8_t>(B.size()); }
};

Bytes Identification(const std::string& text)
{
    Bytes b(6, 0x11);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

} // namespace

TEST(LiveReplies, BlocksShorterThanTheirKindAreRefused)
{
    const TBlock big(255);
    const uint8_t* d = big.Data();
    EXPECT_FALSE(DecodeIdentification(nullptr, 20));
    EXPECT_FALSE(DecodeIdentification(d, 9));
    EXPECT_TRUE(DecodeIdentification(d, 10));
    EXPECT_FALSE(DecodeInformation(d, 23, 1));
    EXPECT_TRUE(DecodeInformation(d, 24, 1));
    EXPECT_FALSE(DecodeMeasurement(d, 34));
    EXPECT_TRUE(DecodeMeasurement(d, 35));
    EXPECT_FALSE(DecodeRecordSlot(d, 3));
    EXPECT_TRUE(DecodeRecordSlot(d, 4));
    EXPECT_FALSE(DecodeStates(d, 42));
    EXPECT_TRUE(DecodeStates(d, 43));
    EXPECT_FALSE(DecodeRegulatedPowers(d, 3));
    EXPECT_TRUE(DecodeRegulatedPowers(d, 4));
    EXPECT_FALSE(DecodeMeasurement3(0x88, d, 69));
    EXPECT_TRUE(DecodeMeasurement3(0x88, d, 70));
    // Block 10 needs its own fields: 70 bytes would do for block 8 only.
    EXPECT_FALSE(DecodeMeasurement3(0x8A, d, 87));
    EXPECT_TRUE(DecodeMeasurement3(0x8A, d, 88));
    EXPECT_FALSE(DecodeMeasurement3(0x8A, nullptr, 88));
}

TEST(LiveReplies, IdentificationTextAndGenerationFromItsTail)
{
    const auto generation = [](const Bytes& b) { return DecodeIdentification(b.data(), uint8_t(b.size()))->Generation; };
    EXPECT_EQ(generation(Identification("QDR-10 v2002")), 3);
    EXPECT_EQ(generation(Identification("QDR-10 v2000")), 2);
    EXPECT_EQ(generation(Identification("QDR-10 v2001")), 1);
    EXPECT_EQ(generation(Identification("QDR-10 v1002")), 1);

    // The text ends at a zero byte, the generation is read from the block's end.
    Bytes cut = Identification("ABC");
    cut.push_back(0);
    cut.insert(cut.end(), {'x', '2', '0', '0', '2'});
    const auto id = DecodeIdentification(cut.data(), uint8_t(cut.size()));
    EXPECT_EQ(id->Text, QStringLiteral("ABC"));
    EXPECT_EQ(id->Generation, 3);

    // A full-length block is read to byte 253 only: its tail is there.
    Bytes full(255, 'a');
    std::copy_n("2000", 4, full.begin() + 249);
    const auto longest = DecodeIdentification(full.data(), 255);
    EXPECT_EQ(longest->Generation, 2);
    EXPECT_EQ(longest->Text.size(), 247);
}

TEST(LiveReplies, FieldsAreReadWhereTheRegulatorPutsThem)
{
    TBlock info(24);
    info.Long(0, 0x01020304).Long(4, 0x05060708).Long(8, 0x090A0B0C).Long(12, 0x0D0E0F10);
    info.Byte(16, 4).Byte(17, 6).Byte(18, 9).Byte(19, 0x0B).Word(20, 450).Word(22, 380);
    const auto i1 = DecodeInformation(info.Data(), info.Size(), 1);
    EXPECT_EQ(i1->Initialised, 0x01020304u);
    EXPECT_EQ(i1->PowerFailure, 0x05060708u);
    EXPECT_EQ(i1->Configured, 0x090A0B0Cu);
    EXPECT_EQ(i1->Reset, 0x0D0E0F10u);
    EXPECT_EQ(i1->Meters, 4);
    EXPECT_EQ(i1->Stages, 6);
    EXPECT_EQ(i1->Appliances, 9);
    EXPECT_EQ(i1->KindMask, 0x05) << "the kinds' byte holds meter 1 in bit 1";
    EXPECT_EQ(i1->Powers.Vt(), 450);
    EXPECT_EQ(i1->Powers.Nt(), 380);
    EXPECT_EQ(i1->Channels, 4);
    EXPECT_EQ(DecodeInformation(info.Data(), info.Size(), 3)->Channels, 5) << "generation 3 adds the main channel";

    TBlock m2(35);
    m2.Long(1, 0x00050203).Word(5, 321).Word(7, 910).Word(9, 880).Byte(11, 3).Byte(12, 1);
    m2.Word(13, 1200).Word(15, 1100).Long(17, 0x00040506).Long(21, 0x00070809).Word(25, 0x0105).Word(33, 7);
    const auto m = DecodeMeasurement(m2.Data(), m2.Size());
    EXPECT_EQ(m->TimeStamp, 0x00050203u);
    EXPECT_EQ(m->IntervalTime, 321);
    EXPECT_EQ(m->Power, 910);
    EXPECT_EQ(m->Average, 880);
    EXPECT_EQ(m->Stage, 3);
    EXPECT_EQ(m->Tariff, 1);
    EXPECT_EQ(m->MaximumVt, 1200);
    EXPECT_EQ(m->MaximumNt, 1100);
    EXPECT_EQ(m->MaximumVtTime, 0x00040506u);
    EXPECT_EQ(m->MaximumNtTime, 0x00070809u);
    EXPECT_EQ(m->Table[0], 0x05);
    EXPECT_EQ(m->Table[1], 0x01);
    EXPECT_EQ(m->Table[8], 7) << "the records lost end the table";

    TBlock m10(88);
    m10.Long(0, 0x00061234).Word(4, 200).Word(6, 640).Word(8, 610).Word(6 + 12 * 4 + 2, 77);
    m10.Word(58, 0x0003).Word(60, 0x0106).Word(68, 9);
    m10.Word(70, 700).Word(72, 650).Long(74, 0x20261210).Word(78, 12).Long(80, 98765).Word(84, 4000).Word(86, 3900);
    const auto g3 = DecodeMeasurement3(0x8A, m10.Data(), m10.Size());
    EXPECT_EQ(g3->TimeStamp, 0x00061234u);
    EXPECT_EQ(g3->IntervalTime, 200);
    EXPECT_EQ(g3->Readings[0], 640 & 0xFF);
    EXPECT_EQ(g3->Average(), 610);
    EXPECT_EQ(g3->Readings[51], 0) << "meter 12's average ends the readings";
    EXPECT_EQ(g3->Readings[50], 77);
    EXPECT_EQ(g3->Kinds(), 0x0003);
    EXPECT_EQ(g3->Table()[0], 0x06);
    EXPECT_EQ(g3->Table()[8], 9);
    EXPECT_TRUE(g3->Full);
    EXPECT_EQ(g3->AllowedPower, 700);
    EXPECT_EQ(g3->OptimalIntervalPower, 650);
    EXPECT_EQ(g3->Date, 0x20261210u);
    EXPECT_EQ(g3->Number, 12);
    EXPECT_EQ(g3->IntervalNumber, 98765u);
    EXPECT_EQ(g3->AgreedEnergy, 4000);
    EXPECT_EQ(g3->MeasuredEnergy, 3900);
    const auto g8 = DecodeMeasurement3(0x88, m10.Data(), m10.Size());
    EXPECT_FALSE(g8->Full);
    EXPECT_EQ(g8->AllowedPower, 0) << "block 8 has no consumption figures, whatever follows its 70 bytes";

    TBlock b5(43);
    b5.Long(0, 0x00031020).Byte(8, 2).Byte(9, 1).Long(10, 0x80000001).Long(14, 0x00000002);
    b5.Long(18, 0x00000004).Long(22, 0x40000000).Word(26, 990).Word(28, 870);
    b5.Long(30, 0x00011111).Long(34, 0x00022222).Long(38, 0x00033333);
    const auto s = DecodeStates(b5.Data(), b5.Size());
    EXPECT_EQ(s->TimeStamp, 0x00031020u);
    EXPECT_EQ(s->Stage, 2);
    EXPECT_EQ(s->Tariff, 1);
    EXPECT_EQ(s->ApplianceStates, 0x0000000280000001ull);
    EXPECT_EQ(s->SignalStates, 0x4000000000000004ull);
    EXPECT_EQ(s->MaximumVt, 990);
    EXPECT_EQ(s->MaximumNt, 870);
    EXPECT_EQ(s->MaximumVtTime, 0x00011111u);
    EXPECT_EQ(s->MaximumNtTime, 0x00022222u);
    EXPECT_EQ(s->MaximaZeroed, 0x00033333u);

    // An odd byte after the last whole sample is no sample.
    TBlock q(4 + 2 * 3 + 1);
    q.Long(0, 0x00020345).Byte(4, 55).Byte(5, 12).Byte(8, 255);
    const auto slot = DecodeRecordSlot(q.Data(), q.Size());
    EXPECT_EQ(slot->Time, 0x00020345u);
    EXPECT_EQ(slot->SampleCount, 3);
    EXPECT_EQ(slot->Samples[0], 55);
    EXPECT_EQ(slot->Samples[1], 12);
    EXPECT_EQ(slot->Samples[4], 255);

    TBlock p(4);
    p.Word(0, 500).Word(2, 420);
    EXPECT_EQ(DecodeRegulatedPowers(p.Data(), p.Size())->Packed, (420u << 16) | 500u);
}

TEST(ReplyAgreement, SuspectBlocksAndRecordSizeChangesWaitForASecondThatAgrees)
{
    TReplyAgreement a;
    TBlock info(24);
    info.Byte(16, 4);
    // Not suspect, same record size (2 + 2 * 4): taken at once.
    EXPECT_TRUE(a.Information(info.Data(), false, 10, 4));
    EXPECT_TRUE(a.Information(info.Data(), false, 0, 4)) << "no record size yet";
    // A change of the record size waits for the same bytes again.
    EXPECT_FALSE(a.Information(info.Data(), false, 10, 5));
    EXPECT_TRUE(a.InformationHeld());
    EXPECT_TRUE(a.Information(info.Data(), false, 10, 5));
    EXPECT_FALSE(a.InformationHeld());
    // Suspect: held, and a different second block is held in its place.
    EXPECT_FALSE(a.Information(info.Data(), true, 10, 4));
    TBlock other = info;
    other.Byte(0, 0);
    EXPECT_FALSE(a.Information(other.Data(), true, 10, 4));
    EXPECT_TRUE(a.Information(other.Data(), true, 10, 4));

    TBlock table(12);
    EXPECT_TRUE(a.Table(table.Data(), 12, false));
    EXPECT_FALSE(a.Table(table.Data(), 12, true));
    EXPECT_TRUE(a.TableHeld());
    EXPECT_FALSE(a.Table(table.Data(), 10, true)) << "a table of another length does not agree";
    EXPECT_TRUE(a.Table(table.Data(), 10, true));
    EXPECT_TRUE(a.Table(table.Data(), 10, false));
    EXPECT_FALSE(a.TableHeld()) << "a block not suspect ends the hold";
}
