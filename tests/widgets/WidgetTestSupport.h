#pragma once
// Pixel helpers for the widget tests: paint into a QImage and look at it.
#include <QColor>
#include <QImage>
#include <QRect>

inline QImage BlankImage(int width, int height, const QColor& color = Qt::white)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

inline QColor Pixel(const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); }

// The bounds of the pixels in area that differ from background; empty when none.
inline QRect InkBounds(const QImage& image, const QRect& area, const QColor& background)
{
    QRect ink;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != background.rgb())
                ink |= QRect(x, y, 1, 1);
    return ink;
}

inline int CountColor(const QImage& image, const QRect& area, const QColor& color)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) == color.rgb())
                ++n;
    return n;
}
