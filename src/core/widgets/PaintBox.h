#pragma once
// An owner-drawn area: whoever binds it paints it through OnPaint, with a
// painter already clipped to the area to repaint.
#include <QWidget>

#include <functional>

class TPaintBox : public QWidget {
    Q_OBJECT
public:
    explicit TPaintBox(QWidget* parent = nullptr);
    // painter, area to repaint
    std::function<void(QPainter&, const QRect&)> OnPaint;
    // Paints into any device (a QImage in tests, a printer page).
    void PaintTo(QPainter& painter, const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;
};
