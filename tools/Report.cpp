// qdrtool report: the month as one PDF an energy manager reads (the summary,
// the tables and the graphs), written and, with --mail, mailed from a timer
// on the first of the month without anyone at the window.
#include "MonthFile.h"
#include "Tool.h"

#include "app/Settings.h"
#include "core/SafeFile.h"
#include "core/TextFunctions.h"
#include "output/MailClient.h"
#include "print/MonthReport.h"
#include "regulator/DispArch.h"

#include <QDate>
#include <QFileInfo>

namespace {

const QString ReportUsage = QStringLiteral(
    "usage: qdrtool report MONTHFILE|last [-o FILE.pdf] [--limit KW] [--mail [--to ADDR]] [--config FILE]\n"
    "\n"
    "Writes the monthly report of an archive file (2026nov.qdr, ...) as an A4 PDF: page 1 sums\n"
    "the month up (energy, peak with its time and mean of every measurement, the ten highest\n"
    "intervals and the daily energy of measurement 00, the intervals above the limit, records\n"
    "without a value); then the tables and the graphs as the window prints them.\n"
    "'last' is the previous month's file in the current folder, for a timer on the 1st.\n"
    "\n"
    "  -o, --output FILE  the PDF (default: the month's text-file name with .pdf, e.g.\n"
    "                     2026NOV.pdf); written beside it and renamed over it when whole;\n"
    "                     the monthly file itself, a .qdr name, a link, FIFO or device is\n"
    "                     refused\n"
    "  --limit KW         the regulated power measurement 00 is held to (exceedances)\n"
    "  --mail             send the PDF through the SMTP server of section MAIL with the\n"
    "                     subject 'Mesacny archiv' and the month\n"
    "  --to ADDR          recipient (default ToAdr of section MAIL)\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "\n"
    "Exit status: 0 written (and with --mail, accepted by the server); 1 the mail was not\n"
    "sent; 2 bad command line, configuration, monthly file (one without a record dated within\n"
    "its month: nothing to write) or refused output, and with --mail no server or recipient\n"
    "configured or a PDF larger than the server takes; 4 the PDF cannot be written.");

// The previous month's file in the current folder.
QString LastMonthFile()
{
    const QDate last = QDate::currentDate().addMonths(-1);
    return MonthFileName(static_cast<uint16_t>(last.year() * 12 + last.month() - 1), QStringLiteral("qdr"));
}

int RunReport(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("output"), QStringLiteral("limit"), QStringLiteral("to")},
                       {QStringLiteral("mail")}, 1, {{QStringLiteral("o"), QStringLiteral("output")}}) ||
        options.Positional.size() != 1) {
        Fail((options.Error.isEmpty() ? QStringLiteral("name one monthly file or 'last'") : options.Error) +
             QStringLiteral(" (try 'qdrtool help report')"));
        return ExitUsage;
    }
    int limit = 0;
    if (!options.Integer(QStringLiteral("limit"), 1, 65534, limit)) {
        Fail(options.IntegerError);
        return ExitUsage;
    }
    const bool mail = options.Has(QStringLiteral("mail"));
    if (options.Has(QStringLiteral("to")) && !mail) {
        Fail(QStringLiteral("--to goes with --mail (try 'qdrtool help report')"));
        return ExitUsage;
    }
    TSettings settings;
    if (!ReadToolSettings(options.Value(QStringLiteral("config")), settings))
        return ExitUsage;
    const QString to = options.Value(QStringLiteral("to"), settings.Mail.ToAdr);
    // Said before the month is drawn: a timer's log shows it at once.
    if (mail && settings.Mail.Host.isEmpty()) {
        Fail(QStringLiteral("bad configuration: MAIL Host is empty"));
        return ExitUsage;
    }
    if (mail && TMailClient::RecipientAddress(to).isEmpty()) {
        Fail(QStringLiteral("no recipient: give --to or MAIL ToAdr"));
        return ExitUsage;
    }
    QString monthFile = options.Positional.first();
    if (monthFile == QLatin1String("last")) {
        monthFile = LastMonthFile();
        if (!QFileInfo::exists(monthFile) && NotRegularProblem(monthFile).isEmpty()) {
            Fail(QStringLiteral("no file of last month here: %1").arg(monthFile));
            return ExitUsage;
        }
    }
    TToolMonth month;
    if (const int exit = month.Load(monthFile, options.Value(QStringLiteral("output")), QStringLiteral("pdf"), settings);
        exit >= 0)
        return exit;
    const QString& output = month.Output;
    TReportRequest request;
    request.Titles.Caption = month.Choice.Caption;
    request.Titles.Labels = month.Choice.Labels;
    request.Titles.Site = settings.Miesto;
    request.Limit = static_cast<uint16_t>(limit);
    request.Contract = settings.Contract;
    request.TimeZone = settings.TimeZone;
    if (!settings.Contract.Problem.isEmpty())
        Fail(QStringLiteral("configuration: %1 (page 1 says so instead of the reserved capacity)")
                 .arg(settings.Contract.Problem));
    TFileError error;
    if (WriteMonthReport(*month.View, request, output, {}, {}, error) != TPrintResult::Printed) {
        Fail(error.Text());
        return ExitFolder;
    }
    Out(QFileInfo(output).absoluteFilePath());
    if (!mail)
        return ExitOk;
    return MailFile(settings.Mail, output, to, QStringLiteral("Mesacny archiv ") + MonthText(month.View->Month()));
}

const TToolRegistration Registration({QStringLiteral("report"),
                                      QStringLiteral("write (and mail) a month's report as a PDF"), ReportUsage,
                                      RunReport});

} // namespace
