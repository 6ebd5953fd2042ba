#pragma once
// A one-off request (the regulated-power write) waits for the cycle the
// schedule leaves free for it, serving the event loop meanwhile so that the
// worker's hand-overs and the timer's ticks go on.
#include "app/Schedule.h"

#include <functional>

class QEventLoop;

class TWriteTurn {
public:
    // Asks the schedule for a cycle and waits for it: true once given (the
    // write then goes out at once), false when stopped() says to give up or
    // after waitMs, the request withdrawn.
    bool Wait(TSchedule& schedule, int waitMs, const std::function<bool()>& stopped);
    bool Waiting() const { return Loop != nullptr; }
    // The schedule gave the cycle: the wait ends now, before another cycle
    // can take the line.
    void Wake();
    // Runs the event loop for about ms milliseconds.
    static void Pump(int ms);

private:
    QEventLoop* Loop = nullptr;
};
