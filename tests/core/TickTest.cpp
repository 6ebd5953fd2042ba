#include "core/Tick.h"
#include "core/WThread.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>

TEST(Tick, ElapsedAdvancesByOnePeriodSoChecksKeepTheirRhythm)
{
    uint32_t s = 1000;
    // 250 ms later: two periods are due, the third is not.
    EXPECT_TRUE(ElapsedAt(1250, 100, s, false));
    EXPECT_EQ(s, 1100u);
    EXPECT_TRUE(ElapsedAt(1250, 100, s, false));
    EXPECT_EQ(s, 1200u);
    EXPECT_FALSE(ElapsedAt(1250, 100, s, false));
    EXPECT_EQ(s, 1200u);
    // With Reset the boundary jumps to now.
    EXPECT_TRUE(ElapsedAt(1390, 100, s, true));
    EXPECT_EQ(s, 1390u);
}

TEST(Tick, DifferencesSurviveTheCounterWrapping)
{
    uint16_t s16 = 65000;
    EXPECT_TRUE(Elapsed16At(500, 1000, s16, false)); // 1036 ms across the wrap
    EXPECT_EQ(s16, static_cast<uint16_t>(65000 + 1000));
    uint16_t t16 = 65000;
    EXPECT_FALSE(Elapsed16At(400, 1000, t16, false)); // 936 ms
    uint32_t s32 = 0xFFFFFF00u;
    EXPECT_TRUE(ElapsedAt(0x40, 0x100, s32, false));
    EXPECT_EQ(s32, 0u);
}

TEST(Tick, SaturatingArithmeticStopsAtTheBounds)
{
    uint16_t v = 50;
    SatSub16(v, 100);
    EXPECT_EQ(v, 0);
    v = 65500;
    SatAdd16(v, 100);
    EXPECT_EQ(v, 65535);
    v = 10;
    SatAdd16(v, 5);
    SatSub16(v, 3);
    EXPECT_EQ(v, 12);
}

TEST(ThreadTime, ASlowCallbackMergesMissedPeriodsIntoOneCall)
{
    std::atomic<int> calls{0};
    {
        TThreadTime timer(100, [&](TThreadTime*) {
            if (++calls == 1)
                QThread::msleep(350); // the main thread falls behind by three periods
        });
        const uint32_t until = GetTick() + 520;
        while (static_cast<int32_t>(until - GetTick()) > 0)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        timer.Stop();
    }
    // First call at ~100 ms returns at ~450 ms; the missed boundaries merge into
    // one call right after, then the rhythm resumes (~500 ms). Queued-up calls
    // would have given five or more.
    EXPECT_GE(calls.load(), 2);
    EXPECT_LE(calls.load(), 3);
}

TEST(ThreadTime, StopWhileTheTimerWaitsInAHandOverEndsWithoutDeadlock)
{
    std::atomic<int> calls{0};
    TThreadTime timer(1, [&](TThreadTime*) { ++calls; });
    // Give the timer time to block in a hand-over to this thread, which is not
    // serving events; Stop must serve it to let the thread end.
    QThread::msleep(20);
    timer.Stop();
    EXPECT_FALSE(timer.isRunning());
    const int after = calls.load();
    QCoreApplication::processEvents();
    EXPECT_EQ(calls.load(), after);
}
