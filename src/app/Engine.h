#pragma once
// The headless session with one regulator: builds the link from the settings,
// runs the request schedule on every cycle, decodes the replies that keep the
// session going and counts the seconds of silence. Front ends (the window, the
// command-line tool) own one engine and hook into it.
#include "app/Replies.h"
#include "app/Settings.h"
#include "comm/ComBufQDR.h"
#include "comm/ComEvents.h"

#include <QString>

class QEventLoop;

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

// The archive download's pending request, as the schedule reads it: records
// still to fetch (0 = nothing), their month number and the 1-based regulator
// index of the first of them.
struct TArchiveRequest {
    uint16_t RequestCount = 0;
    uint16_t RequestMonth = 0;
    uint16_t RequestStart = 0;
};

class TEngine {
public:
    // Page indexes the schedule distinguishes.
    enum : uint8_t { PageMeasurement = 0, PageInformation = 1, PageRecord = 2, PageArchive = 3, PageConsumption = 4 };

    // timerPeriod 0 builds the link without its timer; whoever owns the engine
    // then drives ComBuf->Tick itself.
    explicit TEngine(const TSettings& settings, uint16_t timerPeriod = 100);
    ~TEngine();
    TEngine(const TEngine&) = delete;
    TEngine& operator=(const TEngine&) = delete;

    std::unique_ptr<TComBufQDR> ComBuf;
    TComRootInterface* Root() const;
    // The transport as the status frame shows it, e.g. COM1:1200,N,8,1.
    QString Description() const;

    TSettings Settings;

    // Schedule state.
    uint8_t PollGroup = 1;
    uint8_t PollStep = 0;
    uint8_t ActivePage = PageMeasurement;
    uint8_t RecordIndex = 0;
    uint8_t WritePending = 0;
    uint8_t Generation = 0;
    uint8_t Limit = 80;
    uint8_t Merania = 0;
    uint8_t SilentSeconds = 255;
    uint16_t SecondStamp = 0;
    QString Password;
    TArchiveRequest Archive;

    // What the replies said, kept for front ends.
    TIdentification Identification;
    TInformation Information;
    TLive Live;
    std::array<TIntervalRecord, 4> Records;
    // Channels of the archive records: meters, plus the main measurement in
    // generation 3.
    uint8_t Channels = 0;
    // Meter kinds for the archive (generations 1 and 2 take them from block 1).
    uint16_t KindMask = 0;
    uint8_t LastStatus = 0;

    // Hooks for front ends.
    TStatusEvent OnStatus;                       // end of every exchange
    TDataEvent OnReply;                          // every reply, after the engine's decoding
    std::function<void(uint8_t command)> OnSent; // a request went out
    TNotifyEvent OnSilence;                      // 60 s without data: everything is stale

    // The request schedule, run on every cycle of ComBuf.
    void ComBufCycle();
    // The reply handler.
    void ComBufData(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // The tick: once a second it runs SecondStep.
    void ComBufTick();
    // The once-a-second step: counts silent seconds; at 60 the regulator is
    // taken as gone and identified anew.
    void SecondStep();

    // A one-off request (the regulated-power write) in the cycle the schedule
    // leaves free for it. Waits, processing events, at most waitMs; false when
    // polling is stopped, the link is closed, the wait ran out or the frame
    // could not be handed over.
    bool WriteCommand(uint8_t command, uint8_t length, const uint8_t* data, int waitMs = 5000);

    // Stops polling, waits (at most waitMs) for the exchange in progress to end
    // and stops the worker and the timer. Further calls do nothing.
    void Close(int waitMs = 3000);
    bool Closed() const { return IsClosed; }

    // Archive batch size of command 3 for the configured Limit.
    uint8_t BatchSize() const { return static_cast<uint8_t>((Limit - 1) / 6); }

private:
    bool IsClosed = false;
    QEventLoop* WriteLoop = nullptr;
    void Send(uint8_t command, uint8_t length, const uint8_t* data, uint16_t holdTime);
};
