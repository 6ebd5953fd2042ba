#include "app/WriteTurn.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool TWriteTurn::Wait(TSchedule& schedule, int waitMs, const std::function<bool()>& stopped)
{
    schedule.SetWritePending(1);
    QElapsedTimer waited;
    waited.start();
    while (schedule.WritePending()) {
        if (stopped() || waited.elapsed() > waitMs) {
            schedule.SetWritePending(0);
            schedule.WriteTaken();
            return false;
        }
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        Loop = &loop;
        loop.exec();
        Loop = nullptr;
    }
    schedule.WriteTaken();
    return true;
}

void TWriteTurn::Wake()
{
    if (Loop)
        Loop->quit();
}

void TWriteTurn::Pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
