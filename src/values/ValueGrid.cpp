#include "values/ValueGrid.h"

bool TValueGrid::IsRowShown(int, int) const { return true; }

void TValueGrid::GetCellText(int column, int row, QString& text, int& alignment) const
{
    text.clear();
    if (row == 0 && !ColNames.isEmpty()) {
        if (column >= 0 && column < ColNames.size())
            text = ColNames.at(column);
        return;
    }
    if (column == 0 && !RowNames.isEmpty()) {
        if (row >= 0 && row < RowNames.size())
            text = RowNames.at(row);
        return;
    }
    if (IsValid())
        GetCell(column, row, text, alignment);
}
