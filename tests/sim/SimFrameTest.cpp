#include "SimFrame.h"

#include <gtest/gtest.h>

TEST(SimFrame, RequestAndReplyMatchHandComputedFrames)
{
    EXPECT_EQ(TSimFrame::BuildRequest(0, 1, {}), (TSimBytes{2, 0, 1, 1}));
    // Command 9 to address 5 for month 24290 (0x5EE2), record 1:
    // sum = 5 + 9 + 0xE2 + 0x5E + 1 + 0 = 0x14F -> 0x4F.
    EXPECT_EQ(TSimFrame::BuildRequest(5, 9, {0xE2, 0x5E, 0x01, 0x00}),
              (TSimBytes{6, 5, 9, 0xE2, 0x5E, 0x01, 0x00, 0x4F}));
    // Reply of address 3 carrying 0x10 0x20: count 3, address 0x83, sum 0xB3.
    EXPECT_EQ(TSimFrame::BuildReply(3, {0x10, 0x20}), (TSimBytes{3, 0x83, 0x10, 0x20, 0xB3}));
    // An acknowledgement carries the address alone.
    EXPECT_EQ(TSimFrame::BuildReply(0, {}), (TSimBytes{1, 0x80, 0x80}));
    // The sum wraps modulo 256 with no complement.
    EXPECT_EQ(TSimFrame::BuildReply(0, {0xFF, 0xFF}), (TSimBytes{3, 0x80, 0xFF, 0xFF, 0x7E}));
}

TEST(SimFrame, ReplyNeverExceedsOneCountByte)
{
    const TSimBytes f = TSimFrame::BuildReply(0, TSimBytes(300, 1));
    ASSERT_EQ(f.size(), 257u);
    EXPECT_EQ(f[0], 255);
    EXPECT_EQ(TSimFrame::Checksum(f.data() + 1, 255), f[256]);
}

TEST(SimFrame, ParseRequestReportsWhatIsWrong)
{
    TSimRequest r;
    size_t used = 0;
    const TSimBytes good{6, 5, 9, 0xE2, 0x5E, 0x01, 0x00, 0x4F, 0xAA};
    ASSERT_EQ(TSimFrame::ParseRequest(good.data(), good.size(), r, used), TSimParse::Ok);
    EXPECT_EQ(used, 8u); // a trailing byte is not part of the frame
    EXPECT_EQ(r.Address, 5);
    EXPECT_EQ(r.Command, 9);
    EXPECT_EQ(r.Data, (TSimBytes{0xE2, 0x5E, 0x01, 0x00}));

    EXPECT_EQ(TSimFrame::ParseRequest(good.data(), 7, r, used), TSimParse::Incomplete);
    TSimBytes bad = good;
    bad[7] ^= 1;
    EXPECT_EQ(TSimFrame::ParseRequest(bad.data(), bad.size(), r, used), TSimParse::BadChecksum);
    EXPECT_EQ(used, 8u);
    const TSimBytes one{1, 0, 0};
    EXPECT_EQ(TSimFrame::ParseRequest(one.data(), one.size(), r, used), TSimParse::BadCount);
}

TEST(SimFrame, AssemblerResynchronisesAndSplitsFrames)
{
    TSimFrameAssembler a;
    std::vector<std::pair<TSimParse, TSimBytes>> got;
    auto collect = [&](TSimParse p, const TSimRequest&, const TSimBytes& raw) { got.emplace_back(p, raw); };
    // Line noise (0 and 1 cannot start a request), then two requests, the
    // second split over two feeds.
    const TSimBytes stream{0x00, 0x01, 2, 0, 1, 1, 3, 0, 4, 2};
    a.Feed(stream.data(), stream.size(), collect);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, TSimParse::Ok);
    EXPECT_EQ(got[0].second, (TSimBytes{2, 0, 1, 1}));
    EXPECT_EQ(a.Pending(), 4u);
    const uint8_t last = 6;
    a.Feed(&last, 1, collect);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].second, (TSimBytes{3, 0, 4, 2, 6}));
    EXPECT_EQ(a.Pending(), 0u);
    // A frame with a bad sum is consumed whole, not re-read byte by byte.
    const TSimBytes badThenGood{2, 0, 1, 9, 2, 0, 0, 0};
    a.Feed(badThenGood.data(), badThenGood.size(), collect);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[2].first, TSimParse::BadChecksum);
    EXPECT_EQ(got[3].first, TSimParse::Ok);
}
