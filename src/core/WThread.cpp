#include "core/WThread.h"
#include "core/Tick.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>

TWThread::TWThread() = default;

TWThread::~TWThread() { Stop(); }

void TWThread::Idle()
{
    if (SleepTime > 0)
        QThread::msleep(SleepTime);
}

void TWThread::Stop()
{
    requestInterruption();
    Wake();
    if (!isRunning())
        return;
    if (QThread::currentThread() == this)
        return;
    const bool onMain = QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
    if (!onMain) {
        wait();
        return;
    }
    while (!wait(QDeadlineTimer(1)))
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TWThread::Synchronize(const std::function<void()>& fn)
{
    if (Terminated())
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        app, [this, &fn] {
            if (!Terminated())
                fn();
        },
        Qt::BlockingQueuedConnection);
}

TThreadTime::TThreadTime(uint32_t period, TTimerEvent onTimer)
    : Period(period)
    , OnTimer(std::move(onTimer))
{
    Stamp(Start);
    Resume();
}

TThreadTime::~TThreadTime() { Stop(); }

void TThreadTime::Wake()
{
    // Taken so that a Stop between the loop's check and its wait is not lost.
    std::lock_guard<std::mutex> lock(WakeLock);
    WakeSignal.notify_all();
}

void TThreadTime::Execute()
{
    // Nothing can happen before the next boundary, so the loop sleeps until
    // about 1 ms after it, woken early only by Stop: one pass per period.
    // Boundaries that passed while the main thread was busy with the last
    // call are all taken at once and give one call. A period of 0 never
    // ticks: the thread only waits for Stop.
    if (Period == 0) {
        std::unique_lock<std::mutex> lock(WakeLock);
        WakeSignal.wait(lock, [this] { return Terminated(); });
        return;
    }
    while (!Terminated()) {
        bool due = false;
        while (Elapsed(Period, Start, false))
            due = true;
        if (due) {
            Synchronize([this] {
                if (OnTimer && !Terminated())
                    OnTimer(this);
            });
            continue;
        }
        const uint32_t passed = GetTick() - Start;
        const uint32_t left = passed < Period ? Period - passed : 0;
        std::unique_lock<std::mutex> lock(WakeLock);
        WakeSignal.wait_for(lock, std::chrono::milliseconds(left + SleepTime), [this] { return Terminated(); });
    }
}
