#pragma once
// What the owner-drawn grid and list share about their scroll areas.
class QAbstractScrollArea;

// Width of the area the cells are drawn in, also before the first layout,
// when the viewport's size is not known yet.
int ScrollAreaClientWidth(const QAbstractScrollArea& area);
