#include "MonthFile.h"
#include "Tool.h"

#include "app/Engine.h"
#include "app/Settings.h"
#include "core/TextFunctions.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"

#include <QFileInfo>

TToolMonth::TToolMonth() = default;
TToolMonth::~TToolMonth() = default;

bool TToolMonth::Open(const QString& fileName, const TSettings& settings)
{
    const QFileInfo info(fileName);
    if (!info.isFile()) {
        Error = QStringLiteral("no such file: %1").arg(fileName);
        return false;
    }
    Archive = std::make_unique<TArchiveQDR>(info.absolutePath());
    View = std::make_unique<TDispArch>(Archive.get(), static_cast<uint8_t>(60 / settings.Intervaly));
    if (!View->Open(info.absoluteFilePath())) {
        Error = QStringLiteral("%1 is not a monthly archive file").arg(fileName);
        return false;
    }
    Choice.Caption = MonthYearText(View->Month());
    Choice.Labels = MeasurementLabels(settings);
    return true;
}

int TToolMonth::OpenFromArgs(const QStringList& args, const QString& command, TSettings& settings)
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
    if (!Open(options.Positional.first(), settings)) {
        Fail(Error);
        return ExitUsage;
    }
    Output = options.Value(QStringLiteral("output"));
    return -1;
}
