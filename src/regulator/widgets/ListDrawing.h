#pragma once
// How the appliance/signal list and the interval records are drawn. The
// pixel metrics are those of list and paint boxes 121 pixels wide and 129
// high with items 13 high; wider items spread their columns in proportion,
// and the record's columns widen where the font needs it.
class QColor;
class QFontMetrics;
class QPainter;
class QRect;
class TValueListIO;
class TValueListQ;

// Item index of the current tab: its name, and while the value is valid a
// marker at the right end, a ring with a dot for an active item; red or
// green when fresh, textColor otherwise. The painter's brush is the
// background.
void DrawItemIO(QPainter& painter, const TValueListIO& value, int index, bool fresh, const QRect& rect,
                const QColor& textColor);

// Sample index: its time, percentage (green when fresh) and second byte (red
// when fresh).
void DrawItemQ(QPainter& painter, const TValueListQ& value, int index, bool fresh, const QRect& rect,
               const QColor& textColor);

// The width an interval record item needs in this font for its three cells
// side by side.
int ItemQWidth(const QFontMetrics& metrics);

// The bar chart of a record, two pixel columns per sample, for the columns
// of area, in a box height pixels high.
void DrawBars(QPainter& painter, const TValueListQ& value, int height, bool fresh, const QRect& area);
