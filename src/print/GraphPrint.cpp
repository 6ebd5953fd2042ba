#include "print/GraphPrint.h"

#include "print/ArchGraph.h"
#include "print/PrintLayout.h"
#include "regulator/DispArch.h"

#include <QFontMetrics>
#include <QPagedPaintDevice>

#include <algorithm>

#include <vector>

namespace {
// One strip: graph g from graph position x, at position s on its page.
struct TStrip {
    int Graph = 0;
    int Offset = 0;
    int Slot = 0;
};

// Corner rectangles: (x1, y1) inclusive, (x2, y2) exclusive.
QRect Corners(int x1, int y1, int x2, int y2)
{
    return QRect(QPoint(x1, y1), QPoint(x2 - 1, y2 - 1));
}

void DrawStrip(QPainter& p, const TDispArch& view, const TPrintLayout& l, const TGraphPrintChoice& choice,
               const TStrip& strip)
{
    const int o = l.PrintMarginOuter;
    const int i = l.PrintMarginInner;
    const int right = l.PrintPageWidth - o;
    const int top = strip.Slot * l.StripHeight + o;
    // The plot leaves room below it for the tick row and the day labels,
    // three lines of text, so a date is not cut at the strip's frame.
    const int avail = l.StripHeight - l.TitleHeight - 2 * i;
    const int th = QFontMetrics(p.font()).height();
    const int plot = std::max(1, std::min(avail * 4 / 5, avail - 3 * th - th / 4));
    p.setPen(Qt::black);
    p.setBrush(Qt::NoBrush);
    // A stroked QRect covers one pixel more than its size on each axis.
    const auto frame = [&p](const QRect& r) { p.drawRect(r.adjusted(0, 0, -1, -1)); };
    frame(Corners(o, top, right, top + l.StripHeight - i));
    const int scaleLeft = o + i;
    DrawScale(p, view, Corners(scaleLeft, top + l.TitleHeight, scaleLeft + l.ScaleWidth, top + l.StripHeight - 2 * i),
              false, plot);
    const int graphLeft = scaleLeft + l.ScaleWidth + i;
    DrawGraph(p, view, Corners(graphLeft, top + l.TitleHeight, graphLeft + l.StripWidth, top + l.StripHeight - 2 * i),
              strip.Graph, plot, strip.Offset, l.PrintMode);

    const QRect band = Corners(o, top, right, top + l.TitleHeight - i);
    p.setPen(Qt::black);
    p.setBrush(Qt::NoBrush);
    p.drawText(band.adjusted(i, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, choice.Caption);
    if (strip.Graph < view.SelectedCount) {
        QRect half = band;
        half.setLeft(band.left() + band.width() / 2);
        half.setRight(band.right() - i);
        p.drawText(half, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                   choice.Label(view.SelectedChannel(static_cast<uint8_t>(strip.Graph))));
    }
    frame(band);
}
} // namespace

bool GraphsFit(const TDispArch& view, const TPrintLayout& layout, const TGraphPrintChoice& choice)
{
    const int graphs = choice.Common ? 1 : view.SelectedCount;
    return graphs > 0 && layout.StripWidth > 0 && layout.StripWidth >= 2 * layout.ScaleWidth &&
           layout.GraphPixels > 0 && layout.StripHeight > layout.TitleHeight + 2 * layout.PrintMarginInner;
}

bool RecordGraphs(TPrintJob& job, const TDispArch& view, const TPrintLayout& layoutNow,
                  const TGraphPrintChoice& choiceNow, const std::function<bool(int percent)>& progress)
{
    // The window may lay out its sheet again while progress lets events in;
    // the job keeps the layout and the titles it started with.
    const TPrintLayout layout = layoutNow;
    const TGraphPrintChoice choice = choiceNow;
    if (!GraphsFit(view, layout, choice))
        return true;
    const int graphs = choice.Common ? 1 : view.SelectedCount;
    QPainter* page = nullptr;
    int slot = 4;
    // A graph number past every shown measurement draws all their curves.
    int g = choice.Common ? 255 : 0;
    for (int c = 0; c < graphs; ++c, ++g) {
        if (progress && !progress(c * 100 / graphs))
            return false;
        for (uint32_t x = 0; x < layout.GraphPixels; x += layout.StripWidth) {
            if (slot == 4) {
                page = &job.NextPage();
                slot = 0;
            }
            DrawStrip(*page, view, layout, choice, TStrip{g, static_cast<int>(x), slot});
            ++slot;
        }
    }
    return true;
}

TPrintResult PrintGraphs(QPagedPaintDevice& device, const TDispArch& view, const TPrintLayout& layout,
                         const TGraphPrintChoice& choice, const std::function<bool(int percent)>& progress,
                         const std::function<void()>& pump)
{
    if (!GraphsFit(view, layout, choice))
        return TPrintResult::Nothing;
    TPrintJob job(device);
    if (!RecordGraphs(job, view, layout, choice, progress))
        return TPrintResult::Stopped;
    return job.Play(device, pump);
}
