#pragma once
// Fault injection on the regulator's replies. Every reply draws every fault
// once, in a fixed order, whether or not an earlier one hit: the sequence of
// draws then depends only on the seed and the number of replies, so a test can
// replay it, and each fault occurs at its own rate independently of the others.
#include "SimFrame.h"
#include "SimRandom.h"

#include <array>
#include <cstdint>
#include <string>

enum TSimFault { sfLoss, sfCorrupt, sfMisaddress, sfShort, sfTiny, sfLong, sfLate, sfWrongLength, sfDuplicate, sfCount };

struct TSimFaultDraw {
    std::array<bool, sfCount> Hit{};
    bool Any() const;
    std::string Text() const; // "loss,late" etc.; empty when none
};

// What goes out for one reply.
struct TSimFaulted {
    bool Send = true;
    bool Late = false;
    bool Duplicate = false; // the same bytes go out a second time shortly after
    TSimBytes Bytes;
};

class TSimFaults {
public:
    explicit TSimFaults(uint64_t seed = 0);

    static const char* Name(TSimFault f);
    // By name ("loss", "corrupt", ...); false for an unknown name or P outside 0..1.
    bool Set(const std::string& name, double p);
    void Set(TSimFault f, double p) { Probability[f] = p; }
    double Get(TSimFault f) const { return Probability[f]; }

    TSimFaultDraw Draw();
    // Applies a draw to a reply frame (built by TSimFrame::BuildReply).
    TSimFaulted Apply(const TSimFaultDraw& draw, const TSimBytes& frame);

private:
    std::array<double, sfCount> Probability{};
    TSimRandom Random;
    TSimRandom Shape; // lengths and fillers, kept apart so they do not shift the draws
};
