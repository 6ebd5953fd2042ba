#include "comm/ComThread.h"
#include "comm/ComInterface.h"
#include "core/Tick.h"

#include <algorithm>

TComThread::TComThread() = default;

TComThread::~TComThread() { Stop(); }

bool TComThread::Accept(const uint8_t* buffer, uint16_t length)
{
    if (length == 0 || !buffer || TxQueued.load(std::memory_order_acquire))
        return false;
    TxBuf.assign(buffer, buffer + length);
    TxQueued.store(true, std::memory_order_release);
    Wake();
    return true;
}

void TComThread::ArmListen()
{
    ListenOnce = true;
    Wake();
}

void TComThread::Wake()
{
    // Taking the lock orders this against the waiter's check of its condition,
    // so a notification between that check and the wait cannot be lost.
    std::lock_guard<std::mutex> lock(WakeLock);
    WakeSignal.notify_all();
}

uint16_t TComThread::PurgeCount() { return Available(); }
uint16_t TComThread::Available() { return 0; }
bool TComThread::MoreComing() { return false; }
uint16_t TComThread::Read(uint8_t*, uint16_t) { return 0; }
void TComThread::Write(const uint8_t*, uint16_t) { }
QString TComThread::Description() const { return {}; }
void TComThread::DiscardStale() { }
bool TComThread::PortReady() { return true; }
uint32_t TComThread::ShortestWait(const uint8_t*, uint16_t) const { return 0; }

bool TComThread::WaitForInput(uint32_t)
{
    Idle();
    return false;
}

void TComThread::Pause()
{
    // The loop runs a pass per millisecond only while something can happen
    // within one: when idle with nothing queued it sleeps until Accept, a
    // listen request or Stop wakes it, and while waiting for a reply it waits
    // on the port itself. Both wake at once, so nothing is slower than a 1 ms
    // nap, and an idle link costs next to nothing. Only the wait on the port
    // is bounded, since Stop cannot reach into it.
    constexpr uint32_t longestWait = 50;
    constexpr uint32_t longestIdle = 1000;
    if (State == csIdle && ListenMode != 2) {
        std::unique_lock<std::mutex> lock(WakeLock);
        WakeSignal.wait_for(lock, std::chrono::milliseconds(longestIdle), [this] {
            return TxQueued.load(std::memory_order_acquire) || ListenOnce.load() || Terminated();
        });
        return;
    }
    if (State == csWait) {
        uint32_t ms = longestWait;
        if (WaitLimit > 0) {
            const uint32_t passed = GetTick() - WaitStart;
            ms = std::min<uint32_t>(ms, passed < WaitLimit ? WaitLimit - passed : 0);
        }
        if (ms > 0) {
            const uint32_t start = GetTick();
            // A port that fails at once (gone, or an error to report) must not
            // turn this into a busy loop.
            if (!WaitForInput(ms) && GetTick() == start)
                Idle();
            return;
        }
    }
    Idle();
}

void TComThread::ListenRule(uint8_t mode)
{
    if (ListenOnce.load() || ListenMode == mode) {
        ListenOnce = false;
        NextState = csPurge;
        WaitLimit = Timeout;
        Timing = false;
        PurgeStart = GetTick();
        LineNoisy.store(false);
    }
}

void TComThread::Execute()
{
    while (!Terminated()) {
        PassStamp.store(GetTick(), std::memory_order_relaxed);
        if (NextState != State) {
            Synchronize([this] { Sync(); });
            // Without an owner yet the state cannot move; don't spin on it.
            if (NextState != State)
                Idle();
        } else {
            Pause();
        }
        if (Terminated())
            break;

        switch (State) {
        case csIdle:
            if (TxQueued.load(std::memory_order_acquire))
                NextState = csSend;
            else
                ListenRule(2);
            break;

        case csPurge: {
            RxBuf.clear();
            const uint16_t size = Purge ? PurgeCount() : 0;
            if (size == 0) {
                RxCount = 0;
                WaitStart = GetTick();
                NextState = csWait;
            } else {
                RxBuf.assign(size, 0);
                RxCount = Read(RxBuf.data(), size);
                Log.Add('#', RxBuf.data(), RxCount);
                const uint32_t bound = Timeout > 0 ? Timeout : DefaultTimeout;
                if (NextState == csPurge && static_cast<uint32_t>(GetTick() - PurgeStart) >= bound) {
                    LineNoisy.store(true);
                    NextState = csError;
                }
            }
            break;
        }

        case csWait: {
            const uint16_t size = Available();
            if (size == 0) {
                if (WaitLimit > 0 && static_cast<uint32_t>(GetTick() - WaitStart) >= WaitLimit) {
                    if (Timing)
                        Replies.TimedOut();
                    NextState = csTimeout;
                }
            } else {
                if (Timing)
                    Replies.Answered(GetTick() - WaitStart);
                RxBuf.assign(size, 0);
                RxCount = 0;
                NextState = csRead;
            }
            break;
        }

        case csRead: {
            const uint16_t room = static_cast<uint16_t>(RxBuf.size() - RxCount);
            const uint16_t n = std::min(Read(RxBuf.data() + RxCount, room), room);
            RxCount = static_cast<uint16_t>(RxCount + n);
            if (!(RxCount < RxBuf.size() && MoreComing())) {
                // A complete block wins over a line error seen by the same read.
                Log.Add('<', RxBuf.data(), RxCount);
                NextState = csReceived;
            }
            break;
        }

        case csSend: {
            if (TxQueued.load(std::memory_order_acquire) && !PortReady()) {
                TxBuf.clear();
                TxQueued.store(false, std::memory_order_release);
                NextState = csError;
                break;
            }
            uint16_t limit = Timeout;
            bool wrote = false;
            if (TxQueued.load(std::memory_order_acquire)) {
                DiscardStale();
                const uint16_t size = static_cast<uint16_t>(TxBuf.size());
                Log.Add('>', TxBuf.data(), size);
                Write(TxBuf.data(), size);
                wrote = true;
                if (Adaptive.load() && Timeout > 0)
                    limit = static_cast<uint16_t>(Replies.Wait(ShortestWait(TxBuf.data(), size), Timeout));
                TxBuf.clear();
                TxQueued.store(false, std::memory_order_release);
            }
            NextState = csIdle;
            ListenRule(1);
            if (NextState == csPurge && wrote) {
                WaitLimit = limit;
                Timing = true;
            }
            break;
        }

        case csTimeout:
        case csError:
        case csReceived:
        default:
            NextState = csIdle;
            break;
        }
    }
}

void TComThread::Sync()
{
    if (Terminated() || !Owner)
        return;
    switch (State) {
    case csWait:
        Owner->ThreadWaiting(false);
        break;
    case csRead:
        Owner->ThreadReceiving(false);
        break;
    case csSend:
        Owner->ThreadSending(false);
        break;
    default:
        break;
    }
    State = NextState;
    switch (State) {
    case csIdle:
        Owner->ThreadIdle();
        break;
    case csWait:
        Owner->ThreadWaiting(true);
        break;
    case csRead:
        Owner->ThreadReceiving(true);
        break;
    case csSend:
        Owner->ThreadSending(true);
        break;
    case csTimeout:
        Owner->ThreadTimeout();
        break;
    case csError:
        Owner->ThreadError();
        break;
    case csReceived:
        Owner->ThreadReceived(RxBuf.data(), RxCount);
        break;
    default:
        break;
    }
}
