#include "regulator/widgets/DispGrid.h"

#include "core/widgets/CellText.h"
#include "core/widgets/DrawGrid.h"
#include "regulator/ValueGridAr.h"
#include "regulator/ValueGridEm.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace {
const int UnitColumnWidth = 37;
}

void SetupGrid(TValueGrid& value, TDrawGrid& grid)
{
    if (dynamic_cast<TValueGridEm*>(&value)) {
        // The designed width held for a small bitmap font; the unit with its
        // 2 pixels of offset decides here, so "[kVAr]" is not cut.
        const int unit = QFontMetrics(grid.font()).horizontalAdvance(QStringLiteral("[kVAr]")) + 6;
        if (grid.ColCount() > 0)
            grid.SetColWidth(grid.ColCount() - 1, std::max(UnitColumnWidth, unit));
        grid.SetAutoStretch(0, 1);
    } else if (dynamic_cast<TValueGridAr*>(&value)) {
        grid.SetAutoStretch(1, 1);
    }
}

TDispGrid::TDispGrid(TValueGrid* value, TDrawGrid* grid)
    : TDisp(value)
    , Grid(grid)
{
    if (!grid)
        return;
    grid->OnDrawCell = [this](QPainter& painter, int col, int row, const QRect& rect, int state) {
        DrawCell(painter, col, row, rect, state);
    };
    FreshnessColors[Fresh] = {grid->Color, grid->FontColor};
    if (value)
        SetupGrid(*value, *grid);
}

TDispGrid::~TDispGrid()
{
    if (Grid)
        Grid->OnDrawCell = nullptr;
}

void TDispGrid::Refresh()
{
    if (Grid)
        Grid->viewport()->update();
}

void TDispGrid::DrawCell(QPainter& painter, int col, int row, const QRect& rect, int state)
{
    // Hidden rows are grey and empty, the fixed row included.
    QColor background = FreshnessColors[Missing].Background;
    QColor text = FreshnessColors[Missing].Text;
    QString cellText;
    int alignment = 2;
    const auto* grid = dynamic_cast<const TValueGrid*>(Value);
    if (grid && grid->IsRowShown(col, row)) {
        if ((state & TDrawGrid::Fixed) && Grid) {
            background = Grid->FixedColor;
            text = Grid->FixedFontColor;
        } else {
            GetColors(background, text);
        }
        grid->GetCellText(col, row, cellText, alignment);
    }
    painter.setBrush(background);
    painter.setPen(text);
    DrawCellText(painter, rect, cellText, alignment);
}
