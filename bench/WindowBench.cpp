// One window tick with every display bound: nothing changed (the usual
// case: each display only compares freshness), and every value changed (each
// display repaints its control). Offscreen, timer period 0: nothing ticks but
// the benchmark.
#include "app/Engine.h"
#include "app/Settings.h"
#include "app/widgets/FormMain.h"

#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

TSettings BenchSettings()
{
    TSettings s;
    s.IP = s.Host = QStringLiteral("127.0.0.1");
    s.UdpPort = 9; // nothing answers; the benchmark sends nothing anyway
    s.Merania = 1;
    return s;
}

void BM_WindowTickUnchanged(benchmark::State& state)
{
    QTemporaryDir dir;
    TFormMain window(BenchSettings(), 0, dir.path());
    window.show();
    window.Engine->ComBufTick();
    QCoreApplication::processEvents();
    for (auto _ : state)
        window.Engine->ComBufTick();
}
BENCHMARK(BM_WindowTickUnchanged);

void BM_WindowTickAllChanged(benchmark::State& state)
{
    QTemporaryDir dir;
    TFormMain window(BenchSettings(), 0, dir.path());
    window.show();
    for (auto _ : state) {
        // Every value changes: each display repaints its control.
        window.Engine->Values->InvalidateAll();
        window.Engine->InterfaceME->InvalidateAll();
        window.Engine->ComBufTick();
    }
}
BENCHMARK(BM_WindowTickAllChanged);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
