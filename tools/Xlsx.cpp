// qdrtool xlsx: a monthly file as the workbook the window's spreadsheet
// output fills, written without a desktop: the same driver and commands go
// to the program's own spreadsheet server, which writes the .xlsx file.
#include "MonthFile.h"
#include "Tool.h"

#include "app/Settings.h"
#include "core/TextFunctions.h"
#include "output/AdvExcel.h"
#include "output/SheetServer.h"
#include "output/SpreadsheetOutput.h"
#include "regulator/DispArch.h"

#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The spreadsheet library prints remarks of its own on stderr when a write
// fails, naming the private scratch file; the command tells the reason once,
// with the workbook's name, so they are kept from the user while it writes.
class TQuietLibrary {
public:
    TQuietLibrary()
    {
        std::fflush(stderr);
        Saved = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (Saved >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~TQuietLibrary()
    {
        std::fflush(stderr);
        if (Saved >= 0) {
            ::dup2(Saved, STDERR_FILENO);
            ::close(Saved);
        }
    }
    TQuietLibrary(const TQuietLibrary&) = delete;
    TQuietLibrary& operator=(const TQuietLibrary&) = delete;

private:
    int Saved = -1;
};

const QString XlsxUsage = QStringLiteral(
    "usage: qdrtool xlsx MONTHFILE [-o NAME] [--config FILE]\n"
    "\n"
    "Writes the tables of a monthly archive file (2026nov.qdr, ...) as the workbook the\n"
    "window's \"Výstup pre EXCEL\" fills: row 1 the month and the measurement names, then\n"
    "the interval powers and the daily energies of every measurement, all records; numbers\n"
    "as numbers. The interval length comes from Intervaly and the measurement names from\n"
    "the configuration.\n"
    "\n"
    "  -o, --output NAME  the workbook (default: the month as the window names it,\n"
    "                     e.g. 2026NOV.xlsx, in the current directory); an existing file\n"
    "                     is replaced once the new one is complete; the monthly file\n"
    "                     itself, a .qdr name, a link, FIFO or device is refused\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "\n"
    "Exit status: 0 written; 2 bad command line, configuration, monthly file (one that\n"
    "cannot be read whole or holds no record dated within its month: nothing is written)\n"
    "or refused output; 130/143 interrupted by SIGINT/SIGTERM;\n"
    "4 the workbook cannot be written.");

int RunXlsx(const QStringList& args)
{
    CatchStopSignals();
    TSettings settings;
    TToolMonth month;
    if (const int exit = month.OpenFromArgs(args, QStringLiteral("xlsx"), QStringLiteral("xlsx"), settings); exit >= 0)
        return exit;
    const QString& name = month.Output;
    // The server is given no file: the workbook is written here, and only
    // when every table went in, so a failed run leaves an earlier one as it was.
    auto server = std::make_unique<TSheetServer>();
    TSheetServer& sheets = *server;
    TAdvExcel excel(std::move(server));
    excel.BurstCount = 32;
    const bool sent = SendTables(excel, *month.View, month.Choice, {}, [] { return StopSignal() == 0; });
    if (StopSignal())
        return ExitFor(StopSignal());
    if (!sent) {
        Fail(QStringLiteral("the tables could not be put into the workbook; %1 is left as it was").arg(name));
        return ExitFolder;
    }
    const std::vector<TSheet>& book = sheets.Sheets();
    TFileError error;
    {
        const TQuietLibrary quiet;
        error = WriteWorkbook(book, name);
    }
    if (error.Failed()) {
        Fail(error.Text());
        return ExitFolder;
    }
    Out(QStringLiteral("%1: %2 cells").arg(QFileInfo(name).absoluteFilePath()).arg(book.empty() ? 0 : book.front().Cells.size()));
    return ExitOk;
}

const TToolRegistration Registration({QStringLiteral("xlsx"),
                                      QStringLiteral("write a monthly file's tables as a spreadsheet workbook"),
                                      XlsxUsage, RunXlsx});

} // namespace
