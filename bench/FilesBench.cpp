// Load and save of a full monthly archive file: 4608 records of 28 bytes
// (the interval time and 13 channels), the largest file the download writes.
// The save is the real one: temporary file, fsync, rename, folder sync.
#include "core/TextFunctions.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/FileArchQDR.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

constexpr uint16_t kRecordSize = 28;
constexpr uint16_t kRecords = TArchiveQDR::FileCapacity;
constexpr uint16_t kMonth = 2026 * 12 + 0; // January 2026

// A folder holding one full monthly file, made once for all benchmarks.
struct FullFile {
    FullFile()
    {
        Name = Dir.filePath(MonthFileName(kMonth, QStringLiteral("qdr")));
        TFileArchQDR file(kRecordSize, kRecords);
        file.LoadMonth(Name, kMonth);
        file.SetKindMask(0x0005);
        std::vector<uint8_t> record(kRecordSize);
        for (uint16_t i = 0; i < kRecords; ++i) {
            // Ten-minute intervals from the first day on, wrapping inside the
            // month so every time stays a valid one.
            PutWord(record.data(), static_cast<uint16_t>(1440 + (i % 4464) * 10));
            for (uint16_t c = 0; c < (kRecordSize - 2) / 2; ++c)
                PutWord(record.data() + 2 + 2 * c, static_cast<uint16_t>((i * 7 + c * 131) % 5000));
            file.Put(record.data(), kRecordSize, i);
        }
        Saved = file.Save() && QFileInfo(Name).size() == 12 + qint64(kRecords) * kRecordSize;
    }
    QTemporaryDir Dir;
    QString Name;
    bool Saved = false;
};

FullFile& Fixture()
{
    static FullFile f;
    return f;
}

void BM_LoadFullFile(benchmark::State& state)
{
    FullFile& f = Fixture();
    if (!f.Saved) {
        state.SkipWithError("could not write the full file");
        return;
    }
    for (auto _ : state) {
        TFileArchQDR file(0, kRecords);
        const bool ok = file.LoadMonth(f.Name, kMonth);
        benchmark::DoNotOptimize(file.RecordAt(kRecords - 1));
        if (!ok || file.Held() != kRecords || file.RecordSize() != kRecordSize) {
            state.SkipWithError("the full file did not load whole");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

// The same load through the archive's cache of monthly files, as the
// download and the archive view open a month.
void BM_LoadFullFileArchive(benchmark::State& state)
{
    FullFile& f = Fixture();
    if (!f.Saved) {
        state.SkipWithError("could not write the full file");
        return;
    }
    TArchiveQDR archive(f.Dir.path());
    const QString name = QFileInfo(f.Name).fileName();
    for (auto _ : state) {
        TFileMem* file = archive.Open(name);
        if (!file || file->Held() != kRecords) {
            state.SkipWithError("the archive did not open the full file");
            break;
        }
        benchmark::DoNotOptimize(file->Get(kRecordSize, kRecords - 1));
        archive.Release(file);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_SaveFullFile(benchmark::State& state)
{
    FullFile& f = Fixture();
    if (!f.Saved) {
        state.SkipWithError("could not write the full file");
        return;
    }
    TFileArchQDR file(0, kRecords);
    if (!file.LoadMonth(f.Name, kMonth) || file.Held() != kRecords) {
        state.SkipWithError("the full file did not load whole");
        return;
    }
    for (auto _ : state) {
        file.SetModified();
        if (!file.Save()) {
            state.SkipWithError("save failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
    if (QFileInfo(f.Name).size() != 12 + qint64(kRecords) * kRecordSize)
        state.SkipWithError("the saved file has the wrong size");
}

} // namespace

BENCHMARK(BM_LoadFullFile)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_LoadFullFileArchive)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SaveFullFile)->Unit(benchmark::kMicrosecond)->UseRealTime();
