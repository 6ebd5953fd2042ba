#include "print/TextPrint.h"

#include "print/PrintLayout.h"

#include <QFontMetrics>
#include <QPagedPaintDevice>

#include <algorithm>

int PrintLineWidth(int width, int dpi)
{
    const QFontMetrics fm(PrintFont(dpi));
    return std::max(1, width / std::max(1, fm.horizontalAdvance(QLatin1Char('_'))) - 3);
}

bool RecordText(TPrintJob& job, const QStringList& lines, const std::function<bool(int percent)>& progress)
{
    const qsizetype n = lines.size();
    QPainter* p = nullptr;
    int y = 0;
    int spacing = 1;
    int ascent = 0;
    const QString indent(3, QLatin1Char(' '));
    for (qsizetype i = 0; i < n; ++i) {
        if (progress && !progress(static_cast<int>(i * 100 / n)))
            return false;
        if (!p || (y > 0 && y + spacing > job.Height())) {
            p = &job.NextPage();
            const QFontMetrics fm(p->font());
            spacing = std::max(1, fm.lineSpacing());
            ascent = fm.ascent();
            y = 0;
        }
        p->drawText(0, y + ascent, indent + lines.at(i));
        y += spacing;
    }
    return true;
}

TPrintResult PrintText(QPagedPaintDevice& device, const std::function<bool(QStringList& lines, uint16_t width)>& build,
                       const std::function<bool(int percent)>& progress, const std::function<void()>& pump)
{
    QStringList lines;
    build(lines, static_cast<uint16_t>(std::min(PrintLineWidth(device.width(), device.logicalDpiY()), 0xFFFF)));
    if (lines.isEmpty())
        return TPrintResult::Nothing;
    TPrintJob job(device);
    if (!RecordText(job, lines, progress))
        return TPrintResult::Stopped;
    return job.Play(device, pump);
}
