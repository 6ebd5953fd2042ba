#pragma once
// Worker thread base. The worker and timer loops never touch shared state
// themselves: whatever they hand over runs on the main thread through
// Synchronize, a blocking queued call, so the rest of the program stays
// single-threaded and lock-free.
#include <QThread>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

class TWThread : public QThread {
public:
    // Threads are always created suspended; a concrete class starts itself at
    // the end of its own constructor (Resume) so its loop never sees a
    // half-built object.
    TWThread();
    // Concrete classes must call Stop() in their own destructor: by the time
    // this one runs, the derived loop's state is gone.
    ~TWThread() override;

    uint32_t SleepTime = 1;

    void Resume() { start(); }
    // One idle pass of a worker loop.
    void Idle();
    // Requests termination and waits for the loop to end. On the main thread
    // it keeps serving hand-overs meanwhile, so a worker blocked in
    // Synchronize can finish its pass and see the request.
    void Stop();
    bool Terminated() const { return isInterruptionRequested(); }

protected:
    void run() final { Execute(); }
    virtual void Execute() = 0;
    // Called by Stop after termination was requested, so a loop waiting for
    // an event of its own can notice at once.
    virtual void Wake() { }
    // Runs fn on the main thread and returns when it has run. Does nothing once
    // termination was requested.
    void Synchronize(const std::function<void()>& fn);
};

// Calls OnTimer on the main thread about 1 ms after each period boundary. When
// the main thread falls behind, missed periods merge into one call.
class TThreadTime : public TWThread {
public:
    using TTimerEvent = std::function<void(TThreadTime*)>;
    TThreadTime(uint32_t period, TTimerEvent onTimer);
    ~TThreadTime() override;

    uint32_t Start = 0;
    uint32_t Period = 0;
    TTimerEvent OnTimer;

protected:
    void Execute() override;
    void Wake() override;

private:
    std::mutex WakeLock;
    std::condition_variable WakeSignal;
};
