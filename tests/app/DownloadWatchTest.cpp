// The download watch alone: progress and the link's state are handed in.
#include "app/DownloadWatch.h"

#include <gtest/gtest.h>

TEST(DownloadWatch, StallIsCountedOnlyWhileTheLinkIsUpAndHeard)
{
    TDownloadWatch w;
    w.SetStallMs(1000);
    TDownloadWatch::TProgress p;
    p.Month = 2026 * 12 + 9;
    p.Start = 2901;
    p.Count = 40;
    p.Problem = TArchiveReplies::Unconfirmed;
    EXPECT_FALSE(w.Watch(p, true, 0, 0));
    // Replies stop: the time-outs before the link is taken as down are no stall.
    EXPECT_FALSE(w.Watch(p, true, 0, 9000));
    EXPECT_FALSE(w.Watch(p, false, 0, 20000));
    EXPECT_FALSE(w.Stall().Stalled);
    // Back after the outage: its silence is not the download's.
    w.LinkUp(30000);
    EXPECT_FALSE(w.Watch(p, true, 30000, 30000));
    EXPECT_FALSE(w.Watch(p, true, 30900, 30900));
    EXPECT_FALSE(w.Stall().Stalled);
    EXPECT_TRUE(w.Watch(p, true, 31000, 31000));
    ASSERT_TRUE(w.Stall().Stalled);
    EXPECT_EQ(w.Stall().Month, p.Month);
    EXPECT_EQ(w.Stall().Record, 2901);
    EXPECT_EQ(w.Stall().Problem, TArchiveReplies::Unconfirmed);
    EXPECT_FALSE(w.Watch(p, true, 32000, 32000)) << "told once";
    // The link goes down: the outage is what is said.
    EXPECT_TRUE(w.Watch(p, false, 32000, 45000));
    EXPECT_FALSE(w.Stall().Stalled);
    // Back again: the time counted before stands; a record filed moves it on.
    w.LinkUp(50000);
    EXPECT_TRUE(w.Watch(p, true, 50000, 50000));
    ++p.Stored;
    EXPECT_TRUE(w.Watch(p, true, 51100, 51100));
    EXPECT_FALSE(w.Stall().Stalled);
}
