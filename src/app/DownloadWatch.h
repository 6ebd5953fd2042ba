#pragma once
// The archive download as the operator follows it: its progress and rate,
// the stall (no progress for StallMs while the regulator answers) and the
// status line the window, qdrtool fetch and the log show. It is handed the
// download's progress and the link's state; it asks nothing of the link.
#include "regulator/ArchiveQDR.h"
#include "regulator/ArchiveReplies.h"

#include <QString>

#include <array>
#include <cstdint>

class TComInterface;

class TDownloadWatch {
public:
    // A download that has made no progress for StallMs while the regulator
    // answers: the month and record it is stuck at, and why (Stalled false
    // while it goes on). Only time while the link is up, up to the last
    // valid reply, counts; the stall ends at the next record filed and when
    // the link goes down.
    struct TStall {
        bool Stalled = false;
        uint16_t Month = 0;
        uint16_t Record = 0; // 1-based regulator index
        TArchiveReplies::TProblem Problem = TArchiveReplies::None;
        uint8_t Code = 0;    // result of the last archive exchange
        bool Blocked = false; // the month's file cannot be moved aside
    };
    // Where the download stands.
    struct TProgress {
        uint32_t Stored = 0; // records filed so far
        uint16_t Month = 0;  // the request the download asks next
        uint16_t Start = 0;
        uint16_t Count = 0;  // 0: nothing left to ask
        TArchiveReplies::TProblem Problem = TArchiveReplies::None;
        bool Blocked = false;
    };

    uint32_t StallMs() const { return StallLimit; }
    void SetStallMs(uint32_t ms) { StallLimit = ms; }
    const TStall& Stall() const { return FStall; }
    // For a front end's test that shows a stall without waiting for one.
    void SetStall(const TStall& stall) { FStall = stall; }

    // An exchange carrying an archive request went out (archive) or another.
    void Sending(bool archive) { ArchivePending = archive; }
    // The exchange ended with code; an archive one's code says why it stands.
    void Ended(uint8_t code);
    // The link came up with a reply at stamp: the silence before it is the
    // outage's, not the download's.
    void LinkUp(uint32_t stamp) { CountedTo = stamp; }
    // Judges the download at now (the engine's clock), lastReply the last
    // valid reply's. True when the stall began, ended or changed its reason.
    bool Watch(const TProgress& progress, bool linkUp, uint32_t lastReply, uint32_t now);
    // Once a second: records filed per second over the last RateSeconds.
    // True when the rate changed.
    bool FollowRate(uint32_t stored);
    double Rate() const { return FRate; }

    // Why the download stands, in Slovak for the window (empty when it
    // does not); com names the communication lamp's letter for a code,
    // recordSize the size the records would be filed with.
    QString StallText(const TComInterface& com, uint16_t recordSize) const;
    // The same in a few English words, for the command-line tool and the log.
    QString StallReason(const TComInterface& com, uint16_t recordSize) const;
    // A month's file moved aside because the regulator's record size (or the
    // regulator) changed: said, in Slovak, until the next one.
    void MovedAside(const TArchiveQDR::TMovedAside& moved);
    const QString& MovedAsideText() const { return FMovedAside; }

    // The status line from the download's own text (progress), the stall,
    // the rate and fallback (the fast download's given-up text, or empty).
    // True when it changed, or always when stallChanged.
    bool Compose(const QString& progress, const QString& fallback, const TComInterface& com, uint16_t recordSize,
                 bool stallChanged);
    const QString& Status() const { return FStatus; }

private:
    uint32_t StallLimit = 60000;
    TStall FStall;
    bool ArchivePending = false; // the exchange in progress carries an archive request
    // Progress as the watch last saw it.
    uint32_t Stored = 0;
    uint16_t RequestMonth = 0, RequestStart = 0;
    // Link-up milliseconds without progress, counted up to CountedTo.
    uint32_t Counted = 0;
    uint32_t CountedTo = 0;
    static constexpr int RateSeconds = 5;
    std::array<uint32_t, RateSeconds + 1> RateStored{};
    int RateFilled = 0;
    double FRate = 0;
    QString FMovedAside;
    QString FStatus;
};
