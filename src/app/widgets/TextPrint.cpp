#include "TextPrint.h"

#include "PrintLayout.h"

#include <QFontMetrics>
#include <QPrinter>

#include <algorithm>

int PrintLineWidth(QPrinter& printer)
{
    const QFontMetrics fm(PrintFont(), &printer);
    return std::max(1, printer.width() / std::max(1, fm.horizontalAdvance(QLatin1Char('_'))) - 3);
}

TPrintResult PrintText(QPrinter& printer, const std::function<bool(QStringList& lines, uint16_t width)>& build,
                       const std::function<bool(int percent)>& progress)
{
    QStringList lines;
    build(lines, static_cast<uint16_t>(std::min(PrintLineWidth(printer), 0xFFFF)));
    const qsizetype n = lines.size();
    if (n == 0)
        return TPrintResult::Nothing;
    for (qsizetype i = 0; i < n; ++i)
        if (!progress(static_cast<int>(i * 100 / n)))
            return TPrintResult::Stopped;

    TPrintJob job(printer);
    if (!job.Start())
        return TPrintResult::Failed;
    QPainter& p = job.Painter();
    p.setFont(PrintFont());
    const QFontMetrics fm(p.font(), &printer);
    const int spacing = std::max(1, fm.lineSpacing());
    const QString indent(3, QLatin1Char(' '));
    int y = 0;
    for (const QString& line : std::as_const(lines)) {
        if (y > 0 && y + spacing > printer.height()) {
            if (!job.NewPage())
                break;
            y = 0;
        }
        p.drawText(0, y + fm.ascent(), indent + line);
        y += spacing;
    }
    return job.Finish() ? TPrintResult::Printed : TPrintResult::Failed;
}
