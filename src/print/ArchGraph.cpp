#include "print/ArchGraph.h"

#include "core/TextFunctions.h"
#include "regulator/DispArch.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace {
// The screen's plot area and grid lines.
const QColor Grey(0x80, 0x80, 0x80);
const QColor Silver(0xC0, 0xC0, 0xC0);

// The vertical geometry both boxes share, from the extent of "0".
struct TPlot {
    int Top = 0;
    int Height = 0;     // plot height
    int TextHeight = 0;
    int TextWidth = 0;
    int Bottom = 0;     // y of value 0
    int64_t Factor = 0; // y per value, times 65536

    TPlot(const QPainter& painter, int top, int height, uint16_t fullScale)
        : Top(top)
        , Height(height)
    {
        const QFontMetrics fm(painter.font());
        TextHeight = fm.height();
        TextWidth = fm.horizontalAdvance(QLatin1Char('0'));
        Bottom = top + height - TextHeight / 4;
        Factor = int64_t(height - TextHeight / 4) * 60000 / std::max<int>(fullScale, 10);
    }
    int Y(int64_t value) const { return Bottom - static_cast<int>(Factor * value / 65536); }
};

// A dot every four pixels. On paper a pixel is a fraction of a dot the eye
// (or a PDF viewer) can see, so there the dots are scaled with the text:
// squares of a twelfth of the text height, one every four of them.
void DottedLine(QPainter& painter, int left, int right, int y, int textHeight, bool screen)
{
    if (screen) {
        for (int x = (left + 3) / 4 * 4; x < right; x += 4)
            painter.drawPoint(x, y);
        return;
    }
    const int dot = std::max(1, textHeight / 12);
    const int pitch = 4 * dot;
    for (int x = (left + pitch - 1) / pitch * pitch; x < right; x += pitch)
        painter.fillRect(x, y - dot / 2, std::min(dot, right - x), dot, painter.pen().color());
}
} // namespace

void DrawGraph(QPainter& painter, const TDispArch& view, QRect rect, int graph, int plotHeight, int offset,
               uint8_t mode)
{
    if (painter.hasClipping()) {
        const QRect clip = painter.clipBoundingRect().toAlignedRect();
        if (clip.left() > rect.left()) {
            offset += clip.left() - rect.left();
            rect.setLeft(clip.left());
        }
        if (clip.right() < rect.right())
            rect.setRight(clip.right());
    }
    if (rect.isEmpty())
        return;
    const bool screen = mode < 3;
    const int left = rect.left();
    const int right = rect.left() + rect.width(); // exclusive
    const int top = rect.top();
    const int h = std::clamp(plotHeight, 0, rect.height());
    const TPlot plot(painter, top, h, view.FullScale);
    const int th = plot.TextHeight;
    const int tw = plot.TextWidth;
    const QColor lines = screen ? Silver : QColor(Qt::black);

    painter.save();
    painter.setBrush(Qt::NoBrush);
    if (screen) {
        painter.fillRect(QRect(left, top, rect.width(), h), Grey);
        painter.fillRect(QRect(left, top + h, rect.width(), rect.height() - h), Qt::white);
    } else {
        painter.fillRect(rect, Qt::white);
    }
    painter.setPen(lines);
    // The regulated powers limit measurement 00 alone: their lines belong on
    // a graph that shows its curve, not on another meter's or a kVAr one's.
    bool regulated = false;
    for (uint8_t k = 0; k < view.SelectedCount; ++k)
        if ((graph < 0 || graph >= view.SelectedCount || graph == k) && view.SelectedChannel(k) == 0)
            regulated = true;
    // A limit of 0 is none (a report given only the VT limit).
    if (regulated)
        for (uint8_t i = 0; i < 2; ++i)
            if (view.RegulatedPower(i) > 0)
                DottedLine(painter, left, right, plot.Y(view.RegulatedPower(i)), th, screen);
    painter.drawLine(left, plot.Bottom, right - 1, plot.Bottom);
    painter.setPen(Qt::black);
    painter.drawLine(left, top + h, right - 1, top + h);

    const TDispArch::TStep step = view.Step(mode);
    const int p = step.Pixels;
    const int r = step.Records;
    const auto stepX = [&](uint32_t record) { return static_cast<int>(record / r * p) - offset + left; };

    if (view.File() && view.RecordCount > 0) {
        const bool narrow = mode == 0 || mode == 3;
        const int w = (narrow ? 2 : 6) * tw;
        const uint32_t from = view.PositionToRecord(static_cast<uint32_t>(std::max(offset - w, 0)), mode);
        // A strip that starts inside the graph takes its first record only
        // to know what came before.
        bool quiet = view.RecordToPosition(from, mode) > 0;
        uint32_t prevHour = 0;
        int prevDay = -1;
        // The day at the left edge, and where the first whole day label
        // starts: a graph scrolled into a day still says which day it is.
        int leftDay = -1;
        int firstLabel = right;
        bool leftDayLabelled = false;
        const int dayRow = top + h + 4 * (th / 2);
        const int hourRow = top + h + th / 2;
        const int tickEnd = top + h + 3 * (th / 2);
        const QFontMetrics fm(painter.font());
        const auto dayLabel = [&](int day) {
            QString label = IntToStrZero(static_cast<uint32_t>(day), 2);
            if (!narrow)
                label += view.MonthSuffix;
            return label;
        };
        painter.save();
        painter.setClipRect(rect, Qt::IntersectClip);
        for (uint32_t i = from; i < view.RecordCount; ++i) {
            const int x = stepX(i);
            if (x >= right)
                break;
            // A gap carries no time: it neither marks nor ends an hour, so the
            // record after it is not taken for a new day.
            if (!view.Record(static_cast<uint16_t>(i)))
                continue;
            const uint32_t hour = view.IntervalTime(static_cast<uint16_t>(i)) / 60u;
            const int day = static_cast<int>(hour / 24u);
            if (leftDay < 0 && x + p > left)
                leftDay = day;
            if (!quiet && hour != prevHour && hour != 0) {
                bool mark = false;
                if (day != prevDay) {
                    // A label the left edge would cut is left to the one
                    // pinned there below.
                    if (x + tw / 2 >= left) {
                        painter.drawText(x + tw / 2, dayRow + fm.ascent(), dayLabel(day));
                        firstLabel = std::min(firstLabel, x + tw / 2);
                        leftDayLabelled = leftDayLabelled || day == leftDay;
                    }
                    if (x >= left)
                        painter.drawLine(x, top, x, rect.bottom());
                    mark = true;
                } else if (!narrow) {
                    if (x >= left)
                        painter.drawLine(x, top + h, x, tickEnd);
                    mark = true;
                }
                if (mark && mode == 2)
                    painter.drawText(x + tw / 2, hourRow + fm.ascent(), IntToStrZero(hour % 24u, 2));
            }
            quiet = false;
            prevHour = hour;
            prevDay = day;
        }
        if (leftDay >= 0 && !leftDayLabelled) {
            const QString label = dayLabel(leftDay);
            if (left + tw / 2 + fm.horizontalAdvance(label) + tw <= firstLabel)
                painter.drawText(left + tw / 2, dayRow + fm.ascent(), label);
        }
        painter.restore();
    }

    // Curves.
    if (view.File()) {
        const uint32_t firstStep = static_cast<uint32_t>(std::max(offset - 1, 0)) / p;
        const uint32_t steps = (uint32_t(view.RecordCount) + r - 1) / r;
        for (uint8_t k = 0; k < view.SelectedCount; ++k) {
            if (graph >= 0 && graph < view.SelectedCount && graph != k)
                continue;
            const uint8_t c = view.SelectedChannel(k);
            painter.setPen(screen ? QColor::fromRgb(TDispArch::ColorOf(view.ChannelColor(c))) : QColor(Qt::black));
            bool prevLevel = false;
            int prevY = 0;
            int prevEnd = 0;
            for (uint32_t j = firstStep; j < steps; ++j) {
                const int x = static_cast<int>(j * p) - offset + left;
                if (x >= right)
                    break;
                int level = -1;
                const uint32_t end = std::min<uint32_t>((j + 1) * r, view.RecordCount);
                for (uint32_t i = j * r; i < end; ++i) {
                    const uint16_t v = view.ChannelValue(static_cast<uint16_t>(i), c);
                    if (v != TDispArch::NoValue)
                        level = std::max<int>(level, v);
                }
                if (level < 0) {
                    if (prevLevel && x > prevEnd)
                        painter.drawLine(prevEnd, prevY, std::min(x, right - 1), prevY);
                    prevLevel = false;
                    continue;
                }
                const int y = plot.Y(level);
                if (prevLevel && x >= left)
                    painter.drawLine(x, prevY, x, y);
                const int x0 = std::max(x, left);
                const int x1 = std::min(x + p - 1, right - 1);
                if (x1 >= x0)
                    painter.drawLine(x0, y, x1, y);
                prevLevel = true;
                prevY = y;
                prevEnd = x + p - 1;
            }
        }
    }
    painter.restore();
}

void DrawScale(QPainter& painter, const TDispArch& view, const QRect& rect, bool graphEmpty, int plotHeight)
{
    painter.save();
    painter.fillRect(rect, Qt::white);
    if (graphEmpty || rect.isEmpty()) {
        painter.restore();
        return;
    }
    const int height = plotHeight < 0 ? rect.height() : std::min(plotHeight, rect.height());
    const TPlot plot(painter, rect.top(), height, view.FullScale);
    const int th = plot.TextHeight;
    const int tw = plot.TextWidth;
    const int right = rect.left() + rect.width(); // exclusive
    const int n = th > 0 ? (height - th / 4) / (2 * th) : 0;
    // Too small for one label: the box stays blank rather than crowded.
    if (n < 1) {
        painter.restore();
        return;
    }
    painter.setPen(Qt::black);
    painter.drawLine(right - tw / 2, rect.top(), right - tw / 2, plot.Bottom);
    uint32_t s = 1;
    uint32_t minor = 1;
    TDispArch::ScaleSteps(view.FullScale, n, s, minor);
    painter.setClipRect(rect, Qt::IntersectClip);
    const QFontMetrics fm(painter.font());
    // Each label is centred on its tick, so that a number reads beside the
    // line it names; the tick runs from just after the text to the axis.
    const int textRight = right - tw - tw / 2;
    const int half = (fm.capHeight() + 1) / 2;
    for (uint64_t v = 0;; v += minor) {
        const int y = plot.Y(static_cast<int64_t>(v));
        if (y <= rect.top() || v > 0xFFFFFFu)
            break;
        if (v % s == 0) {
            painter.drawLine(textRight + tw / 4, y, right - 1, y);
            const QString text = QString::number(v);
            if (y - half - 1 >= rect.top() && y + half <= rect.bottom())
                painter.drawText(textRight - fm.horizontalAdvance(text), y + half, text);
        } else {
            painter.drawLine(right - tw, y, right - 1, y);
        }
    }
    painter.restore();
}
