// The archive page over a full monthly file (4608 records, 13 channels):
// opening and scanning it, painting one 1200 x 300 screen of the graph at
// every zoom and place, and painting one screen of the power table anywhere
// in the month; and the monthly report of a full generation-3 month (31 days
// of 15-minute intervals, 2976 records of 13 channels): the whole PDF, and
// the summary page alone (worked out, drawn and written as a one-page PDF).
// Runs offscreen with a QApplication.
#include "app/widgets/PageArchive.h"
#include "core/LittleEndian.h"
#include "core/TextFunctions.h"
#include "core/widgets/DrawGrid.h"
#include "output/ArchText.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "regulator/FileArchQDR.h"
#include "print/ArchGraph.h"
#include "print/MonthReport.h"
#include "print/MonthSummary.h"
#include "print/PrintJob.h"
#include "print/SummaryPage.h"

#include <QApplication>
#include <QBuffer>
#include <QPageLayout>
#include <QPdfWriter>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {
constexpr uint16_t kRecordSize = 28;
constexpr uint16_t kRecords = TArchiveQDR::FileCapacity;
constexpr uint16_t kMonth = 2026 * 12 + 0;

// January in records records spread evenly over its 31 days, the interval
// minutes long.
struct FullMonth {
    QTemporaryDir Dir;
    QString Name;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;

    explicit FullMonth(uint16_t records = kRecords, uint8_t minutes = 10)
    {
        Name = Dir.filePath(MonthFileName(kMonth, QStringLiteral("qdr")));
        {
            TFileArchQDR file(kRecordSize, kRecords);
            file.LoadMonth(Name, kMonth);
            std::vector<uint8_t> record(kRecordSize);
            for (uint16_t i = 0; i < records; ++i) {
                // Even steps over 31 days, a few gaps and missing values.
                PutWord(record.data(), i % 500 == 7 ? 0 : static_cast<uint16_t>(1440 + uint32_t(i) * 44640 / records));
                for (uint16_t c = 0; c < 13; ++c)
                    PutWord(record.data() + 2 + 2 * c,
                            (i + c) % 97 == 0 ? 0xFFFF : static_cast<uint16_t>((i * 7 + c * 131) % 5000));
                file.Put(record.data(), kRecordSize, i);
            }
            file.Save();
        }
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        View = std::make_unique<TDispArch>(Archive.get(), minutes);
        View->Open(Name);
        View->SetRegulatedPower(0, 4000);
        View->SetRegulatedPower(1, 2500);
    }
};

FullMonth& Month()
{
    static FullMonth m;
    return m;
}

void BM_OpenAndScan(benchmark::State& state)
{
    const QString name = Month().Name;
    for (auto _ : state) {
        TArchiveQDR archive(Month().Dir.path());
        TDispArch view(&archive, 10);
        benchmark::DoNotOptimize(view.Open(name));
        if (view.RecordCount != kRecords)
            state.SkipWithError("the file did not load whole");
    }
}
BENCHMARK(BM_OpenAndScan)->Unit(benchmark::kMillisecond);

// arg 0: zoom mode; arg 1: where the screen lies, in per mille of the graph.
void BM_PaintGraphScreen(benchmark::State& state)
{
    TDispArch& view = *Month().View;
    const auto mode = static_cast<uint8_t>(state.range(0));
    const int width = static_cast<int>(view.GraphWidth(mode));
    const int left = std::max(0, static_cast<int>(int64_t(width - 1200) * state.range(1) / 1000));
    QImage image(1200, 300, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&image);
        // The paint box is as wide as the graph; the screen shows 1200 pixels of it.
        p.translate(-left, 0);
        p.setClipRect(QRect(left, 0, 1200, 300));
        DrawGraph(p, view, QRect(0, 0, width, 300), 255, 250, 0, mode);
    }
}
BENCHMARK(BM_PaintGraphScreen)
    ->ArgsProduct({{0, 1, 2}, {0, 500, 1000}})
    ->Unit(benchmark::kMillisecond);

// arg: first row shown, in per mille of the month.
void BM_PaintPowerTableScreen(benchmark::State& state)
{
    FullMonth& m = Month();
    bool busy = false;
    TPageArchive page(*m.Archive, *m.View, busy);
    page.resize(1200, 800);
    page.show();
    QApplication::processEvents();
    page.OpenArchiveView(m.Name);
    TDrawGrid* grid = page.DrawGridArP;
    if (grid->VisibleRowCount() < 10)
        state.SkipWithError("the table shows no rows");
    grid->SetTopRow(1 + static_cast<int>(int64_t(kRecords) * state.range(0) / 1000));
    QImage image(grid->viewport()->size(), QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&image);
        grid->PaintCells(p, image.rect());
    }
    state.counters["rows"] = grid->VisibleRowCount();
}
BENCHMARK(BM_PaintPowerTableScreen)->Arg(0)->Arg(500)->Arg(990)->Unit(benchmark::kMillisecond);

// The text file's lines of the whole month, both tables, 13 measurements;
// arg: the line width (0 the file's, 132 a wide print line).
void BM_BuildText(benchmark::State& state)
{
    TDispArch& view = *Month().View;
    TTableChoice choice;
    choice.Caption = QStringLiteral("Január 2026");
    for (int c = 0; c < 13; ++c)
        choice.Labels << QStringLiteral("%1: Meranie %1").arg(c, 2, 10, QLatin1Char('0'));
    const auto width = static_cast<uint16_t>(state.range(0));
    for (auto _ : state) {
        QStringList lines;
        BuildText(lines, view, choice, width, [] { return true; });
        if (lines.size() < kRecords)
            state.SkipWithError("rows missing");
        benchmark::DoNotOptimize(lines);
    }
}
BENCHMARK(BM_BuildText)->Arg(0)->Arg(132)->Unit(benchmark::kMillisecond);

FullMonth& GenerationThreeMonth()
{
    static FullMonth m(31 * 96, 15);
    return m;
}

TReportRequest Report()
{
    TReportRequest request;
    request.Titles.Caption = QStringLiteral("Január 2026");
    request.Titles.Site = QStringLiteral("Závod Sever");
    for (int c = 0; c < 13; ++c)
        request.Titles.Labels << QStringLiteral("%1: Meranie %1").arg(c, 2, 10, QLatin1Char('0'));
    request.Limit = 4000;
    return request;
}

void BM_MonthReport(benchmark::State& state)
{
    FullMonth& m = GenerationThreeMonth();
    if (m.View->RecordCount != 31 * 96)
        state.SkipWithError("the month did not load whole");
    const QString out = m.Dir.filePath(QStringLiteral("report.pdf"));
    const TReportRequest request = Report();
    for (auto _ : state) {
        TFileError error;
        if (WriteMonthReport(*m.View, request, out, {}, {}, error) != TPrintResult::Printed)
            state.SkipWithError("the report was not written");
    }
}
BENCHMARK(BM_MonthReport)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SummaryPage(benchmark::State& state)
{
    FullMonth& m = GenerationThreeMonth();
    const TReportRequest request = Report();
    for (auto _ : state) {
        QBuffer pdf;
        pdf.open(QIODevice::WriteOnly);
        QPdfWriter writer(&pdf);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(10, 10, 10, 10),
                                         QPageLayout::Millimeter));
        TPrintJob job(writer);
        const TMonthSummary summary = SummarizeMonth(*m.View, request.Limit);
        DrawSummaryPage(job.NextPage(), QRect(0, 0, job.Width(), job.Height()), job.Resolution(), *m.View, summary,
                        request.Titles);
        if (job.Play(writer) != TPrintResult::Printed)
            state.SkipWithError("the page was not written");
        benchmark::DoNotOptimize(pdf.data().size());
    }
}
BENCHMARK(BM_SummaryPage)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
