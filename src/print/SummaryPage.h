#pragma once
// The first page of the monthly report: the month and the site, a line per
// channel (energy, peak and its time, mean, records without a value), the
// ten highest intervals of channel 0, the intervals above the limit and the
// daily energy of channel 0 as bars with the highest day marked.
#include <QString>
#include <QStringList>

#include <cstdint>

class QPainter;
class QRect;
struct TMonthSummary;
class TDispArch;

// The names the report prints.
struct TReportTitles {
    QString Caption;    // the month as the archive page names it ("November 2026")
    QString Site;       // the configured site name; empty when none
    QStringList Labels; // measurement labels by channel number

    QString Label(uint8_t channel) const;
};

// Draws the page of summary (of view's month) into page, a page of a
// device of dpi dots per inch, with painter's font as the base font.
void DrawSummaryPage(QPainter& painter, const QRect& page, int dpi, const TDispArch& view,
                     const TMonthSummary& summary, const TReportTitles& titles);
