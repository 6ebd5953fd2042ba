// The configuration reader on large files: reading a file of many keys and
// looking every key up must grow in step with the number of keys (the time
// per key stays flat from 1000 to 64000 keys).
#include "app/Config.h"

#include <QString>

#include <benchmark/benchmark.h>

namespace {

// keys keys in sections of 100, as a site with many named meters and
// appliances would have them, a few times over.
QString ManyKeys(int keys)
{
    QString text;
    for (int k = 0; k < keys; ++k) {
        if (k % 100 == 0)
            text += QStringLiteral("[SECTION%1]\r\n").arg(k / 100);
        text += QStringLiteral("Key%1=value %1\r\n").arg(k);
    }
    return text;
}

void BM_IniReadAndLookUp(benchmark::State& state)
{
    const int keys = int(state.range(0));
    const QString text = ManyKeys(keys);
    for (auto _ : state) {
        TMIniFile ini(QStringLiteral("/nonexistent/bench.ini"), QStringLiteral("/nonexistent"));
        ini.SetText(text);
        int found = 0;
        for (int k = 0; k < keys; k += 7)
            found += ini.ValueExists(QStringLiteral("section%1").arg(k / 100), QStringLiteral("KEY%1").arg(k));
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * keys);
}
BENCHMARK(BM_IniReadAndLookUp)->Arg(1000)->Arg(8000)->Arg(64000)->Unit(benchmark::kMillisecond);

// One section of many keys: the case the old reader slowed down on most.
void BM_IniOneLargeSection(benchmark::State& state)
{
    const int keys = int(state.range(0));
    QString text = QStringLiteral("[SPOTREBICE]\r\n");
    for (int k = 0; k < keys; ++k)
        text += QStringLiteral("RO%1=Appliance %1\r\n").arg(k);
    for (auto _ : state) {
        TMIniFile ini(QStringLiteral("/nonexistent/bench.ini"), QStringLiteral("/nonexistent"));
        ini.SetText(text);
        benchmark::DoNotOptimize(ini.ReadString(QStringLiteral("SPOTREBICE"), QStringLiteral("RO1"), QString()));
    }
    state.SetItemsProcessed(state.iterations() * keys);
}
BENCHMARK(BM_IniOneLargeSection)->Arg(1000)->Arg(8000)->Arg(64000)->Unit(benchmark::kMillisecond);

} // namespace
