#include "demand/FolderDemand.h"

#include "files/FileMem.h"
#include "output/RecordClock.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "regulator/SiteMeasurement.h"

#include <QFileInfo>

#include <cstdlib>

namespace {
// The sum of channels in record i; -1 when one has no value (or none is
// named).
int32_t ChannelSum(const TDispArch& view, uint16_t i, const std::vector<uint8_t>& channels)
{
    int32_t sum = channels.empty() ? -1 : 0;
    for (const uint8_t c : channels) {
        const uint16_t v = view.ChannelValue(i, c);
        if (v == TDispArch::NoValue)
            return -1;
        sum += v;
    }
    return sum;
}
} // namespace

TMonthIntervals ViewIntervals(const TDispArch& view, const QTimeZone& zone, const TContract& contract, int* invalid)
{
    TMonthIntervals month;
    month.Month = view.Month();
    month.IntervalMinutes = view.IntervalMinutes;
    month.Expected = MonthIntervalCount(month.Month, month.IntervalMinutes, zone);
    const std::vector<TTimedRecord> records = TimedRecords(view, zone, invalid);
    month.Intervals.reserve(records.size());
    for (const TTimedRecord& r : records)
        month.Intervals.push_back({r.Utc, r.Offset, SitePower(view, r.Index), ChannelSum(view, r.Index, contract.Inductive),
                                   ChannelSum(view, r.Index, contract.Capacitive)});
    return month;
}

TFolderFigures::TFolderFigures(TArchiveQDR* archive, uint8_t intervalMinutes, const QTimeZone& zone,
                               const TContract& contract)
    : Archive(archive)
    , IntervalMinutes(intervalMinutes)
    , Zone(zone)
    , Contract(contract)
{
}

void TFolderFigures::Put(const TMonthFigures& figures)
{
    FKnown[figures.Month] = figures;
    Tried.insert(figures.Month);
}

const TMonthFigures* TFolderFigures::Get(uint16_t month)
{
    if (const auto it = FKnown.find(month); it != FKnown.end())
        return &it->second;
    if (!Archive || !Problem.isEmpty() || !Tried.insert(month).second)
        return nullptr;
    const QString name = Archive->FullName(Archive->MonthFileName(month));
    // Only a file that is there: opening a name through the archive would
    // otherwise make an empty month of it.
    if (name.isEmpty() || !QFileInfo(name).isFile())
        return nullptr;
    TDispArch view(Archive, IntervalMinutes);
    if (!view.Open(name) || view.Month() != month)
        return nullptr;
    const TFileMem::TLoad load = view.File()->LoadResult();
    if (load == TFileMem::TLoad::Rejected || load == TFileMem::TLoad::Refused)
        return nullptr;
    TMonthFigures figures;
    if (!MonthFigures(ViewIntervals(view, Zone, Contract), Contract, figures, Problem))
        return nullptr;
    return &(FKnown[month] = figures);
}

void TFolderFigures::Load(uint16_t from, uint16_t to)
{
    for (uint32_t m = from; m <= to; ++m)
        Get(static_cast<uint16_t>(m));
}

bool TCapacityReport::RecommendationDiffers() const
{
    if (!Recommendation)
        return false;
    const int64_t current = Recommendation->CurrentCentiKw;
    return std::llabs(Recommendation->CapacityKw * 100 - current) * 20 > current;
}

namespace {
// The usable contract and zone, or why not.
QString Unusable(const TContract& contract, const QTimeZone& zone)
{
    if (!contract.Configured)
        return QStringLiteral("Zmluva nie je nastavená (sekcia ZMLUVA v qdrwin.ini) !");
    if (!contract.Problem.isEmpty())
        return contract.Problem;
    if (!zone.isValid())
        return QStringLiteral("Neznáme časové pásmo v nastavení INE TimeZone !");
    return QString();
}

// The earliest month the figures of month need besides its own.
uint16_t HistoryStart(uint16_t month, const TContract& contract)
{
    const int back = contract.Model == TDemandModel::Rolling ? 11 : 0;
    return static_cast<uint16_t>(std::max(0, int(month) - back));
}
} // namespace

bool ShownMonthBill(const TDispArch& view, const TContract& contract, const QTimeZone& zone, TFolderFigures& figures,
                    TMonthDemand& bill, QString& problem)
{
    problem = Unusable(contract, zone);
    if (!problem.isEmpty())
        return false;
    TMonthFigures shown;
    if (!MonthFigures(ViewIntervals(view, zone, contract), contract, shown, problem))
        return false;
    figures.Put(shown);
    if (shown.Month > 0)
        figures.Load(HistoryStart(shown.Month, contract), static_cast<uint16_t>(shown.Month - 1));
    if (!figures.Problem.isEmpty()) {
        problem = figures.Problem;
        return false;
    }
    return BillMonth(shown, figures.Known(), contract, bill, problem);
}

TCapacityReport CapacityReport(const TDispArch& view, const TContract& contract, const QTimeZone& zone)
{
    TCapacityReport report;
    report.Contract = contract;
    TFolderFigures figures(view.Archive, view.IntervalMinutes, zone, contract);
    if (!ShownMonthBill(view, contract, zone, figures, report.Month, report.Problem))
        return report;
    const uint16_t month = report.Month.Month;
    // The year so far and the twelve months the recommendation weighs,
    // with what their own figures need before them.
    const uint16_t january = static_cast<uint16_t>(month - month % 12);
    const uint16_t yearAgo = static_cast<uint16_t>(std::max(0, int(month) - 11));
    const uint16_t first = std::min(january, yearAgo);
    figures.Load(HistoryStart(first, contract), month);
    if (!figures.Problem.isEmpty()) {
        report.Problem = figures.Problem;
        return report;
    }
    std::vector<TMonthDemand> twelve;
    for (uint32_t m = first; m <= month; ++m) {
        const TMonthFigures* f = figures.Get(static_cast<uint16_t>(m));
        TMonthDemand bill;
        QString ignored;
        // A month before the contract's first capacity is no month of it.
        if (!f || !BillMonth(*f, figures.Known(), contract, bill, ignored))
            continue;
        if (m >= january)
            report.Year.push_back(bill);
        if (m >= yearAgo)
            twelve.push_back(bill);
    }
    TRecommendation recommendation;
    QString ignored;
    if (Recommend(twelve, contract, recommendation, ignored))
        report.Recommendation = recommendation;
    return report;
}
