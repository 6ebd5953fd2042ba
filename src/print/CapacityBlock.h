#pragma once
// The block "Rezervovaná kapacita" of the report's first page: the month's
// billing demand and when, the capacity, the excess and its price, the
// month's charge, the months of the year so far, and a sentence when
// another capacity would have cost clearly less.
class QPainter;
class QRect;
struct TCapacityReport;

// Draws report at the top of area (a page of dpi dots per inch, painter's
// font as the base font); the height it took.
int DrawCapacityBlock(QPainter& painter, const QRect& area, int dpi, const TCapacityReport& report);
