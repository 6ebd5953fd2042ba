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

void TThreadTime::Execute()
{
    // Nothing can happen before the next boundary, so the loop naps until it
    // (in short steps, to notice Stop) rather than waking every millisecond
    // for nothing: the callback still runs about 1 ms after each boundary.
    constexpr uint32_t longestNap = 20;
    bool due = false;
    while (!Terminated()) {
        if (Elapsed(Period, Start, false)) {
            due = true;
        } else if (due) {
            due = false;
            Synchronize([this] {
                if (OnTimer && !Terminated())
                    OnTimer(this);
            });
        }
        const uint32_t passed = GetTick() - Start;
        const uint32_t left = passed < Period ? Period - passed : 0;
        if (!due && left > SleepTime)
            QThread::msleep(std::min(left, longestNap));
        else
            Idle();
    }
}
