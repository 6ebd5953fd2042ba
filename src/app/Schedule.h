#pragma once
// Which request goes out next: identification and the information block
// first, then the live group in its steps (the page's block, the information
// block every InformationEveryMs, the measurement page's block in turn when
// every figure is watched), the archive download's group, a waiting write
// before either; and the fast download that asks the next archive request as
// soon as the last exchange ended, with the live group's turns between and
// its fallback to the schedule's pace. It knows requests, never the bytes of
// a reply: what the others hold is handed in with every turn.
#include "regulator/ArchiveReplies.h"

#include <QString>

#include <array>
#include <cstdint>

class TSchedule {
public:
    // Page indexes the schedule distinguishes.
    enum : uint8_t { PageMeasurement = 0, PageInformation = 1, PageRecord = 2, PageArchive = 3, PageConsumption = 4 };
    // The live group's turn during a fast download, every LiveTurnMs
    // (LiveTurnNearEndMs in the last NearEndSeconds of a measuring interval).
    static constexpr uint32_t LiveTurnMs = 10000;
    static constexpr uint32_t LiveTurnNearEndMs = 2000;
    static constexpr uint32_t NearEndSeconds = 30;
    // Fast requests in a row without a valid reply after which the regulator
    // is taken not to keep up, if it answers requests at the schedule's pace
    // (twice running: see Ended).
    static constexpr uint8_t FastMissLimit = 5;

    // What the others hold at a turn.
    struct TInput {
        uint32_t Now = 0;             // the engine's clock, ms
        bool HoldFree = true;         // the link's hold time after a reply is over
        bool WriterWaiting = false;   // a write waits for its cycle
        bool InformationHeld = false; // an information block waits for a second one alike
        bool TableHeld = false;       // likewise the live blocks' month table
        bool NearEnd = false;         // the running interval ends within NearEndSeconds
        // The download's next request; Count 0 when it has none.
        uint16_t ArchiveMonth = 0, ArchiveStart = 0, ArchiveCount = 0;
    };
    struct TRequest {
        uint8_t Command = 0;
        uint8_t Length = 0;
        std::array<uint8_t, 5> Data{};
        uint16_t Hold = 0; // ms the line is held for the reply
    };
    enum class TTurn : uint8_t {
        None,      // nothing goes out
        Send,      // the request goes out
        Write,     // the turn is the waiting write's: wake it
        LiveFirst, // fast: the live group's cycle first, the archive request after it if the line is free
    };
    // What follows the end of an exchange.
    enum class TAfter : uint8_t {
        None,
        Fast,     // the next fast request
        Probe,    // the next scheduled request tells whether the regulator keeps up: start a cycle now
        FallBack, // the fast download was given up for the rest of the run
    };

    // A cycle of the link.
    TTurn Cycle(const TInput& in, TRequest& out);
    // The end of an exchange in fast mode may hand over the next request:
    // FastReady first, then FastTurn with the download moved on.
    bool FastReady() const;
    TTurn FastTurn(const TInput& in, TRequest& out);
    // A request went out (now the engine's clock); fast: the archive request
    // of FastTurn.
    void Sent(uint8_t command, uint32_t now);
    void SentFast();
    TAfter Ended(uint8_t code);

    // The regulator's identification: its generation (0 unknown), the
    // identity waiting for the information block to be told the archive.
    uint8_t Generation() const { return FGeneration; }
    // The live values of the meters grid follow the generation by reference.
    const uint8_t& GenerationRef() const { return FGeneration; }
    void SetGeneration(uint8_t generation) { FGeneration = generation; }
    bool IdentityPending() const { return FIdentityPending; }
    void SetIdentityPending(bool pending) { FIdentityPending = pending; }
    // Identify again from the start.
    void Reidentify();
    // The information block was taken at now (it is asked again a period later).
    void InformationTaken(uint32_t now) { InformationStamp = now; }

    // 0: polling stopped.
    uint8_t PollGroup() const { return FPollGroup; }
    void SetPollGroup(uint8_t group) { FPollGroup = group; }
    uint8_t PollStep() const { return FPollStep; }
    void SetPollStep(uint8_t step) { FPollStep = step; }
    uint8_t ActivePage() const { return FActivePage; }
    void SetActivePage(uint8_t page) { FActivePage = page; }
    // The slot of the interval record page asked next (0 to 3).
    uint8_t RecordIndex() const { return FRecordIndex; }
    void NextRecord() { FRecordIndex = FRecordIndex >= 3 ? 0 : FRecordIndex + 1; }
    // A write waits for a cycle; the cycle was given to it.
    uint8_t WritePending() const { return FWritePending; }
    void SetWritePending(uint8_t pending) { FWritePending = pending; }
    bool WriteGiven() const { return FWriteGiven; }
    void WriteTaken() { FWriteGiven = false; }
    bool ExchangeOpen() const { return FExchangeOpen; }

    // The archive request's size limit (Limit of KOMUNIKACIA) and the
    // extended measurement blocks (Merania).
    uint8_t Limit() const { return FLimit; }
    void SetLimit(uint8_t limit) { FLimit = limit; }
    // Archive batch size of command 3 for the limit.
    uint8_t BatchSize() const { return static_cast<uint8_t>((FLimit - 1) / TArchiveReplies::Slot); }
    uint8_t Merania() const { return FMerania; }
    void SetMerania(uint8_t merania) { FMerania = merania; }

    // Options (see the engine's setters).
    bool Download() const { return FDownload; }
    void SetDownload(bool on) { FDownload = on; }
    bool Fast() const { return FFast; }
    void SetFast(bool on) { FFast = on; }
    bool WatchAll() const { return FWatchAll; }
    void SetWatchAll(bool on) { FWatchAll = on; }
    uint32_t InformationEveryMs() const { return FInformationEveryMs; }
    void SetInformationEveryMs(uint32_t ms) { FInformationEveryMs = ms; }

    bool FastDropped() const { return FFastDropped; }
    // Why the fast download was given up, in Slovak for the window and in a
    // few English words for the command-line tool and the log.
    static QString FallbackText();
    static QString FallbackReason();
    bool Fasting() const { return FFast && !FFastDropped; }
    // The next scheduled request tells whether the regulator keeps up: it
    // goes at the schedule's pace and waits the whole time-out.
    bool Probing() const { return FastProbe; }
    // The archive request the download asks next; false when none is due.
    bool ArchiveRequest(const TInput& in, TRequest& out) const;

private:
    uint8_t FPollGroup = 1;
    uint8_t FPollStep = 0;
    uint8_t FActivePage = PageMeasurement;
    uint8_t FRecordIndex = 0;
    uint8_t FWritePending = 0;
    bool FWriteGiven = false; // the cycle went to a write that has not been sent yet
    uint8_t FGeneration = 0;
    bool FIdentityPending = false;
    uint8_t FLimit = 80;
    uint8_t FMerania = 0;
    bool FDownload = true;
    bool FFast = false;
    bool FWatchAll = false;
    uint32_t FInformationEveryMs = 0;
    uint32_t InformationStamp = 0;

    enum class TSent : uint8_t { None, Live, Archive, FastArchive, Write };
    TSent FSent = TSent::None;
    bool FExchangeOpen = false; // a request was handed over and its exchange has not ended
    bool FFastDropped = false;
    bool FastProbe = false;     // the next scheduled request tells whether the regulator keeps up
    bool ProbeSent = false;
    bool LiveSinceMiss = false;
    uint8_t FastMisses = 0;
    uint8_t SlowAnswered = 0;   // runs of misses after which the schedule's pace was answered
    uint32_t LiveTurnAt = 0;

    TTurn GiveWrite(bool writerWaiting);
    bool LiveDue(const TInput& in) const;
    // The live group's request at this step, -1 when the step has none.
    int LiveRequest(const TInput& in, TRequest& out);
};
