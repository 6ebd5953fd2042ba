#pragma once
// The archive graph: the shown month's interval powers as step curves in the
// channel colours, the regulated powers as dotted lines, day and hour marks
// under the time axis, and the value scale beside it. The same routines paint
// the screen (modes 0 to 2), a printed strip (modes 3 and 4) and a QImage.
#include <QRect>

#include <cstdint>

class QPainter;
class TDispArch;

// graph: a curve index below SelectedCount draws that curve alone, anything
// else every curve. offset: the graph position of rect's left edge.
void DrawGraph(QPainter& painter, const TDispArch& view, QRect rect, int graph, int plotHeight, int offset,
               uint8_t mode);
// graphEmpty: there is no graph to scale; the box is only filled.
// plotHeight: the height of the plot it scales, from rect's top (-1: rect's
// height); the box may reach below it, so that the label of 0, centred on
// its tick, is not cut.
void DrawScale(QPainter& painter, const TDispArch& view, const QRect& rect, bool graphEmpty = false,
               int plotHeight = -1);
