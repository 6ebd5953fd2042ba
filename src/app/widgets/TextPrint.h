#pragma once
// The month's tables printed as text: a stream of lines in the print font,
// top to bottom, that starts a new page when the next line does not fit.
#include "PrintOutput.h"

#include <QFont>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

class QPrinter;

class TPrinterText {
public:
    TPrinterText();
    ~TPrinterText();
    TPrinterText(const TPrinterText&) = delete;
    TPrinterText& operator=(const TPrinterText&) = delete;

    // Opens a job on printer; false when it cannot take one.
    bool Begin(QPrinter& printer);
    // Characters a line holds, less the three of the indent the caller puts
    // before every line; at least 1.
    int LineWidth() const;
    // false on a printer error: the lines written so far still form the job.
    bool WriteLine(const QString& line);
    // Ends the job: the lines are printed. False when that failed.
    bool Close();
    // Ends the job with nothing printed.
    void Abort();

private:
    bool Put(const QString& line);

    std::unique_ptr<TPrintJob> FJob;
    QPrinter* FPrinter = nullptr;
    QFont FFont;
    int FWidth = 0;
    int FHeight = 0;
    int FCharWidth = 1;
    int FLineSpacing = 1;
    int FAscent = 0;
    int FY = 0;
    // Lines kept for a printer that cannot take a job back.
    QStringList FHeld;
};

// The whole text print: build fills lines for a line width (and answers
// false when it gave up), every line goes out after three blanks, and
// progress(percent) before each line answers false to stop. An error while
// writing ends the lines; what was written is printed.
TPrintResult PrintText(QPrinter& printer, const std::function<bool(QStringList& lines, uint16_t width)>& build,
                       const std::function<bool(int percent)>& progress);
