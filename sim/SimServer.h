#pragma once
// The running simulator: the regulator model behind a UDP socket or a serial
// line, with line timing, fault injection and the stdin control channel.
// Everything runs on one thread around poll(), so the model needs no locks.
#include "SimFaults.h"
#include "SimFrame.h"
#include "SimOptions.h"
#include "SimRegulator.h"

#include <netinet/in.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

class TSimServer {
public:
    using TClock = std::chrono::steady_clock;

    explicit TSimServer(const TSimOptions& options);
    ~TSimServer();
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    // Opens the transport; Where is the line to print ("UDP 127.0.0.1:10001",
    // "SERIAL /dev/pts/3"). False with Where holding the reason on failure.
    bool Open(std::string& where);
    // Serves until a stop signal or "quit"; returns the exit code.
    int Run(volatile std::sig_atomic_t* stopFlag);

    // One control line; false with Reply holding the error for a bad line.
    bool Control(const std::string& line, std::string& reply);
    bool QuitRequested() const { return Quit; }

    // The simulated time now.
    int64_t SimNow() const;
    TSimRegulator& Regulator() { return Model; }
    TSimFaults& Faults() { return FaultGen; }

private:
    struct TOut {
        TClock::time_point At;
        TSimBytes Bytes;
        sockaddr_in Peer{};
    };
    struct TBlock {
        TClock::time_point Start;
        TClock::time_point End;
    };

    bool OpenUdp(std::string& where);
    bool OpenPty(std::string& where);
    bool OpenDevice(std::string& where);
    void ReadLink();
    void ReadStdin();
    void Handle(TSimParse parse, const TSimRequest& request, const TSimBytes& raw,
                TClock::time_point complete, const sockaddr_in* peer);
    void ScheduleReply(const TSimBytes& bytes, TClock::time_point start, const sockaddr_in* peer);
    void Flush();
    TClock::duration ByteTime() const;
    void Log(const std::string& text) const;

    TSimOptions Opt;
    TSimRegulator Model;
    TSimFaults FaultGen;
    TSimFrameAssembler Assembler;

    int LinkFd = -1;
    int SlaveFd = -1; // kept open so the master never sees a hang-up between clients
    bool IsUdp = true;
    bool StdinOpen = true;
    bool Quit = false;
    std::string StdinBuffer;

    TClock::time_point RealStart;
    int64_t SimStart;
    int64_t Advanced = 0; // seconds added by "advance"
    TClock::time_point LastRx{};
    TClock::time_point WireFree{};
    TClock::time_point NextNoise{};
    TClock::time_point MutedUntil{}; // no reply before this
    TClock::time_point LastRequest{};
    bool AnyRequest = false;
    void Noise();
    std::vector<TOut> Outgoing;
    std::vector<TBlock> Blocks;
};
