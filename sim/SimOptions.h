#pragma once
// Command line of qdrsim.
#include "SimFaults.h"
#include "SimRegulator.h"

#include <array>
#include <string>

enum class TSimTransport { Udp, Serial, Device };

struct TSimOptions {
    TSimTransport Transport = TSimTransport::Udp;
    std::string UdpAddress = "127.0.0.1";
    uint16_t UdpPort = 10001;
    std::string DevicePath;

    TSimConfig Regulator;
    bool NowGiven = false;
    int64_t Offset = 0;      // seconds the regulator's clock is ahead of --now or local time
    double Speed = 1.0;      // simulated seconds per real second; 0 stops the clock
    bool Fast = false;       // serial bytes without line pacing
    int TurnaroundMs = 30;
    bool Echo = false;
    bool Noise = false;      // serial: a byte on the line all the time
    int MinGapMs = 0;        // requests sooner than this after the previous one go unanswered
    int LateMs = 1500;
    int DuplicateMs = 50;
    bool Log = false;
    bool Help = false;
    std::array<double, sfCount> Faults{};
};

// Parses argv into Options; on failure returns false with Error set.
bool SimParseOptions(int argc, const char* const* argv, TSimOptions& options, std::string& error);
std::string SimHelpText();
// Local wall-clock time as simulated seconds from 30.12.1899.
int64_t SimLocalNow();
