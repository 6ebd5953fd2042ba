// qdrtool text: a monthly file as the text file the window writes with
// "Záznam do súboru", for a site that files or mails its months from cron.
#include "MonthFile.h"
#include "Tool.h"

#include "app/Settings.h"
#include "core/TextFunctions.h"
#include "regulator/DispArch.h"

#include <QFileInfo>

namespace {

const QString TextUsage = QStringLiteral(
    "usage: qdrtool text MONTHFILE [-o NAME] [--config FILE]\n"
    "\n"
    "Writes the tables of a monthly archive file (2026nov.qdr, ...) as the text file the\n"
    "window writes: the interval powers and the daily energies of every measurement, all\n"
    "records, in Windows-1250 with CR LF line ends. The interval length comes from\n"
    "Intervaly and the measurement names from the configuration.\n"
    "\n"
    "  -o, --output NAME  the text file (default: the month as the window names it,\n"
    "                     e.g. 2026NOV.TXT, in the current directory); an existing file\n"
    "                     is replaced once the new one is complete; the monthly file\n"
    "                     itself, a .qdr name, a link, FIFO or device is refused\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "\n"
    "Exit status: 0 written; 2 bad command line, configuration, monthly file (one that\n"
    "cannot be read whole or holds no record dated within its month: nothing is written)\n"
    "or refused output; 130/143 interrupted by SIGINT/SIGTERM;\n"
    "4 the text file cannot be written.");

int RunText(const QStringList& args)
{
    CatchStopSignals();
    TSettings settings;
    TToolMonth month;
    if (const int exit = month.OpenFromArgs(args, QStringLiteral("text"), QStringLiteral("TXT"), settings); exit >= 0)
        return exit;
    const QString& name = month.Output;
    QStringList lines;
    BuildText(lines, *month.View, month.Choice, 0, {});
    if (StopSignal())
        return ExitFor(StopSignal());
    if (QString error; !SaveTextLines(lines, name, &error)) {
        Fail(error);
        return ExitFolder;
    }
    Out(QStringLiteral("%1: %2 lines").arg(QFileInfo(name).absoluteFilePath()).arg(lines.size()));
    return ExitOk;
}

const TToolRegistration Registration({QStringLiteral("text"),
                                      QStringLiteral("write a monthly file's tables as a text file"), TextUsage,
                                      RunText});

} // namespace
