#include "SimFaults.h"

#include <gtest/gtest.h>

TEST(SimFaults, EachFaultHitsAtItsOwnRateIndependentlyOfTheOthers)
{
    TSimFaults f(1234);
    const double p[sfCount] = {0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.5};
    for (int k = 0; k < sfCount; ++k)
        f.Set(static_cast<TSimFault>(k), p[k]);
    const int n = 20000;
    int hits[sfCount] = {};
    int lossAndLate = 0;
    for (int i = 0; i < n; ++i) {
        const TSimFaultDraw d = f.Draw();
        for (int k = 0; k < sfCount; ++k)
            hits[k] += d.Hit[k] ? 1 : 0;
        lossAndLate += d.Hit[sfLoss] && d.Hit[sfLate] ? 1 : 0;
    }
    for (int k = 0; k < sfCount; ++k)
        EXPECT_NEAR(hits[k] / double(n), p[k], 0.015) << TSimFaults::Name(static_cast<TSimFault>(k));
    EXPECT_NEAR(lossAndLate / double(n), 0.05 * 0.5, 0.008);

    TSimFaults none(1234);
    for (int i = 0; i < 1000; ++i)
        EXPECT_FALSE(none.Draw().Any());
}

TEST(SimFaults, DrawsAreReproducibleFromTheSeed)
{
    auto sequence = [](uint64_t seed) {
        TSimFaults f(seed);
        f.Set("loss", 0.3);
        f.Set("corrupt", 0.3);
        std::string s;
        for (int i = 0; i < 200; ++i)
            s += f.Draw().Text() + ";";
        return s;
    };
    EXPECT_EQ(sequence(7), sequence(7));
    EXPECT_NE(sequence(7), sequence(8));
}

TEST(SimFaults, NamesAndProbabilitiesAreChecked)
{
    TSimFaults f(0);
    EXPECT_TRUE(f.Set("misaddress", 0.25));
    EXPECT_DOUBLE_EQ(f.Get(sfMisaddress), 0.25);
    EXPECT_FALSE(f.Set("misaddress", 1.5));
    EXPECT_FALSE(f.Set("misaddress", -0.1));
    EXPECT_DOUBLE_EQ(f.Get(sfMisaddress), 0.25);
    EXPECT_FALSE(f.Set("drop", 0.5));
    EXPECT_TRUE(f.Set("late", 1));
}

TEST(SimFaults, EachFaultSpoilsTheReplyAsTheClientWillSeeIt)
{
    const TSimBytes frame = TSimFrame::BuildReply(3, TSimBytes(24, 0x11));
    const uint8_t n = frame[0];
    TSimFaults f(99);
    auto with = [&](TSimFault fault) {
        TSimFaultDraw d;
        d.Hit[fault] = true;
        return f.Apply(d, frame);
    };
    for (int round = 0; round < 50; ++round) {
        EXPECT_FALSE(with(sfLoss).Send);

        TSimFaulted o = with(sfCorrupt);
        ASSERT_EQ(o.Bytes.size(), frame.size());
        EXPECT_NE(TSimFrame::Checksum(o.Bytes.data() + 1, n), o.Bytes[n + 1]);

        o = with(sfMisaddress);
        EXPECT_EQ(TSimFrame::Checksum(o.Bytes.data() + 1, n), o.Bytes[n + 1]) << "sum still right";
        EXPECT_NE(o.Bytes[1], frame[1]);
        EXPECT_TRUE(o.Bytes[1] & 0x80);

        o = with(sfShort);
        EXPECT_GE(o.Bytes.size(), 3u);
        EXPECT_LT(o.Bytes.size(), n + 2u);
        EXPECT_EQ(o.Bytes[0], n);

        EXPECT_EQ(with(sfTiny).Bytes.size(), 2u);
        o = with(sfLong);
        EXPECT_GE(o.Bytes.size(), 258u);
        EXPECT_EQ(TSimBytes(o.Bytes.begin(), o.Bytes.begin() + 27), frame);

        o = with(sfLate);
        EXPECT_TRUE(o.Late);
        EXPECT_EQ(o.Bytes, frame);

        // Framing intact, only the data length is off by one.
        o = with(sfWrongLength);
        ASSERT_EQ(o.Bytes.size(), frame.size() + 1);
        EXPECT_EQ(o.Bytes[0], n + 1);
        EXPECT_EQ(TSimFrame::Checksum(o.Bytes.data() + 1, n + 1), o.Bytes[n + 2]);
        EXPECT_EQ(TSimBytes(o.Bytes.begin() + 1, o.Bytes.begin() + n + 1),
                  TSimBytes(frame.begin() + 1, frame.begin() + n + 1));

        o = with(sfDuplicate);
        EXPECT_TRUE(o.Duplicate);
        EXPECT_EQ(o.Bytes, frame);
    }
    // An acknowledgement cannot be cut and stay 3 bytes long: its count lies instead.
    const TSimBytes ack = TSimFrame::BuildReply(0, {});
    TSimFaultDraw d;
    d.Hit[sfShort] = true;
    const TSimFaulted o = f.Apply(d, ack);
    EXPECT_EQ(o.Bytes.size(), 3u);
    EXPECT_GT(o.Bytes[0] + 2, 3);
}
