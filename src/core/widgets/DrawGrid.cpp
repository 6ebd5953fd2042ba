#include "core/widgets/DrawGrid.h"
#include "core/widgets/ScrollArea.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace {
const QColor& LineColor = Colors::Silver;
}

TDrawGrid::TDrawGrid(QWidget* parent)
    : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(1);
}

void TDrawGrid::SetColCount(int count)
{
    count = std::max(count, 0);
    if (count == FColWidths.size())
        return;
    FColWidths.resize(count, FDefaultColWidth);
    FFixedCols = std::min(FFixedCols, count);
    if (FCol >= count)
        FCol = -1;
    Changed();
}

void TDrawGrid::SetRowCount(int count)
{
    count = std::max(count, 0);
    if (count == FRowCount)
        return;
    FRowCount = count;
    FFixedRows = std::min(FFixedRows, count);
    if (FRow >= count)
        FRow = -1;
    Changed();
}

void TDrawGrid::SetFixedCols(int count)
{
    FFixedCols = std::clamp(count, 0, ColCount());
    Changed();
}

void TDrawGrid::SetFixedRows(int count)
{
    FFixedRows = std::clamp(count, 0, FRowCount);
    Changed();
}

int TDrawGrid::ColWidth(int col) const
{
    return col >= 0 && col < FColWidths.size() ? FColWidths.at(col) : FDefaultColWidth;
}

void TDrawGrid::SetColWidth(int col, int width)
{
    if (col < 0 || col >= FColWidths.size())
        return;
    width = std::max(width, 0);
    if (FColWidths.at(col) == width)
        return;
    FColWidths[col] = width;
    Changed();
}

void TDrawGrid::SetRowHeight(int height)
{
    height = std::max(height, 1);
    if (height == FRowHeight)
        return;
    FRowHeight = height;
    Changed();
}

void TDrawGrid::SetGridLineWidth(int width)
{
    width = std::max(width, 0);
    if (width == FGridLineWidth)
        return;
    FGridLineWidth = width;
    Changed();
}

int TDrawGrid::ClientWidth() const { return ScrollAreaClientWidth(*this); }

void TDrawGrid::SetAutoStretch(int first, int count)
{
    FStretchFirst = first;
    FStretchCount = count;
    if (first >= 0)
        StretchColumns(*this, first, count);
}

int TDrawGrid::TopRow() const { return FFixedRows + verticalScrollBar()->value(); }

void TDrawGrid::SetTopRow(int row)
{
    UpdateScrollBars();
    verticalScrollBar()->setValue(row - FFixedRows);
}

int TDrawGrid::LeftCol() const { return FFixedCols + horizontalScrollBar()->value(); }

void TDrawGrid::SetLeftCol(int col)
{
    UpdateScrollBars();
    horizontalScrollBar()->setValue(col - FFixedCols);
}

int TDrawGrid::VisibleRowCount() const
{
    const int fit = std::max(0, (viewport()->height() - FixedHeight()) / RowPitch());
    return std::min(fit, std::max(0, FRowCount - TopRow()));
}

void TDrawGrid::SetCell(int col, int row)
{
    if (col < -1 || col >= ColCount() || row < -1 || row >= FRowCount)
        return;
    FCol = col;
    FRow = row;
    if (row >= FFixedRows) {
        const int visible = std::max(1, (viewport()->height() - FixedHeight()) / RowPitch());
        if (row < TopRow())
            SetTopRow(row);
        else if (row >= TopRow() + visible)
            SetTopRow(row - visible + 1);
    }
    if (col >= FFixedCols && col < LeftCol())
        SetLeftCol(col);
    viewport()->update();
}

int TDrawGrid::RowPitch() const { return FRowHeight + FGridLineWidth; }

int TDrawGrid::FixedWidth() const
{
    int width = 0;
    for (int c = 0; c < FFixedCols; ++c)
        width += FColWidths.at(c) + FGridLineWidth;
    return width;
}

int TDrawGrid::FixedHeight() const { return FFixedRows * RowPitch(); }

QRect TDrawGrid::CellRect(int col, int row) const
{
    if (col < 0 || col >= ColCount() || row < 0 || row >= FRowCount)
        return QRect();
    int x = 0;
    if (col < FFixedCols) {
        for (int c = 0; c < col; ++c)
            x += FColWidths.at(c) + FGridLineWidth;
    } else {
        if (col < LeftCol())
            return QRect();
        x = FixedWidth();
        for (int c = LeftCol(); c < col && x < viewport()->width(); ++c)
            x += FColWidths.at(c) + FGridLineWidth;
    }
    int y;
    if (row < FFixedRows)
        y = row * RowPitch();
    else if (row < TopRow())
        return QRect();
    else
        y = FixedHeight() + (row - TopRow()) * RowPitch();
    if (x >= viewport()->width() || y >= viewport()->height())
        return QRect();
    return QRect(x, y, FColWidths.at(col), FRowHeight);
}

bool TDrawGrid::CellAt(const QPoint& point, int& col, int& row) const
{
    if (point.x() < 0 || point.y() < 0)
        return false;
    col = -1;
    int x = 0;
    for (int c = 0; c < ColCount(); ++c) {
        if (c == FFixedCols)
            c = LeftCol();
        if (c >= ColCount())
            break;
        x += FColWidths.at(c) + FGridLineWidth;
        if (point.x() < x) {
            col = c;
            break;
        }
    }
    if (col < 0)
        return false;
    if (point.y() < FixedHeight())
        row = point.y() / RowPitch();
    else
        row = TopRow() + (point.y() - FixedHeight()) / RowPitch();
    return row < FRowCount;
}

void TDrawGrid::PaintCells(QPainter& painter, const QRect& area)
{
    if (area.isEmpty())
        return;
    painter.save();
    painter.setFont(font());
    painter.fillRect(area, Color);

    // Only the columns and rows that reach into the area are visited, so a
    // table of thousands of rows costs what its visible part costs.
    struct TSpan {
        int Index;
        int Pos;
    };
    QVector<TSpan> cols;
    int x = 0;
    for (int c = 0; c < ColCount() && x <= area.right(); ++c) {
        if (c == FFixedCols)
            c = LeftCol();
        if (c >= ColCount())
            break;
        const int next = x + FColWidths.at(c) + FGridLineWidth;
        if (next > area.left())
            cols.append({c, x});
        x = next;
    }
    const int right = std::min(x, area.right() + 1);

    QVector<TSpan> rows;
    const int pitch = RowPitch();
    for (int r = 0; r < FFixedRows; ++r) {
        const int y = r * pitch;
        if (y + pitch > area.top() && y <= area.bottom())
            rows.append({r, y});
    }
    int first = TopRow() + std::max(0, area.top() - FixedHeight()) / pitch;
    int y = FixedHeight() + (first - TopRow()) * pitch;
    for (int r = first; r < FRowCount && y <= area.bottom(); ++r, y += pitch)
        rows.append({r, y});
    const int bottom = std::min(FRowCount > FFixedRows ? y : FixedHeight(), area.bottom() + 1);

    // The lines are what the cells leave uncovered inside the table.
    if (!cols.isEmpty() && !rows.isEmpty() && FGridLineWidth > 0)
        painter.fillRect(QRect(QPoint(area.left(), area.top()), QPoint(right - 1, bottom - 1)), LineColor);

    for (const TSpan& row : rows) {
        for (const TSpan& col : cols) {
            const QRect rect(col.Pos, row.Pos, FColWidths.at(col.Index), FRowHeight);
            const bool fixed = col.Index < FFixedCols || row.Index < FFixedRows;
            int state = fixed ? Fixed : 0;
            if (!fixed && row.Index == FRow && col.Index == FCol) {
                state |= Selected;
                if (hasFocus())
                    state |= Focused;
            }
            painter.save();
            painter.setBrush(fixed ? FixedColor : Color);
            painter.setPen(fixed ? FixedFontColor : FontColor);
            if (OnDrawCell)
                OnDrawCell(painter, col.Index, row.Index, rect, state);
            else
                painter.fillRect(rect, painter.brush());
            painter.restore();
        }
    }
    painter.restore();
}

void TDrawGrid::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    PaintCells(painter, event->rect());
}

void TDrawGrid::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
    if (FStretchFirst >= 0)
        StretchColumns(*this, FStretchFirst, FStretchCount);
}

void TDrawGrid::mousePressEvent(QMouseEvent* event)
{
    int col, row;
    if (CellAt(event->position().toPoint(), col, row) && col >= FFixedCols && row >= FFixedRows) {
        SetCell(col, row);
        if (OnSelectCell)
            OnSelectCell(col, row);
    }
    if (OnClick)
        OnClick();
    QAbstractScrollArea::mousePressEvent(event);
}

void TDrawGrid::keyPressEvent(QKeyEvent* event)
{
    if (FRowCount <= FFixedRows || ColCount() <= FFixedCols) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    const int page = std::max(1, (viewport()->height() - FixedHeight()) / RowPitch());
    int col = std::max(FCol, FFixedCols);
    int row = std::max(FRow, FFixedRows);
    switch (event->key()) {
    case Qt::Key_Up: --row; break;
    case Qt::Key_Down: ++row; break;
    case Qt::Key_Left: --col; break;
    case Qt::Key_Right: ++col; break;
    case Qt::Key_PageUp: row -= page; break;
    case Qt::Key_PageDown: row += page; break;
    case Qt::Key_Home: row = FFixedRows; break;
    case Qt::Key_End: row = FRowCount - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    col = std::clamp(col, FFixedCols, ColCount() - 1);
    row = std::clamp(row, FFixedRows, FRowCount - 1);
    SetCell(col, row);
    if (OnSelectCell)
        OnSelectCell(col, row);
}

void TDrawGrid::scrollContentsBy(int, int) { viewport()->update(); }

void TDrawGrid::Changed()
{
    UpdateScrollBars();
    viewport()->update();
}

void TDrawGrid::UpdateScrollBars()
{
    const int visibleRows = std::max(1, (viewport()->height() - FixedHeight()) / RowPitch());
    QScrollBar* vertical = verticalScrollBar();
    vertical->setPageStep(visibleRows);
    vertical->setRange(0, std::max(0, FRowCount - FFixedRows - visibleRows));

    // As far as the last columns can be shown whole.
    const int available = viewport()->width() - FixedWidth();
    int fit = 0;
    int used = 0;
    for (int c = ColCount() - 1; c >= FFixedCols; --c) {
        used += FColWidths.at(c) + FGridLineWidth;
        if (used > available)
            break;
        ++fit;
    }
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setPageStep(std::max(fit, 1));
    horizontal->setRange(0, std::max(0, ColCount() - FFixedCols - std::max(fit, 1)));
}

void StretchColumns(TDrawGrid& grid, int first, int count)
{
    const int cols = grid.ColCount();
    if (cols == 0)
        return;
    const int lastCol = cols - 1;
    first = std::clamp(first, 0, lastCol);
    const int last = count <= 0 ? lastCol : std::min(first + count - 1, lastCol);
    count = last - first + 1;
    int free = grid.ClientWidth() - (cols + 1) * grid.GridLineWidth();
    for (int c = 0; c < cols; ++c)
        if (c < first || c > last)
            free -= grid.ColWidth(c);
    if (free < 0)
        return;
    int accumulator = 0;
    for (int c = first; c <= last; ++c) {
        int width = free / count;
        accumulator += free % count;
        if (accumulator >= count) {
            ++width;
            accumulator -= count;
        }
        grid.SetColWidth(c, width);
    }
}
