#include "print/PrintJob.h"

#include "print/PrintLayout.h"

#include <QPagedPaintDevice>

TPrintJob::TPrintJob(const QPaintDevice& target)
    : PageWidth(target.width())
    , PageHeight(target.height())
    , Dpi(target.logicalDpiY())
{
}

TPrintJob::~TPrintJob() { EndPage(); }

void TPrintJob::EndPage()
{
    if (Painter.isActive())
        Painter.end();
}

QPainter& TPrintJob::NextPage()
{
    EndPage();
    Pages.emplace_back();
    Painter.begin(&Pages.back());
    Painter.setFont(PrintFont(Dpi));
    Painter.setPen(Qt::black);
    Painter.setBrush(Qt::NoBrush);
    // Nothing drawn outside the page is kept.
    Painter.setClipRect(0, 0, PageWidth, PageHeight);
    return Painter;
}

TPrintResult TPrintJob::Play(QPagedPaintDevice& device, const std::function<void()>& pump)
{
    EndPage();
    if (Pages.empty())
        return TPrintResult::Nothing;
    QPainter p;
    if (!p.begin(&device))
        return TPrintResult::Failed;
    bool ok = true;
    for (size_t i = 0; i < Pages.size() && ok; ++i) {
        if (i > 0)
            ok = device.newPage();
        if (ok) {
            // A picture plays scaled from its own resolution to the device's;
            // the pages are drawn in the device's pixels already.
            p.save();
            p.scale(qreal(Pages[i].logicalDpiX()) / device.logicalDpiX(),
                    qreal(Pages[i].logicalDpiY()) / device.logicalDpiY());
            p.drawPicture(0, 0, Pages[i]);
            p.restore();
        }
        if (pump)
            pump();
    }
    // Whatever was played goes out: the engines cannot drop it.
    return p.end() && ok ? TPrintResult::Printed : TPrintResult::Failed;
}
