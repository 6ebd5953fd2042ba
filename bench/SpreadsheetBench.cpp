// The spreadsheet output of a whole month with every measurement: 31 days
// at 15 minutes, 13 measurements, the simulator's own records. Sending goes
// through the driver, its bursts and waits, to the program's own server;
// writing is the .xlsx file the server leaves when the conversation closes.
#include "e2e/ExpectedArchive.h"

#include "output/AdvExcel.h"
#include "output/ArchText.h"
#include "output/SheetServer.h"
#include "output/SpreadsheetOutput.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

struct TMonth {
    QTemporaryDir Dir;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;
    TTableChoice Choice;

    TMonth()
    {
        TSimMirror sim({"--generation", "3", "--meters", "12", "--now", "2026-11-01T00:00", "--speed", "0"});
        const TExpectedMonth october = ExpectedArchive(sim.Regulator()).front();
        QFile f(Dir.filePath(october.FileName()));
        if (f.open(QIODevice::WriteOnly))
            f.write(october.Bytes());
        f.close();
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        View = std::make_unique<TDispArch>(Archive.get(), 15);
        View->Open(Dir.filePath(october.FileName()));
        Choice.Caption = QStringLiteral("Október 2026");
        for (int n = 0; n < 13; ++n)
            Choice.Labels << QStringLiteral("%1: Meranie %1").arg(n, 2, 10, QLatin1Char('0'));
    }
};

void BM_SendMonth(benchmark::State& state)
{
    TMonth month;
    if (month.View->SelectedCount != 13 || month.View->DayCount != 31) {
        state.SkipWithError("the month is not a full one with 13 measurements");
        return;
    }
    auto server = std::make_unique<TSheetServer>();
    TSheetServer& sheets = *server;
    sheets.FileName = month.Dir.filePath(QStringLiteral("2026OCT.xlsx"));
    TAdvExcel excel(std::move(server));
    excel.BurstCount = 32;
    for (auto _ : state) {
        if (!SendTables(excel, *month.View, month.Choice, {}, {}) || sheets.SavedPath().isEmpty()) {
            state.SkipWithError("the output failed");
            return;
        }
    }
    state.counters["records"] = month.View->RecordCount;
    state.counters["cells"] = double(sheets.Sheets().front().Cells.size());
}
BENCHMARK(BM_SendMonth)->Unit(benchmark::kMillisecond);

void BM_WriteMonthWorkbook(benchmark::State& state)
{
    TMonth month;
    auto server = std::make_unique<TSheetServer>();
    TSheetServer& sheets = *server;
    sheets.FileName = month.Dir.filePath(QStringLiteral("2026OCT.xlsx"));
    TAdvExcel excel(std::move(server));
    SendTables(excel, *month.View, month.Choice, {}, {});
    const std::vector<TSheet> book = sheets.Sheets();
    for (auto _ : state)
        if (WriteWorkbook(book, sheets.FileName).Failed()) {
            state.SkipWithError("the workbook could not be written");
            return;
        }
}
BENCHMARK(BM_WriteMonthWorkbook)->Unit(benchmark::kMillisecond);

} // namespace
