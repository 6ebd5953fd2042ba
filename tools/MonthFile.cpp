#include "MonthFile.h"
#include "Tool.h"

#include "app/Engine.h"
#include "app/Settings.h"
#include "core/SafeFile.h"
#include "core/TextFunctions.h"
#include "output/RecordClock.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"

#include <QFileInfo>

TToolMonth::TToolMonth() = default;
TToolMonth::~TToolMonth() = default;

bool TToolMonth::Open(const QString& fileName, const TSettings& settings)
{
    const QFileInfo info(fileName);
    if (Error = NotRegularProblem(fileName); !Error.isEmpty())
        return false;
    if (!info.exists()) {
        Error = QStringLiteral("no such file: %1").arg(fileName);
        return false;
    }
    Archive = std::make_unique<TArchiveQDR>(info.absolutePath());
    View = std::make_unique<TDispArch>(Archive.get(), static_cast<uint8_t>(60 / settings.Intervaly));
    const bool shown = View->Open(info.absoluteFilePath());
    // Only a file read whole is written out: anything less would pass for
    // the month's tables.
    const TFileMem* file = Archive->Find(info.absoluteFilePath());
    if (file && file->LoadResult() != TFileMem::TLoad::Whole && !file->LoadProblem().isEmpty()) {
        Error = file->LoadProblem();
        return false;
    }
    if (!shown) {
        Error = QStringLiteral("%1 is not a monthly archive file").arg(fileName);
        return false;
    }
    if (View->Month() == 0) {
        Error = QStringLiteral("%1 names no month in its header").arg(fileName);
        return false;
    }
    Choice.Caption = MonthYearText(View->Month());
    Choice.Labels = MeasurementLabels(settings);
    return true;
}

int TToolMonth::Load(const QString& input, const QString& output, const QString& extension,
                     const TSettings& settings, bool allowStdout)
{
    if (!Open(input, settings)) {
        Fail(Error);
        return ExitUsage;
    }
    // An empty table would pass for the month's.
    if (Error = NothingToWrite(*View, input); !Error.isEmpty()) {
        Fail(Error);
        return ExitUsage;
    }
    Output = output.isEmpty() ? MonthText(View->Month()) + QLatin1Char('.') + extension : output;
    if (allowStdout && Output == QLatin1String("-"))
        return -1;
    if (Error = OutputProblem(Output, input); !Error.isEmpty()) {
        Fail(Error);
        return ExitUsage;
    }
    return -1;
}

int TToolMonth::OpenFromArgs(const QStringList& args, const QString& command, const QString& extension,
                             TSettings& settings)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("output")}, {}, 1,
                       {{QStringLiteral("o"), QStringLiteral("output")}}) ||
        options.Positional.size() != 1) {
        Fail((options.Error.isEmpty() ? QStringLiteral("name one monthly file") : options.Error) +
             QStringLiteral(" (try 'qdrtool help %1')").arg(command));
        return ExitUsage;
    }
    if (!ReadToolSettings(options.Value(QStringLiteral("config")), settings))
        return ExitUsage;
    return Load(options.Positional.first(), options.Value(QStringLiteral("output")), extension, settings);
}
