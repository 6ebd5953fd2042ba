// The spreadsheet path on arbitrary text: the driver's cell commands built
// from cell texts (PutStr, PutFormula) and raw command lines, all carried out
// by the program's own spreadsheet server. Beyond the sanitizers: no cell
// lands outside the sheet's bounds.
#include "output/AdvExcel.h"
#include "output/SheetServer.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

namespace {
QCoreApplication* App = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    App = new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 8192)
        return 0;
    const int row = data[0] % 8;
    const int column = data[1] % 8;
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 2), static_cast<qsizetype>(size - 2));

    auto server = std::make_unique<TSheetServer>();
    TSheetServer& sheets = *server;
    TAdvExcel excel(std::move(server));
    try {
        excel.Connect();
        excel.InsertWorkbook(2);
        excel.PutStr(row, column, text);
        excel.PutFormula(row, column + 1, text);
    } catch (...) {
        // a command refused: the driver's own failure, not a fault
    }
    // Every line as a raw command, as another driver might send it.
    if (sheets.IsOpen())
        for (const QString& line : text.split(QLatin1Char('\n')))
            sheets.Execute(line, false);
    App->processEvents();
    for (const TSheet& sheet : sheets.Sheets())
        for (const auto& [at, cell] : sheet.Cells)
            if (at.first < 1 || at.first > TSheet::MaxRows || at.second < 1 || at.second > TSheet::MaxColumns)
                std::abort();
    sheets.FileName.clear(); // closing writes no workbook
    sheets.OnSaved = nullptr;
    return 0;
}
