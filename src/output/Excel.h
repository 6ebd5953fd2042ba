#pragma once
// The spreadsheet driver's cell commands: a new sheet, a cell's formula or
// text at a given cell or at the active one, and input of the spreadsheet's
// own user switched off during an output.
#include "output/CustomExcel.h"

#include <QChar>

enum TMoveDirection : uint8_t { dirNone, dirUp, dirDown, dirLeft, dirRight };

class TExcel : public TCustomExcel {
public:
    explicit TExcel(std::unique_ptr<TDdeConversation> conversation);

    void DisableInput();
    void EnableInput();
    // Type 0 inserts the workbook file name, 6 is reserved, any other type
    // inserts a sheet of type - 1 (2: a worksheet).
    void InsertWorkbook(int type, const QString& name = QString());
    // Row and column from 1 name the cell; otherwise the active cell takes
    // the formula and the selection moves by MoveActiveCell.
    void PutFormula(int row, int column, const QString& formula);
    // The text in double quotes, not escaped: the spreadsheet takes it as if
    // typed into the cell.
    void PutStr(int row, int column, const QString& text);

    TMoveDirection MoveActiveCell = dirDown;
    uint16_t Decimals = 0;
    QChar DecimalSeparator;
    bool FilterReturnedData = false;
    bool StripCRLF = false;
};
