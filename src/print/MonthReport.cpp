#include "print/MonthReport.h"

#include "core/SafeFile.h"
#include "output/ArchText.h"
#include "output/RecordClock.h"
#include "print/GraphPrint.h"
#include "print/MonthSummary.h"
#include "print/PrintLayout.h"
#include "print/TextPrint.h"
#include "regulator/DispArch.h"

#include <QBuffer>
#include <QPageLayout>
#include <QPdfWriter>

#include <algorithm>

QString ReportFileName(const QString& textFileName)
{
    // The folder is kept as written; only the extension changes.
    const qsizetype slash = textFileName.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = textFileName.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > slash + 1 ? textFileName.left(dot) : textFileName;
    return base + QStringLiteral(".pdf");
}

QString JobTitle(const QString& caption, const QString& output)
{
    return caption.isEmpty() ? output : caption + QStringLiteral(" – ") + output;
}

namespace {
// Shows exactly the channels first .. first + count - 1.
void ShowChannels(TDispArch& view, int first, int count)
{
    for (uint8_t c = 0; c < TDispArch::MaxChannels; ++c)
        view.SetChannelColor(c, c >= first && c < first + count ? static_cast<uint8_t>(c + 1) : 0);
}

// The channels in groups of at most perGroup, as even as they come.
std::vector<std::pair<int, int>> Groups(int channels, int perGroup)
{
    std::vector<std::pair<int, int>> groups;
    if (channels <= 0)
        return groups;
    const int n = (channels + perGroup - 1) / perGroup;
    for (int g = 0, first = 0; g < n; ++g) {
        const int count = (channels - first + (n - g) - 1) / (n - g);
        groups.emplace_back(first, count);
        first += count;
    }
    return groups;
}
} // namespace

TPrintResult WriteMonthReport(TDispArch& view, const TReportRequest& request, const QString& fileName,
                              const std::function<bool(int percent)>& progress, const std::function<void()>& pump,
                              TFileError& error)
{
    if (view.RecordCount == 0 || view.Channels == 0)
        return TPrintResult::Nothing;
    // Refused before the month is drawn; ReplaceFile checks again when the
    // drawing is done.
    if (error = NotRegularRefusal(fileName); error.Failed())
        return TPrintResult::Failed;
    // Drawn into memory (a month's report is a few megabytes at most) and
    // written by the one safe path.
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    QPdfWriter writer(&file);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(10, 10, 10, 10),
                                     QPageLayout::Millimeter));
    writer.setTitle(JobTitle(request.Titles.Caption, QStringLiteral("Mesačný prehľad")));
    writer.setCreator(QStringLiteral("QDRWin"));

    TPrintJob job(writer);
    const int dpi = job.Resolution();
    // The view shows channel groups below; whatever it showed before, it
    // ends with every channel shown.
    ShowChannels(view, 0, view.Channels);
    // The graphs draw the limit as the regulated power of the high tariff.
    if (request.Limit > 0)
        view.SetRegulatedPower(0, request.Limit);
    TMonthSummary summary = SummarizeMonth(view, request.Limit);
    if (request.Contract.Configured)
        summary.Capacity = CapacityReport(view, request.Contract, ZoneByName(request.TimeZone));
    DrawSummaryPage(job.NextPage(), QRect(0, 0, job.Width(), job.Height()), dpi, view, summary, request.Titles);

    // The tables: as many channels side by side as a line holds, so no row
    // is cut; a group of channels after another.
    const int width = PrintLineWidth(job.Width(), dpi);
    TTableChoice choice;
    choice.Caption = request.Titles.Caption;
    choice.Labels = request.Titles.Labels;
    struct TPart {
        bool Powers;
        int First;
        int Count;
    };
    std::vector<TPart> parts;
    for (const auto& [first, count] : Groups(view.Channels, std::max(1, (width - 14) / 10)))
        parts.push_back({true, first, count});
    for (const auto& [first, count] : Groups(view.Channels, std::max(1, (width - 7) / 15)))
        parts.push_back({false, first, count});
    const int graphs = view.Channels;
    const int steps = static_cast<int>(parts.size()) + graphs;
    int done = 0;
    const auto stepProgress = [&](int percent) {
        return !progress || progress(std::min(99, (done * 100 + percent) / steps));
    };
    for (const TPart& part : parts) {
        ShowChannels(view, part.First, part.Count);
        choice.Powers = part.Powers;
        choice.Days = !part.Powers;
        QStringList lines;
        // A single channel wider than the line is cut rather than left out.
        BuildText(lines, view, choice, static_cast<uint16_t>(std::min(width, 0xFFFF)), [] { return true; });
        if (!RecordText(job, lines, stepProgress)) {
            ShowChannels(view, 0, view.Channels);
            return TPrintResult::Stopped;
        }
        ++done;
    }

    // The graphs, one a measurement, as the graph print lays them out.
    ShowChannels(view, 0, view.Channels);
    TPrintLayout layout;
    ComputePrintLayout(writer, view, false, layout);
    CountStrips(layout, graphs);
    TGraphPrintChoice graphChoice;
    graphChoice.Caption = request.Titles.Caption;
    graphChoice.Labels = request.Titles.Labels;
    const bool recorded = RecordGraphs(job, view, layout, graphChoice, [&](int percent) {
        return !progress || progress(std::min(99, (done * 100 + percent * graphs) / steps));
    });
    if (!recorded)
        return TPrintResult::Stopped;
    if (progress)
        progress(99);
    const TPrintResult result = job.Play(writer, pump);
    if (result != TPrintResult::Printed) {
        error = TFileError::Said(fileName, QStringLiteral("cannot draw the report"));
        return TPrintResult::Failed;
    }
    if (error = ReplaceFileWith(fileName, file.data()); error.Failed())
        return TPrintResult::Failed;
    return result;
}
