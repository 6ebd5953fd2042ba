#pragma once
// The month's tables printed as text: lines in the print font, top to
// bottom, a new page when the next line does not fit.
#include "PrintOutput.h"

#include <QStringList>

#include <cstdint>
#include <functional>

class QPrinter;

// Characters a printed line of printer holds, less the three of the indent
// put before every line; at least 1.
int PrintLineWidth(QPrinter& printer);

// The whole text print: build fills lines for the line width (and answers
// false when it gave up), every line goes out after three blanks, and
// progress(percent) before each line answers false to stop. An error while
// drawing a line ends the lines; what was drawn is printed.
TPrintResult PrintText(QPrinter& printer, const std::function<bool(QStringList& lines, uint16_t width)>& build,
                       const std::function<bool(int percent)>& progress);
