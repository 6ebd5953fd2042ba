#include "regulator/widgets/ListDrawing.h"

#include "core/widgets/CellText.h"
#include "core/widgets/Colors.h"
#include "regulator/ValueListIO.h"
#include "regulator/ValueListQ.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace {
using namespace Colors;
const int DesignWidth = 121;
const int TimeRight = 36;
const int PercentRight = 76;

// Blank space between two cells of an interval record item.
const int CellGap = 4;

// Right edges of the time and percentage cells, from the item's left edge:
// the designed ones, spread for a wider item, and never narrower than the
// font needs for "00:00" and "254 %", so a large percentage cannot run into
// the time.
std::pair<int, int> ColumnsQ(const QFontMetrics& metrics, int width)
{
    const int stretch = std::max(width, DesignWidth);
    const int timeNeed = metrics.horizontalAdvance(QStringLiteral("00:00")) + 2 + CellGap / 2;
    // The time cell keeps half a gap after its text, the percentage its 4
    // pixels at the right and one more at the left.
    const int percentNeed = std::max(metrics.horizontalAdvance(QStringLiteral("254 %")),
                                     metrics.horizontalAdvance(QStringLiteral("*** %"))) +
                            4 + 1;
    const int time = std::max(TimeRight * stretch / DesignWidth, timeNeed);
    return {time, std::max(PercentRight * stretch / DesignWidth, time + percentNeed)};
}

// Pixel rows y0 .. y1 - 1 of column x.
void Column(QPainter& painter, int x, int y0, int y1, const QColor& color)
{
    if (y1 > y0)
        painter.fillRect(QRect(x, y0, 1, y1 - y0), color);
}
} // namespace

void DrawItemIO(QPainter& painter, const TValueListIO& value, int index, bool fresh, const QRect& rect,
                const QColor& textColor)
{
    const QString name = value.ItemName(index);
    DrawCellText(painter, rect, name, 4);
    if (name.isEmpty() || !value.IsValid())
        return;
    const bool active = value.ItemActive(index);
    const int right = rect.x() + rect.width();
    const int bottom = rect.y() + rect.height();
    const QPoint centre(right - (rect.height() + 7) / 2, (rect.y() + bottom) / 2);
    const QColor pen = fresh ? (active ? Red : Green) : textColor;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(pen);
    if (active) {
        painter.setBrush(pen);
        painter.drawEllipse(centre, 3, 3);
    }
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, 5, 5);
    painter.restore();
}

void DrawItemQ(QPainter& painter, const TValueListQ& value, int index, bool fresh, const QRect& rect,
               const QColor& textColor)
{
    const auto [time, percent] = ColumnsQ(painter.fontMetrics(), rect.width());
    const int x1 = rect.x() + time;
    const int x2 = rect.x() + percent;
    const int top = rect.y();
    const int height = rect.height();
    painter.setPen(textColor);
    DrawCellText(painter, QRect(rect.x(), top, x1 - rect.x(), height), value.TimeText(index), 2);
    painter.setPen(fresh ? Green : textColor);
    DrawCellText(painter, QRect(x1, top, x2 - x1, height), value.PercentText(index), -4);
    painter.setPen(fresh ? Red : textColor);
    DrawCellText(painter, QRect(x2, top, rect.x() + rect.width() - x2, height), value.SecondText(index), 0);
}

int ItemQWidth(const QFontMetrics& metrics)
{
    return ColumnsQ(metrics, 0).second + metrics.horizontalAdvance(QStringLiteral("#00")) + 2 * CellGap;
}

void DrawBars(QPainter& painter, const TValueListQ& value, int height, bool fresh, const QRect& area)
{
    const int mark = height - TValueListQ::PercentMark;
    const int visible = value.VisibleCount();
    for (int x = area.left(); x <= area.right(); ++x) {
        const int i = x / 2;
        if (x < 0 || i >= visible) {
            Column(painter, x, 0, height, Qt::black);
            continue;
        }
        const TValueListQ::TBar bar = value.Bar(i);
        const int h1 = bar.PercentHeight;
        const int h2 = bar.SecondHeight;
        const int barTop = height - h1;
        Column(painter, x, 0, barTop, Qt::black);
        int y = barTop;
        if (fresh && h1 > TValueListQ::PercentMark) {
            Column(painter, x, y, mark, Red);
            y = mark;
        }
        Column(painter, x, y, height, fresh ? Aqua : Blue);
        if (h2 > 0)
            Column(painter, x, TValueListQ::SecondLimit + 1 - h2, TValueListQ::SecondLimit + 1, fresh ? Fuchsia : Blue);
        if (fresh) {
            Column(painter, x, 31, 32, Grey);
            if (bar.PercentOver)
                Column(painter, x, barTop - 1, barTop, Yellow);
            if (bar.SecondOver)
                Column(painter, x, 0, 1, Qt::white);
        }
    }
}
