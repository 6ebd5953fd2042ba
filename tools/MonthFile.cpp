#include "MonthFile.h"

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
