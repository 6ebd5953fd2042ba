#pragma once
// The figures of the graph print, taken from the printer page and the print
// font: margins, the width of the value scale, the strips (four to a page)
// and how many of them the shown graphs take. The window recomputes them
// whenever the page, the month or the choice of graphs may have changed.
#include <QFont>

#include <cstdint>

class QPaintDevice;
class TDispArch;

struct TPrintLayout {
    int32_t PrintPageWidth = 0; // printable area in printer pixels
    int32_t PrintPageHeight = 0;
    uint16_t PrintMarginOuter = 0;
    uint16_t PrintMarginInner = 0;
    uint16_t ScaleWidth = 0;  // seven digits in the print font
    uint16_t StripWidth = 0;  // a multiple of 128
    uint16_t StripHeight = 0;
    uint16_t TitleHeight = 0;
    uint32_t GraphPixels = 0; // one graph of the month at PrintMode
    uint8_t PrintMode = 4;    // 3: the month in one strip, 4: four times wider
    uint8_t StripCount = 0;
};

// The font of the prints, sized in pixels for a device of dpi dots per inch,
// so that a page recorded ahead (see TPrintJob) measures and plays its text
// at the size the printer or the PDF file gives it.
QFont PrintFont(int dpi);

// The page of device (a printer or a PDF file), the font figures and the
// print zoom of view (which it fixes); StripCount is left 0 for CountStrips.
void ComputePrintLayout(const QPaintDevice& device, TDispArch& view, bool dense, TPrintLayout& layout);
// StripCount for graphs graphs; false (StripCount 0) when a strip would be
// narrower than twice the scale, which leaves no graph to print.
bool CountStrips(TPrintLayout& layout, int graphs);
// The device's page is no longer the one the layout was made for.
bool PageSizeChanged(const QPaintDevice& device, const TPrintLayout& layout);
inline int Pages(const TPrintLayout& layout) { return (layout.StripCount + 3) / 4; }
