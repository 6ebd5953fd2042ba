#include "comm/ReplyTimer.h"

#include <gtest/gtest.h>

TEST(ReplyTimer, FollowsTheRepliesWithinFloorAndCap)
{
    TReplyTimer t;
    EXPECT_EQ(t.Wait(50, 1200), 1200u) << "nothing measured yet";

    // First sample: SRTT = R, RTTVAR = R/2, wait = SRTT + 4 RTTVAR.
    t.Answered(100);
    EXPECT_EQ(t.Wait(50, 1200), 300u);
    // Then RTTVAR = 3/4 * 50 + 1/4 * |100 - 200| = 62.5, SRTT = 7/8 * 100 + 1/8 * 200 = 112.5.
    t.Answered(200);
    EXPECT_DOUBLE_EQ(t.Variation(), 62.5);
    EXPECT_DOUBLE_EQ(t.Smoothed(), 112.5);
    EXPECT_EQ(t.Wait(50, 1200), 363u);
    EXPECT_EQ(t.Wait(400, 1200), 400u) << "floor";
    EXPECT_EQ(t.Wait(50, 250), 250u) << "cap";

    // Steady replies: the estimate settles on them, the variation's share
    // never below the clock's millisecond.
    for (int i = 0; i < 200; ++i)
        t.Answered(20);
    EXPECT_NEAR(t.Smoothed(), 20.0, 0.01);
    EXPECT_EQ(t.Wait(0, 1200), 21u);
    EXPECT_EQ(t.Wait(50, 1200), 50u);

    // A floor above the cap: the cap wins.
    EXPECT_EQ(t.Wait(2000, 1200), 1200u);
}

TEST(ReplyTimer, TimeOutsDoubleTheWaitUntilAReplyCanBeTimed)
{
    TReplyTimer t;
    t.TimedOut();
    EXPECT_EQ(t.Wait(50, 1200), 1200u);
    t.Answered(100);
    EXPECT_EQ(t.Doublings(), 0) << "a time-out before any sample doubles nothing";
    EXPECT_DOUBLE_EQ(t.Smoothed(), 0.0) << "the reply after a time-out is no sample";
    t.Answered(100);
    EXPECT_EQ(t.Wait(50, 1200), 300u);

    t.TimedOut();
    EXPECT_EQ(t.Wait(50, 1200), 600u);
    t.TimedOut();
    EXPECT_EQ(t.Wait(50, 1200), 1200u);
    t.TimedOut();
    EXPECT_EQ(t.Wait(50, 5000), 2400u);
    // The doubling applies to the floor too: a fast link's waits grow from it.
    EXPECT_EQ(t.Wait(400, 5000), 3200u);

    // The reply right after a time-out may be the late answer to the request
    // before: it is not timed, and the doubled wait stays.
    t.Answered(5);
    EXPECT_EQ(t.Wait(50, 5000), 2400u);
    EXPECT_DOUBLE_EQ(t.Smoothed(), 100.0);
    t.Answered(100);
    EXPECT_EQ(t.Doublings(), 0);
    EXPECT_EQ(t.Wait(50, 5000), 250u); // RTTVAR 37.5, SRTT 100
    for (int i = 0; i < 40; ++i)
        t.TimedOut();
    EXPECT_EQ(t.Wait(50, 65535), 65535u) << "no overflow";
}
