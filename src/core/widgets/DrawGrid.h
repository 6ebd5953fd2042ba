#pragma once
// An owner-drawn grid: columns of set widths, rows of one height, fixed rows
// and columns at the top and left that do not scroll, grid lines between the
// cells. It holds no cell data: every visible cell is painted through
// OnDrawCell.
#include "core/widgets/Colors.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QVector>

#include <functional>

class TDrawGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    enum CellState { Fixed = 1, Selected = 2, Focused = 4 };

    explicit TDrawGrid(QWidget* parent = nullptr);

    int ColCount() const { return FColWidths.size(); }
    void SetColCount(int count);
    int RowCount() const { return FRowCount; }
    void SetRowCount(int count);
    int FixedCols() const { return FFixedCols; }
    void SetFixedCols(int count);
    int FixedRows() const { return FFixedRows; }
    void SetFixedRows(int count);
    int ColWidth(int col) const;
    void SetColWidth(int col, int width);
    int DefaultColWidth() const { return FDefaultColWidth; }
    int RowHeight() const { return FRowHeight; }
    void SetRowHeight(int height);
    int GridLineWidth() const { return FGridLineWidth; }
    void SetGridLineWidth(int width);
    // Width of the area the cells are drawn in (the viewport).
    int ClientWidth() const;
    // Stretches columns first .. first + count - 1 now and again whenever the
    // grid is resized (StretchColumns); a negative first stops it.
    void SetAutoStretch(int first, int count);
    QColor FixedColor = Colors::Silver;
    QColor FixedFontColor = Qt::black;
    QColor Color = Qt::white;
    QColor FontColor = Qt::black;

    // The first scrolling row / column shown.
    int TopRow() const;
    void SetTopRow(int row);
    int LeftCol() const;
    void SetLeftCol(int col);
    int VisibleRowCount() const;
    // Selected cell (-1 for none); clicking selects.
    int Row() const { return FRow; }
    int Col() const { return FCol; }
    void SetCell(int col, int row);

    // Rectangle of a cell in viewport coordinates; empty when not visible.
    QRect CellRect(int col, int row) const;
    // Cell under a viewport point; false outside the cells.
    bool CellAt(const QPoint& point, int& col, int& row) const;

    // painter (brush, pen and font free to set), col, row, rectangle, CellState bits
    std::function<void(QPainter&, int, int, const QRect&, int)> OnDrawCell;
    std::function<void(int col, int row)> OnSelectCell;
    std::function<void()> OnClick;

    // Paints the cells that intersect area (viewport coordinates) into any
    // painter: what the paint event does.
    void PaintCells(QPainter& painter, const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void UpdateScrollBars();
    void Changed();
    int RowPitch() const;
    int FixedWidth() const;
    int FixedHeight() const;
    QVector<int> FColWidths;
    int FRowCount = 0;
    int FFixedCols = 0;
    int FFixedRows = 0;
    int FDefaultColWidth = 64;
    int FRowHeight = 18;
    int FGridLineWidth = 1;
    int FRow = -1;
    int FCol = -1;
    int FStretchFirst = -1;
    int FStretchCount = 0;
};

// Column stretching: widens columns first .. first + count - 1 (count 0 or
// less: up to the last) so that together they take the grid's free width,
// the remainder spread one pixel at a time. Nothing changes when the other
// columns already need more than the width.
void StretchColumns(TDrawGrid& grid, int first, int count);
