#include "core/WThread.h"
#include "core/Tick.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

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
        Idle();
    }
}
