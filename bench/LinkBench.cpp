// The link against the simulator over UDP loopback, as the client runs it:
// worker thread, 100 ms timer thread and the main thread's event loop.
//  - BM_IdentifyUdp: from the engine's construction to the moment the
//    identification reply has set the generation.
//  - BM_PollCpuUdp: the CPU time the whole client process uses while it polls
//    for 30 s (getrusage of this process; the simulator is a child process
//    and does not count). Argument 0: live polling alone, against a regulator
//    whose archive holds nothing to fetch; 1: the same while the archive
//    download fills every free cycle.
#include "app/Engine.h"
#include "app/Settings.h"
#include "support/SimProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <memory>

namespace {

constexpr int kPollSeconds = 30;

// A generation-3 regulator whose clock stands just after New Year with the
// whole older month lost: its archive offers nothing to fetch.
SimProcess& LiveSimulator()
{
    static SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"),
                           QStringLiteral("3"), QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--now"),
                           QStringLiteral("2026-01-01T00:10"), QStringLiteral("--lost"), QStringLiteral("2976")});
    return sim;
}

// The same regulator at the end of January: two full months to fetch.
SimProcess& ArchiveSimulator()
{
    static SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"),
                           QStringLiteral("3"), QStringLiteral("--speed"), QStringLiteral("0"), QStringLiteral("--now"),
                           QStringLiteral("2026-01-31T23:59")});
    return sim;
}

// Makes a fresh folder the current directory for as long as it lives, so the
// engine's monthly files land there and every session starts with none.
struct ScratchFolder {
    ScratchFolder()
        : Previous(QDir::currentPath())
    {
        QDir::setCurrent(Dir.path());
    }
    ~ScratchFolder() { QDir::setCurrent(Previous); }
    QTemporaryDir Dir;
    QString Previous;
};

TSettings UdpSettings(const QString& endpoint)
{
    TSettings s;
    s.IP = endpoint;
    TSettings::SplitHostPort(endpoint, s.Host, s.UdpPort);
    return s;
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_IdentifyUdp(benchmark::State& state)
{
    SimProcess& sim = LiveSimulator();
    if (!sim.Ready) {
        state.SkipWithError("qdrsim did not start");
        return;
    }
    const TSettings settings = UdpSettings(sim.Udp);
    for (auto _ : state) {
        ScratchFolder folder;
        QEventLoop loop;
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        auto engine = std::make_unique<TEngine>(settings);
        qint64 identifiedNs = -1;
        engine->OnReply = [&](uint8_t, uint8_t, uint8_t, const uint8_t*) {
            if (identifiedNs < 0 && engine->Generation() != 0) {
                identifiedNs = clock.nsecsElapsed();
                loop.quit();
            }
        };
        loop.exec();
        engine->Close();
        if (identifiedNs < 0 || engine->Generation() != 3) {
            state.SkipWithError("no identification within 5 s");
            break;
        }
        state.SetIterationTime(double(identifiedNs) / 1e9);
    }
}

void BM_PollCpuUdp(benchmark::State& state)
{
    const bool download = state.range(0) != 0;
    SimProcess& sim = download ? ArchiveSimulator() : LiveSimulator();
    if (!sim.Ready) {
        state.SkipWithError("qdrsim did not start");
        return;
    }
    const TSettings settings = UdpSettings(sim.Udp);
    double cpu = 0;
    double wall = 0;
    int replies = 0;
    for (auto _ : state) {
        ScratchFolder folder;
        QElapsedTimer clock;
        clock.start();
        const double cpuStart = CpuSeconds();
        {
            TEngine engine(settings);
            engine.OnReply = [&](uint8_t, uint8_t, uint8_t, const uint8_t*) { ++replies; };
            QEventLoop loop;
            QTimer::singleShot(kPollSeconds * 1000, &loop, &QEventLoop::quit);
            loop.exec();
            engine.Close();
        }
        cpu += CpuSeconds() - cpuStart;
        wall += double(clock.nsecsElapsed()) / 1e9;
    }
    // A live block a second at the least, or the session did not poll.
    if (replies < kPollSeconds / 2 * static_cast<int>(state.iterations()))
        state.SkipWithError("the session hardly polled");
    // The download takes a record a cycle; far fewer replies mean it did not run.
    else if (download && replies < 5 * kPollSeconds * static_cast<int>(state.iterations()))
        state.SkipWithError("the archive download did not run");
    state.counters["cpu_pct"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
    state.counters["cpu_ms"] = 1000.0 * cpu / double(state.iterations());
    state.counters["replies"] = double(replies) / double(state.iterations());
}

} // namespace

BENCHMARK(BM_IdentifyUdp)->Iterations(1)->Repetitions(15)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PollCpuUdp)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
