// The store of two full generation-3 months of one site (July and August
// 2026 from the simulator: 2976 records of 13 channels each) in a PostgreSQL
// server of the benchmark's own: first into an empty database, then again
// into one that holds them (nothing changes then). Each run connects,
// prepares the schema and stores both months, as one qdrtool store does.
#include "e2e/ExpectedArchive.h"
#include "support/PgServer.h"

#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "store/PgStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

struct TMonths {
    QTemporaryDir Dir;
    TArchiveQDR Archive{Dir.path()};
    std::vector<std::unique_ptr<TDispArch>> Views;

    TMonths()
    {
        for (const char* now : {"2026-08-01T00:00", "2026-09-01T00:00"}) {
            TSimMirror sim({"--generation", "3", "--meters", "12", "--now", now, "--speed", "0"});
            const TExpectedMonth month = ExpectedArchive(sim.Regulator()).front();
            QFile f(Dir.filePath(month.FileName()));
            if (f.open(QIODevice::WriteOnly))
                f.write(month.Bytes());
            f.close();
            auto view = std::make_unique<TDispArch>(&Archive, 15);
            view->Open(Dir.filePath(month.FileName()));
            Views.push_back(std::move(view));
        }
    }
    bool Full() const
    {
        for (const auto& v : Views)
            if (v->RecordCount != 2976 || v->Channels != 13)
                return false;
        return true;
    }
    // One qdrtool store of both months; false with the reason in error.
    bool Store(const QString& conninfo, QString& error) const
    {
        TPgStore store;
        TStoreSummary summary;
        bool ok = store.Connect(conninfo) &&
                  store.Prepare(QStringLiteral("Benchmark"), QTimeZone(QByteArrayLiteral("Europe/Bratislava")));
        for (const auto& v : Views)
            ok = ok && store.StoreMonth(*v, {}, QStringLiteral("bench"), summary);
        error = store.Error;
        return ok;
    }
};

PgServer* Server = nullptr;

void BM_StoreTwoMonths(benchmark::State& state)
{
    TMonths months;
    if (!Server->Ready() || !months.Full()) {
        state.SkipWithError("no server, or the months are not full ones");
        return;
    }
    const bool again = state.range(0) == 1;
    static int run = 0; // a fresh database for every first store
    QString database;
    for (auto _ : state) {
        state.PauseTiming();
        if (!again || database.isEmpty()) {
            database = QStringLiteral("bench%1").arg(run++);
            Server->Sql(QStringLiteral("CREATE DATABASE %1").arg(database));
            QString error;
            if (again && !months.Store(Server->ConnInfo(database), error)) {
                state.SkipWithError(error.toStdString().c_str());
                return;
            }
        }
        state.ResumeTiming();
        QString error;
        if (!months.Store(Server->ConnInfo(database), error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
    }
}
// 0: into an empty database, 1: again, changing nothing.
BENCHMARK(BM_StoreTwoMonths)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    PgServer server(true);
    Server = &server;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
