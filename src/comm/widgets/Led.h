#pragma once
// A round indicator lamp: a coloured outline, filled with the same colour
// while it is on and hollow while it is off.
#include "core/widgets/Colors.h"

#include <QColor>
#include <QWidget>

class TLed : public QWidget {
public:
    explicit TLed(QWidget* parent = nullptr, const QColor& color = Colors::Yellow);

    void SetOn(bool on);
    bool IsOn() const { return On; }
    QColor Color() const { return LedColor; }

    // Draws the lamp into rect; the widget paints itself through this, so an
    // image or a printer gets the same picture.
    void Draw(QPainter& painter, const QRect& rect) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor LedColor;
    bool On = false;
};
