// One tick of the engine with every value set: the 100 ms step that ages the
// values, runs the consumption evaluation, asks the archive for its next
// request and counts the silent seconds. The replies that set the values are
// the simulator's own blocks for a generation-3 regulator with 12 meters and
// the consumption data, passed through the engine's reply handler exactly as
// the link would pass them. Timer period 0: nothing ticks but the benchmark.
#include "app/Engine.h"
#include "app/Settings.h"
#include "values/InterfaceME.h"
#include "values/Values.h"

#include "SimCalendar.h"
#include "SimRegulator.h"

#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

TSimRegulator MakeRegulator()
{
    TSimConfig c;
    c.Generation = 3;
    c.Meters = 12;
    c.Kinds = 0x0C00; // meters 11 and 12 measure reactive power
    TSimCivil now;
    now.Year = 2026;
    now.Month = 3;
    now.Day = 17;
    now.Hour = 14;
    now.Minute = 38;
    now.Second = 20;
    c.Now = SimSecondsFromCivil(now);
    return TSimRegulator(c);
}

void Feed(TEngine& engine, uint8_t command, const TSimBytes& block)
{
    engine.ComBufData(0, static_cast<uint8_t>(command | 0x80), static_cast<uint8_t>(block.size()), block.data());
}

// Every block a generation-3 regulator with consumption data answers on the
// live pages: identification, information, measurement with consumption
// data, inputs and outputs, the four interval records, the regulated powers.
void FeedAll(TEngine& engine, const TSimRegulator& sim)
{
    Feed(engine, 0, sim.Block0());
    Feed(engine, 1, sim.Block1());
    Feed(engine, 10, sim.Block10());
    Feed(engine, 5, sim.Block5());
    for (uint8_t slot = 0; slot < 4; ++slot)
        Feed(engine, 4, sim.Block4(slot));
    Feed(engine, 7, sim.Block7());
}

// How many of a list's values hold data.
uint16_t ValidCount(const TValues& values)
{
    uint16_t n = 0;
    for (uint16_t i = 0; i < values.Count(); ++i)
        if (const TValue* v = values.Items(i); v && v->IsValid())
            ++n;
    return n;
}

TSettings BenchSettings()
{
    TSettings s;
    // Nothing is sent: without a timer no cycle runs.
    s.IP = QStringLiteral("127.0.0.1");
    s.Host = s.IP;
    s.UdpPort = 9;
    s.Merania = 1;
    s.Intervaly = 4;
    return s;
}

void BM_EngineTick(benchmark::State& state)
{
    // The archive's monthly files go to a folder of the benchmark's own.
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    {
        const TSimRegulator sim = MakeRegulator();
        TEngine engine(BenchSettings(), 0);
        FeedAll(engine, sim);
        if (engine.Generation() != 3) {
            state.SkipWithError("the identification did not set generation 3");
        } else {
            for (auto _ : state)
                engine.ComBufTick();
            // What the ticks worked on: the values in the engine's lists and
            // how many of them held data at the end.
            const TValues& me = *engine.InterfaceME->MeValues;
            state.counters["values"] = engine.Values->Count() + me.Count();
            state.counters["valid"] = ValidCount(*engine.Values) + ValidCount(me);
        }
        engine.Close();
    }
    QDir::setCurrent(previous);
}

} // namespace

BENCHMARK(BM_EngineTick)->Unit(benchmark::kMicrosecond);
