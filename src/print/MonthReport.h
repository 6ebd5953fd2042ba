#pragma once
// The monthly report: one PDF an energy manager reads. Page 1 is the
// summary (SummaryPage), then the month's tables as the table print lays
// them out and the graphs as the graph print draws them (strips, four to a
// page), all from the archive view through the prints' own code.
#include "core/SafeFile.h"
#include "demand/Contract.h"
#include "print/PrintJob.h"
#include "print/SummaryPage.h"

#include <QString>

#include <cstdint>
#include <functional>

class TDispArch;

struct TReportRequest {
    TReportTitles Titles;
    uint16_t Limit = 0; // kW of channel 0; 0 when not known
    // ZMLUVA and the site's zone ("INE" TimeZone, empty: the system's): page
    // 1 shows the reserved capacity when a contract is configured.
    TContract Contract;
    QString TimeZone;
};

// The report's file name beside a text-file name: 2026NOV.TXT gives
// 2026NOV.pdf.
QString ReportFileName(const QString& textFileName);
// The job title of an output of a month: "November 2026 – Tlač tabuliek".
QString JobTitle(const QString& caption, const QString& output);

// Writes the report of view's month (which it may show channel by channel
// and leaves with every channel shown) to fileName: written beside it and
// renamed over it only once whole. progress(percent) answers false to stop
// (Stopped: no file is written); pump runs while the pages go out. Failed
// with error set when the file cannot be written, Nothing when the month
// holds no record.
TPrintResult WriteMonthReport(TDispArch& view, const TReportRequest& request, const QString& fileName,
                              const std::function<bool(int percent)>& progress, const std::function<void()>& pump,
                              TFileError& error);
