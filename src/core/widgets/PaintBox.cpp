#include "core/widgets/PaintBox.h"

#include <QPaintEvent>
#include <QPainter>

TPaintBox::TPaintBox(QWidget* parent)
    : QWidget(parent)
{
}

void TPaintBox::PaintTo(QPainter& painter, const QRect& area)
{
    if (!OnPaint)
        return;
    painter.save();
    painter.setClipRect(area, painter.hasClipping() ? Qt::IntersectClip : Qt::ReplaceClip);
    painter.setFont(font());
    OnPaint(painter, area);
    painter.restore();
}

void TPaintBox::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    PaintTo(painter, event->rect());
}
