#include "core/widgets/CellText.h"

#include <QFontMetrics>
#include <QPainter>

void DrawCellText(QPainter& painter, const QRect& rect, const QString& text, int offset)
{
    painter.fillRect(rect, painter.brush());
    if (text.isEmpty() || rect.isEmpty())
        return;
    const QFontMetrics metrics(painter.font());
    const int width = metrics.horizontalAdvance(text);
    // Right and bottom are taken exclusive, as the positions are measured
    // from the cell's outer edge; C++ division truncates toward zero.
    const int right = rect.x() + rect.width();
    const int bottom = rect.y() + rect.height();
    const int top = (rect.y() + bottom - metrics.height()) / 2;
    int left;
    if (offset > 0)
        left = rect.x() + offset;
    else if (offset < 0)
        left = right - width + offset;
    else
        left = (rect.x() + right - width) / 2;

    painter.save();
    painter.setClipRect(rect, painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
    painter.setPen(painter.pen().color());
    painter.drawText(QPoint(left, top + metrics.ascent()), text);
    painter.restore();
}
