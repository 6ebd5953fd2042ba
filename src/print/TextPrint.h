#pragma once
// The month's tables printed as text: lines in the print font, top to
// bottom, a new page when the next line does not fit.
#include "print/PrintJob.h"

#include <QStringList>

#include <cstdint>
#include <functional>

class QPagedPaintDevice;

// Characters a printed line of a page width pixels wide at dpi holds, less
// the three of the indent put before every line; at least 1.
int PrintLineWidth(int width, int dpi);

// Records lines on new pages of job, every line after three blanks;
// progress(percent of the lines) before each line answers false to stop
// (false is returned then).
bool RecordText(TPrintJob& job, const QStringList& lines, const std::function<bool(int percent)>& progress);

// The whole text print on device: build fills lines for the line width (and
// answers false when it gave up), the pages are recorded with progress
// (which answers false to stop: nothing is printed then) and played onto
// device; pump keeps the caller answering while they are.
TPrintResult PrintText(QPagedPaintDevice& device, const std::function<bool(QStringList& lines, uint16_t width)>& build,
                       const std::function<bool(int percent)>& progress, const std::function<void()>& pump = {});
