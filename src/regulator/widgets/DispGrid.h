#pragma once
// The display of a grid value: the grid asks it cell by cell, and a change of
// the value repaints the whole grid.
#include "values/widgets/Disp.h"

#include <QPointer>

class QPainter;
class QRect;
class TDrawGrid;
class TValueGrid;

// Fits the grid's columns to the kind of value it shows: the meters grid
// keeps a narrow unit column and stretches the names, the archive month
// table stretches its counts.
void SetupGrid(TValueGrid& value, TDrawGrid& grid);

class TDispGrid : public TDisp {
public:
    // Neither is owned; the grid's cells are drawn here until the display is
    // destroyed.
    TDispGrid(TValueGrid* value, TDrawGrid* grid);
    ~TDispGrid() override;

    void Refresh() override;
    void DrawCell(QPainter& painter, int col, int row, const QRect& rect, int state);

    QPointer<TDrawGrid> Grid;
};
