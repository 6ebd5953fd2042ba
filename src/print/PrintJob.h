#pragma once
// One print job of the measurement outputs and the report. Drawing a month
// takes its time, and the user must be able to stop it with nothing
// printed, but Qt's PDF and CUPS engines cannot take a started job back. So
// the pages are first drawn into recorded pages (the long part, which shows
// its progress and may be stopped), and only then played onto the printer or
// the PDF file in one go.
#include <QPainter>
#include <QPicture>

#include <functional>
#include <vector>

class QPagedPaintDevice;

// How a print ended, for the window's beep and message.
enum class TPrintResult {
    Printed, // every page went out (or the PDF file was written)
    Stopped, // stopped by the user: nothing went out
    Nothing, // nothing to print: no lines, or a layout without room for a strip
    Failed,  // the printer or the file could not take the job
};

class TPrintJob {
public:
    // target: the printer or PDF file the pages are meant for; its size and
    // resolution are the pages' (fonts are sized for it, see PrintFont).
    explicit TPrintJob(const QPaintDevice& target);
    ~TPrintJob();
    TPrintJob(const TPrintJob&) = delete;
    TPrintJob& operator=(const TPrintJob&) = delete;

    // Ends the page being recorded and starts the next one: the painter is
    // valid until the next call or Play. Its font is the print font.
    QPainter& NextPage();
    int PageCount() const { return static_cast<int>(Pages.size()); }
    int Width() const { return PageWidth; }
    int Height() const { return PageHeight; }
    int Resolution() const { return Dpi; }

    // The job proper: the recorded pages go to device. pump runs between
    // pages so that a window keeps painting. Nothing when no page was
    // recorded; Failed when the device cannot take the job.
    TPrintResult Play(QPagedPaintDevice& device, const std::function<void()>& pump = {});

private:
    void EndPage();

    const int PageWidth;
    const int PageHeight;
    const int Dpi;
    std::vector<QPicture> Pages;
    QPainter Painter;
};
