#pragma once
// One print job of the measurement outputs. A job the user stops must leave
// nothing printed, but not every print engine can abort (Qt's PDF and CUPS
// engines cannot). So a job written to a PDF file goes to a temporary file
// beside it, which takes the file's name only when the job ends; and a job
// for a printer is only started once the caller's last chance to stop has
// passed, the caller keeping what it would draw until then.
#include <QPainter>
#include <QString>

class QPrinter;

// How a print ended, for the window's beep and message.
enum class TPrintResult {
    Printed, // every page went out (or the PDF file was written)
    Stopped, // stopped by the user: nothing went out
    Nothing, // nothing to print: no lines, or a layout without room for a strip
    Failed,  // the printer or the file could not take the job
};

// At least one printer is installed.
bool PrinterInstalled();

class TPrintJob {
public:
    explicit TPrintJob(QPrinter& printer);
    // Abandons a job neither finished nor aborted: nothing goes out.
    ~TPrintJob();
    TPrintJob(const TPrintJob&) = delete;
    TPrintJob& operator=(const TPrintJob&) = delete;

    // Readies the job; false when the printer cannot take one (for a PDF
    // file: its folder takes no file).
    bool Prepare();
    // Pages drawn now can still be taken back by Abort. When false the
    // caller keeps what it would draw and draws it all after its last
    // chance to stop.
    bool Retractable() const { return !FTemp.isEmpty(); }
    // Begins drawing (once; later calls answer whether it is drawing).
    bool Start();
    bool Active() const { return FPainter.isActive(); }
    QPainter& Painter() { return FPainter; }
    bool NewPage();
    // Ends the job: the pages go out, the PDF file takes its name (an
    // earlier file of that name is replaced only now). False when the job
    // could not be completed; nothing is left behind then.
    bool Finish();
    // Ends the job with nothing printed; an earlier PDF file stays as it was.
    void Abort();

private:
    void RestoreName();

    QPrinter& FPrinter;
    QPainter FPainter;
    QString FTarget;
    QString FTemp;
    bool FDone = false;
};
