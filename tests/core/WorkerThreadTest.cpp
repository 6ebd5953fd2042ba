#include "core/Tick.h"
#include "core/WThread.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>

TEST(WorkerThread, TimerCallsOnTheMainThreadOncePerPeriod)
{
    std::atomic<int> calls{0};
    std::atomic<int> offMain{0};
    TThreadTime timer(50, [&](TThreadTime* sender) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread() || sender == nullptr)
            ++offMain;
        ++calls;
    });
    const uint32_t until = GetTick() + 1030;
    while (static_cast<int32_t>(until - GetTick()) > 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    timer.Stop();
    // 20 boundaries in 1030 ms; loose bounds for a busy machine, but a timer
    // that fired on every pass or restarted its period late falls outside.
    EXPECT_GE(calls.load(), 17);
    EXPECT_LE(calls.load(), 21);
    EXPECT_EQ(offMain.load(), 0);
}
