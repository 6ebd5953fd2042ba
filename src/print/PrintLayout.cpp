#include "print/PrintLayout.h"

#include "regulator/DispArch.h"

#include <QFontMetrics>
#include <QPaintDevice>

#include <algorithm>

QFont PrintFont(int dpi)
{
    QFont font(QStringLiteral("Courier New"));
    // Ten points.
    font.setPixelSize(std::max(1, (10 * std::max(dpi, 1) + 36) / 72));
    // Where the family is missing the substitute must still be monospaced:
    // the text print packs table columns by character count.
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

void ComputePrintLayout(const QPaintDevice& device, TDispArch& view, bool dense, TPrintLayout& layout)
{
    const int width = device.width();
    const int height = device.height();
    const QFontMetrics fm(PrintFont(device.logicalDpiY()));
    const int w = fm.horizontalAdvance(QStringLiteral("0000000"));
    const int h = fm.height();
    const auto u16 = [](int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 0xFFFF)); };
    layout.PrintPageWidth = width;
    layout.PrintPageHeight = height;
    layout.PrintMarginOuter = u16(width / 20);
    layout.PrintMarginInner = u16(width / 100);
    layout.ScaleWidth = u16(w);
    layout.TitleHeight = u16(2 * h);
    // A page too narrow for the scale gets no strip rather than one that
    // wraps round to a huge width.
    uint32_t strip = u16(int64_t(width) - 2 * layout.PrintMarginOuter - 3 * layout.PrintMarginInner - w);
    layout.StripHeight = u16((int64_t(height) - 2 * layout.PrintMarginOuter) / 4);
    layout.PrintMode = dense ? 3 : 4;
    layout.StripCount = 0;
    view.FitPrintWidth(strip);
    layout.StripWidth = u16(strip);
    layout.GraphPixels = view.GraphWidth(layout.PrintMode);
}

bool CountStrips(TPrintLayout& layout, int graphs)
{
    layout.StripCount = 0;
    if (layout.StripWidth == 0 || layout.StripWidth < 2 * layout.ScaleWidth)
        return false;
    const uint32_t perGraph = (layout.GraphPixels + layout.StripWidth - 1) / layout.StripWidth;
    layout.StripCount = static_cast<uint8_t>(perGraph * static_cast<uint32_t>(std::max(graphs, 0)));
    return true;
}

bool PageSizeChanged(const QPaintDevice& device, const TPrintLayout& layout)
{
    return device.width() != layout.PrintPageWidth || device.height() != layout.PrintPageHeight;
}
