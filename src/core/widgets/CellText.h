#pragma once
// The one routine that draws every owner-drawn cell text, so that grids,
// lists, the debug view and printed tables place their texts alike.
#include <QRect>
#include <QString>

class QPainter;

// Fills rect with the painter's brush, then draws text clipped to rect in the
// painter's pen colour, vertically centred, placed by offset: positive that
// many pixels in from the left, negative that many in from the right, 0
// centred. Divisions truncate toward zero.
void DrawCellText(QPainter& painter, const QRect& rect, const QString& text, int offset);
