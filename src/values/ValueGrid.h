#pragma once
// A value that holds a whole table. Its display asks it cell by cell; row 0
// and column 0 can carry fixed names.
#include "values/Value.h"

#include <QStringList>

class TValueGrid : public TValue {
public:
    using TValue::TValue;

    // text and alignment of one data cell; alignment is the drawing offset
    // (positive: left-aligned that many pixels in, negative: right-aligned)
    // and is left alone when the cell has no alignment of its own.
    virtual void GetCell(int column, int row, QString& text, int& alignment) const = 0;
    virtual bool IsRowShown(int column, int row) const;

    // The text of any cell, fixed names included; data cells are empty while
    // the value is not valid.
    void GetCellText(int column, int row, QString& text, int& alignment) const;

    QStringList RowNames;
    QStringList ColNames;
};
