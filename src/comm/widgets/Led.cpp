#include "comm/widgets/Led.h"

#include <QPainter>

TLed::TLed(QWidget* parent, const QColor& color)
    : QWidget(parent)
    , LedColor(color)
{
    setFixedSize(17, 17);
    // Not transparent for the mouse: the pointer over the lamp shows the
    // lamp's own hint. A click is not taken, so it reaches the frame.
}

void TLed::SetOn(bool on)
{
    if (On == on)
        return;
    On = on;
    update();
}

void TLed::Draw(QPainter& painter, const QRect& rect) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(LedColor, 1));
    painter.setBrush(On ? QBrush(LedColor) : QBrush(Qt::NoBrush));
    painter.drawEllipse(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5));
    painter.restore();
}

void TLed::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Draw(painter, rect());
}
