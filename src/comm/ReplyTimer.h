#pragma once
// How long to wait for a reply when requests follow each other as fast as
// the regulator answers: a lost reply should cost about what a slow one
// takes, not the configured time-out. The wait follows the reply times
// measured the way a TCP sender's retransmission timer does: a smoothed
// reply time plus four times its variation, doubled after each time-out.
// Not thread-safe: the worker thread alone uses it.
#include <cstdint>

class TReplyTimer {
public:
    // The wait for the next reply in ms: the estimate, doubled for each
    // time-out since the last sample, at least floorMs and at most capMs.
    // Before the first sample nothing is known and the wait is capMs.
    uint32_t Wait(uint32_t floorMs, uint32_t capMs) const;
    // A reply's first bytes came ms after the wait began.
    void Answered(uint32_t ms);
    // No reply within the wait.
    void TimedOut();

    bool Measured() const { return HasSample; }
    double Smoothed() const { return Srtt; }
    double Variation() const { return Rttvar; }
    uint8_t Doublings() const { return Backoff; }

private:
    double Srtt = 0;
    double Rttvar = 0;
    bool HasSample = false;
    uint8_t Backoff = 0;
    // The exchange after a time-out is no sample: what answered it may be the
    // late reply to the one before, which would make the wait too short.
    bool AfterTimeout = false;
};
