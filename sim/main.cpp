// qdrsim: a simulated regulator on UDP or a serial line. See --help.
#include "SimOptions.h"
#include "SimServer.h"

#include <csignal>
#include <cstdio>
#include <string>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStop(int)
{
    gStop = 1;
}

} // namespace

int main(int argc, char** argv)
{
    TSimOptions options;
    std::string error;
    if (!SimParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "qdrsim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.Help) {
        std::fputs(SimHelpText().c_str(), stdout);
        return 0;
    }

    // The stop signals are blocked except while the loop waits in ppoll, so a
    // signal can never slip in between checking the flag and going to sleep.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);

    TSimServer server(options);
    std::string where;
    if (!server.Open(where)) {
        std::fprintf(stderr, "qdrsim: %s\n", where.c_str());
        return 1;
    }
    std::printf("%s\nREADY\n", where.c_str());
    std::fflush(stdout);
    return server.Run(&gStop);
}
