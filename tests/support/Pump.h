#pragma once
// Serving the main thread's event loop from a test: the link hands every
// state change over to it, so nothing happens while a test merely sleeps.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

// Processes events until done() holds or ms have passed; true when it held.
inline bool PumpUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::usleep(300);
    }
    return true;
}

inline void Pump(int ms)
{
    PumpUntil([] { return false; }, ms);
}
