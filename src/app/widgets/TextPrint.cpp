#include "TextPrint.h"

#include "PrintLayout.h"

#include <QFontMetrics>
#include <QPrinter>

#include <algorithm>

TPrinterText::TPrinterText() = default;
TPrinterText::~TPrinterText() = default;

bool TPrinterText::Begin(QPrinter& printer)
{
    FJob = std::make_unique<TPrintJob>(printer);
    if (!FJob->Prepare() || (FJob->Retractable() && !FJob->Start())) {
        FJob.reset();
        return false;
    }
    FPrinter = &printer;
    FFont = PrintFont();
    const QFontMetrics fm(FFont, &printer);
    FWidth = printer.width();
    FHeight = printer.height();
    FCharWidth = std::max(1, fm.horizontalAdvance(QLatin1Char('_')));
    FLineSpacing = std::max(1, fm.lineSpacing());
    FAscent = fm.ascent();
    FY = 0;
    FHeld.clear();
    if (FJob->Active())
        FJob->Painter().setFont(FFont);
    return true;
}

int TPrinterText::LineWidth() const
{
    return std::max(1, FWidth / FCharWidth - 3);
}

bool TPrinterText::Put(const QString& line)
{
    if (FY > 0 && FY + FLineSpacing > FHeight) {
        if (!FJob->NewPage())
            return false;
        FY = 0;
    }
    QPainter& p = FJob->Painter();
    p.drawText(0, FY + FAscent, line);
    FY += FLineSpacing;
    return true;
}

bool TPrinterText::WriteLine(const QString& line)
{
    if (!FJob)
        return false;
    if (!FJob->Retractable()) {
        FHeld.append(line);
        return true;
    }
    return FJob->Active() && Put(line);
}

bool TPrinterText::Close()
{
    if (!FJob)
        return false;
    bool ok = true;
    if (!FJob->Retractable()) {
        // Only now is the job known to be whole.
        ok = FJob->Start();
        if (ok) {
            FJob->Painter().setFont(FFont);
            for (const QString& line : std::as_const(FHeld))
                if (!Put(line))
                    break;
        }
        FHeld.clear();
    }
    ok = FJob->Finish() && ok;
    FJob.reset();
    return ok;
}

void TPrinterText::Abort()
{
    if (FJob)
        FJob->Abort();
    FJob.reset();
    FHeld.clear();
}

TPrintResult PrintText(QPrinter& printer, const std::function<bool(QStringList& lines, uint16_t width)>& build,
                       const std::function<bool(int percent)>& progress)
{
    TPrinterText text;
    if (!text.Begin(printer))
        return TPrintResult::Failed;
    QStringList lines;
    build(lines, static_cast<uint16_t>(std::min(text.LineWidth(), 0xFFFF)));
    const qsizetype n = lines.size();
    if (n == 0) {
        text.Abort();
        return TPrintResult::Nothing;
    }
    const QString indent(3, QLatin1Char(' '));
    for (qsizetype i = 0; i < n; ++i) {
        if (!progress(static_cast<int>(i * 100 / n))) {
            text.Abort();
            return TPrintResult::Stopped;
        }
        if (!text.WriteLine(indent + lines.at(i)))
            break;
    }
    return text.Close() ? TPrintResult::Printed : TPrintResult::Failed;
}
