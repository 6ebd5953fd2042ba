#pragma once
// One print job of the measurement outputs. A job the user stops must leave
// nothing printed, but Qt's PDF and CUPS engines cannot take a started job
// back. So a job is only started once the caller's last chance to stop has
// passed: the caller keeps what it would draw until then and draws it all at
// once, the same way for a printer and for a PDF file.
#include <QPainter>

class QPrinter;

// How a print ended, for the window's beep and message.
enum class TPrintResult {
    Printed, // every page went out (or the PDF file was written)
    Stopped, // stopped by the user: nothing went out
    Nothing, // nothing to print: no lines, or a layout without room for a strip
    Failed,  // the printer or the file could not take the job
};

class TPrintJob {
public:
    explicit TPrintJob(QPrinter& printer);
    // A started job that was not finished is aborted.
    ~TPrintJob();
    TPrintJob(const TPrintJob&) = delete;
    TPrintJob& operator=(const TPrintJob&) = delete;

    // Begins the job and its first page; false when the printer or the file
    // cannot take it.
    bool Start();
    QPainter& Painter() { return FPainter; }
    bool NewPage();
    // Ends the job: the pages go out. False when it could not be completed.
    bool Finish();

private:
    QPrinter& FPrinter;
    QPainter FPainter;
};
