#include "core/MeterNames.h"

#include "core/TextFunctions.h"

QString MainMeasurementTitle() { return QStringLiteral("Hlavné meranie"); }

QString MeterName(int meter, const QString& configured)
{
    const QString name = configured.trimmed();
    return name.isEmpty() ? QStringLiteral("Elektromer %1").arg(meter) : name;
}

QString ApplianceName(int appliance, const QString& configured)
{
    const QString name = configured.trimmed();
    return name.isEmpty() ? QStringLiteral("Spotrebič %1").arg(appliance) : name;
}

QString MeasurementLabel(int channel, const QString& name)
{
    return IntToStrZero(uint32_t(channel), 2) + QStringLiteral(": ") + name;
}

QString MeasurementLabel(int channel, const QStringList& labels)
{
    const QString label = channel >= 0 && channel < labels.size() ? labels.at(channel) : QString();
    if (!label.trimmed().isEmpty())
        return label;
    return MeasurementLabel(channel, channel == 0 ? MainMeasurementTitle() : MeterName(channel, QString()));
}
