// The monthly report of a full generation-3 month (31 days of 15-minute
// intervals, 2976 records of 13 channels): the whole PDF, and the summary
// page alone (worked out, drawn and written as a one-page PDF). Runs
// offscreen with a QGuiApplication, as qdrtool does.
#include "core/LittleEndian.h"
#include "core/TextFunctions.h"
#include "print/MonthReport.h"
#include "print/MonthSummary.h"
#include "print/PrintJob.h"
#include "print/SummaryPage.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "regulator/FileArchQDR.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPdfWriter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {
constexpr uint16_t kChannels = 13;
constexpr uint16_t kRecordSize = 2 + 2 * kChannels;
constexpr uint16_t kRecords = 31 * 96;
constexpr uint16_t kMonth = 2026 * 12 + 11;

struct GenerationThreeMonth {
    QTemporaryDir Dir;
    QString Name;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;
    TReportRequest Request;

    GenerationThreeMonth()
    {
        Name = Dir.filePath(MonthFileName(kMonth, QStringLiteral("qdr")));
        {
            TFileArchQDR file(kRecordSize, TArchiveQDR::FileCapacity);
            file.LoadMonth(Name, kMonth);
            std::vector<uint8_t> record(kRecordSize);
            for (uint16_t i = 0; i < kRecords; ++i) {
                PutWord(record.data(), static_cast<uint16_t>((1 + i / 96) * 1440 + (i % 96) * 15));
                for (uint16_t c = 0; c < kChannels; ++c)
                    PutWord(record.data() + 2 + 2 * c,
                            (i + c) % 97 == 0 ? 0xFFFF : static_cast<uint16_t>((i * 7 + c * 131) % 500));
                file.Put(record.data(), kRecordSize, i);
            }
            file.Save();
        }
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        View = std::make_unique<TDispArch>(Archive.get(), 15);
        View->Open(Name);
        Request.Titles.Caption = MonthYearText(kMonth);
        Request.Titles.Site = QStringLiteral("Závod Sever");
        for (int c = 0; c < kChannels; ++c)
            Request.Titles.Labels << QStringLiteral("%1: Meranie %1").arg(c, 2, 10, QLatin1Char('0'));
        Request.Limit = 450;
    }
};

GenerationThreeMonth& Month()
{
    static GenerationThreeMonth m;
    return m;
}

void BM_MonthReport(benchmark::State& state)
{
    GenerationThreeMonth& m = Month();
    if (m.View->RecordCount != kRecords)
        state.SkipWithError("the month did not load whole");
    const QString out = m.Dir.filePath(QStringLiteral("report.pdf"));
    for (auto _ : state) {
        QString error;
        if (WriteMonthReport(*m.View, m.Request, out, {}, {}, error) != TPrintResult::Printed)
            state.SkipWithError("the report was not written");
    }
}
BENCHMARK(BM_MonthReport)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SummaryPage(benchmark::State& state)
{
    GenerationThreeMonth& m = Month();
    for (auto _ : state) {
        QBuffer pdf;
        pdf.open(QIODevice::WriteOnly);
        QPdfWriter writer(&pdf);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(10, 10, 10, 10),
                                         QPageLayout::Millimeter));
        TPrintJob job(writer);
        const TMonthSummary summary = SummarizeMonth(*m.View, m.Request.Limit);
        DrawSummaryPage(job.NextPage(), QRect(0, 0, job.Width(), job.Height()), job.Resolution(), *m.View, summary,
                        m.Request.Titles);
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
    QGuiApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
