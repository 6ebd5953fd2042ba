// qdrtool csv: a monthly file's interval powers as CSV with real times, for
// spreadsheets, scripts and databases that cannot read the archive.
#include "MonthFile.h"
#include "Tool.h"
#include "ToolZone.h"

#include "app/Settings.h"
#include "core/TextFunctions.h"
#include "output/CsvOutput.h"
#include "regulator/DispArch.h"

#include <QFileInfo>

#include <cstdio>

namespace {

const QString CsvUsage = QStringLiteral(
    "usage: qdrtool csv MONTHFILE [-o FILE] [--tz ZONE] [--config FILE]\n"
    "\n"
    "Writes the interval powers of a monthly archive file (2026nov.qdr, ...) as CSV\n"
    "(RFC 4180, UTF-8, comma-separated, CR LF): a header row \"time\" and one column per\n"
    "measurement (\"01: Kompresory [kW]\"; a meter without a name in ELEKTROMERY is\n"
    "\"02: Elektromer 2 [kVAr]\"), then one row per record that has a time. The time is\n"
    "the start of the interval as ISO 8601 with the zone's offset\n"
    "(2026-11-01T00:15:00+01:00); a missing value is an empty field.\n"
    "\n"
    "Daylight saving: the hour the clock repeats in autumn takes the summer offset until\n"
    "the records show the clock going back, then the winter one; a record in the hour\n"
    "skipped in spring keeps the offset before the change. Every record with a time is\n"
    "one row; none is added or dropped.\n"
    "\n"
    "  -o, --output FILE  the CSV file (default: the month as the window names its text\n"
    "                     file, with .csv, e.g. 2026NOV.csv, in the current directory);\n"
    "                     written beside and renamed over an existing file; - for stdout;\n"
    "                     the monthly file itself, a .qdr name, a link, FIFO or device is\n"
    "                     refused"
    "  --tz ZONE          the regulator clock's zone: a zone of the system's database\n"
    "                     (Europe/Bratislava, Etc/GMT-1) or a fixed offset (UTC+01:00);\n"
    "                     default TimeZone of [INE], else the system's zone\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "\n"
    "Exit status: 0 written; 2 bad command line, configuration, zone, monthly file (one\n"
    "without a record dated within its month: nothing to write) or refused output; 4 the\n"
    "CSV file cannot be written.");

int RunCsv(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("output"), QStringLiteral("tz")}, {}, 1,
                       {{QStringLiteral("o"), QStringLiteral("output")}}) ||
        options.Positional.size() != 1) {
        Fail((options.Error.isEmpty() ? QStringLiteral("name one monthly file") : options.Error) +
             QStringLiteral(" (try 'qdrtool help csv')"));
        return ExitUsage;
    }
    TSettings settings;
    QTimeZone zone;
    if (!ReadToolZone(options, settings, zone))
        return ExitUsage;
    TToolMonth month;
    const QString input = options.Positional.first();
    if (const int exit = month.Load(input, options.Value(QStringLiteral("output")), QStringLiteral("csv"), settings, true);
        exit >= 0)
        return exit;
    const TDispArch& view = *month.View;
    int invalid = 0;
    const std::vector<TTimedRecord> records = TimedRecords(view, zone, &invalid);
    if (invalid > 0)
        Fail(QStringLiteral("%1: records whose time is not in the month, left out: %2")
                 .arg(input)
                 .arg(invalid));
    int rows = 0;
    const QByteArray csv = BuildCsv(view, records, WholeMonth(view, month.Choice.Labels), &rows);

    const QString& name = month.Output;
    if (name == QLatin1String("-")) {
        const bool written = std::fwrite(csv.constData(), 1, size_t(csv.size()), stdout) == size_t(csv.size()) &&
                             std::fflush(stdout) == 0;
        if (!written)
            Fail(QStringLiteral("cannot write to standard output"));
        return written ? ExitOk : ExitFolder;
    }
    TFileError error;
    if (!SaveCsv(csv, name, QFileInfo(input).absoluteFilePath(), error)) {
        Fail(error.Text());
        return ExitFolder;
    }
    Out(QStringLiteral("%1: %2 rows").arg(QFileInfo(name).absoluteFilePath()).arg(rows));
    return ExitOk;
}

const TToolRegistration Registration({QStringLiteral("csv"),
                                      QStringLiteral("write a monthly file's interval powers as CSV"), CsvUsage,
                                      RunCsv});

} // namespace
