#include "output/Excel.h"

#include "output/ExcelError.h"

#include <QLocale>

TExcel::TExcel(std::unique_ptr<TDdeConversation> conversation)
    : TCustomExcel(std::move(conversation))
    , DecimalSeparator(QLocale::system().decimalPoint().isEmpty() ? QChar('.') : QLocale::system().decimalPoint().at(0))
{
}

void TExcel::DisableInput() { Exec(QStringLiteral("[DISABLE.INPUT(TRUE)]")); }

void TExcel::EnableInput() { Exec(QStringLiteral("[DISABLE.INPUT(FALSE)]")); }

void TExcel::InsertWorkbook(int type, const QString& name)
{
    if (type == 6)
        throw ExcelError(QStringLiteral("Use of reserved type"));
    if (type == 0)
        Exec(QStringLiteral("[WORKBOOK.INSERT(\"%1\")]").arg(name));
    else
        Exec(QStringLiteral("[WORKBOOK.INSERT(%1)]").arg(type - 1));
}

void TExcel::PutFormula(int row, int column, const QString& formula)
{
    if (row >= 1 && column >= 1) {
        // One pass: a "%2" in the formula's text must stay as it is.
        Exec(QStringLiteral("[FORMULA(%1, \"R%2C%3\")]").arg(formula, QString::number(row), QString::number(column)));
        return;
    }
    Exec(QStringLiteral("[FORMULA(%1)]").arg(formula));
    switch (MoveActiveCell) {
    case dirUp:
        Exec(QStringLiteral("[SELECT(\"R[-1]C\")]"));
        break;
    case dirDown:
        Exec(QStringLiteral("[SELECT(\"R[1]C\")]"));
        break;
    case dirLeft:
        Exec(QStringLiteral("[SELECT(\"RC[-1]\")]"));
        break;
    case dirRight:
        Exec(QStringLiteral("[SELECT(\"RC[1]\")]"));
        break;
    case dirNone:
        break;
    }
}

void TExcel::PutStr(int row, int column, const QString& text) { PutFormula(row, column, QLatin1Char('"') + text + QLatin1Char('"')); }
