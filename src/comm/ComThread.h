#pragma once
// The communication worker: sends the one queued frame, discards stale input,
// waits for the reply and gathers it. It never interprets bytes; each state
// change is reported to the owning interface layer inside Sync, on the main
// thread, while the worker waits.
#include "comm/ComList.h"
#include "comm/ReplyTimer.h"
#include "core/WThread.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <vector>

class TComThreadInterface;

enum TComState : uint8_t {
    csIdle = 0,
    csPurge = 1,
    csWait = 2,
    csRead = 3,
    csSend = 4,
    csTimeout = 5,
    csError = 6,
    csReceived = 7,
};

class TComThread : public TWThread {
public:
    TComThread();
    ~TComThread() override;

    TComThreadInterface* Owner = nullptr;
    TComList Log;
    uint8_t State = csIdle;
    uint8_t NextState = csIdle;
    std::vector<uint8_t> RxBuf; // RxSize is RxBuf.size()
    uint16_t RxCount = 0;
    std::vector<uint8_t> TxBuf;
    // Set by Accept once TxBuf holds a frame, cleared by the worker after it
    // wrote it: the one hand-over of the frame between the two threads.
    std::atomic<bool> TxQueued{false};
    uint32_t WaitStart = 0;
    uint16_t Timeout = 1200; // ms, 0 = no limit
    // Set by the owner before it queues a frame: the wait for its reply
    // follows the replies measured (Replies), within ShortestWait and
    // Timeout, instead of always lasting Timeout. For requests sent back to
    // back, where a lost reply would otherwise hold the line for Timeout.
    std::atomic<bool> Adaptive{false};
    // The longest reply (in bytes, framing included) that a request frame can
    // bring; set once before the first frame is queued. Unset, any reply may
    // be as long as the longest frame.
    std::function<uint16_t(const uint8_t* frame, uint16_t length)> LongestReply;
    static constexpr uint16_t LongestFrame = 257;
    uint8_t ListenMode = 1;
    std::atomic<bool> ListenOnce{false};
    bool Purge = false;
    // When the purge began: a line that never goes quiet (noise, a second
    // master) ends the exchange with the interface error once it has purged
    // for the reply time-out (or DefaultTimeout when there is none).
    uint32_t PurgeStart = 0;
    static constexpr uint16_t DefaultTimeout = 1200;
    // Set by the worker when the purge gave up; read after the exchange ended.
    std::atomic<bool> LineNoisy{false};
    // GetTick of the worker's last pass through its loop, which it makes at
    // least once a second: one that stops moving is a worker stuck in a call
    // to its port (a watchdog asks).
    std::atomic<uint32_t> PassStamp{0};

    // Main thread: queue one frame; false when empty or one is already queued.
    virtual bool Accept(const uint8_t* buffer, uint16_t length);
    bool IsIdle() const { return State == csIdle; }
    void ArmListen();
    void SetLogCapacity(uint16_t n) { Log.SetCapacity(n); }

    virtual uint16_t PurgeCount();
    virtual uint16_t Available();
    virtual bool MoreComing();
    virtual uint16_t Read(uint8_t* buffer, uint16_t room);
    virtual void Write(const uint8_t* buffer, uint16_t length);
    virtual QString Description() const;
    // Worker, just before a queued frame goes out: drop input that can no
    // longer be a reply to it. Nothing by default.
    virtual void DiscardStale();
    // Worker, before a queued frame goes out: false when the port cannot be
    // used; the frame is then dropped and the exchange ends with csError.
    virtual bool PortReady();
    // Worker, waiting for a reply: returns when input arrives or ms pass;
    // true when input is waiting. The base naps one idle pass.
    virtual bool WaitForInput(uint32_t ms);
    // Worker: the shortest wait the port allows for the reply to a frame of
    // length bytes, in ms.
    virtual uint32_t ShortestWait(const uint8_t* frame, uint16_t length) const;
    // Worker: the reply times measured, and the wait for the current reply
    // (Timeout unless Adaptive was set for its frame).
    TReplyTimer Replies;
    uint16_t WaitLimit = 0;

protected:
    void Execute() override;
    void Wake() override;
    void Sync();

private:
    void ListenRule(uint8_t mode);
    // The pause between two passes of the loop.
    void Pause();
    // Whether the current wait follows a frame this worker wrote, so that
    // its outcome is a reply time to learn from.
    bool Timing = false;
    std::mutex WakeLock;
    std::condition_variable WakeSignal;
};
