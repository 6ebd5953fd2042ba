#pragma once
// The names an operator reads for the measurements and the appliances: one
// rule for the pages, the files, the prints, the reports and the telemetry,
// so a meter is called the same wherever it is met. A meter or appliance the
// configuration gives no name is called by its kind and number.
#include <QString>
#include <QStringList>

// The name of measurement 00, the regulator's own.
QString MainMeasurementTitle();

// configured (spaces around it dropped), or "Elektromer n" when that is empty.
QString MeterName(int meter, const QString& configured);
// configured (spaces around it dropped), or "Spotrebič n" when that is empty.
QString ApplianceName(int appliance, const QString& configured);

// A measurement as lists show it: "03: Kompresory".
QString MeasurementLabel(int channel, const QString& name);
// The label of channel from labels (by channel number, "03: Kompresory" or
// empty for a meter without a name): the label given, else "00: Hlavné
// meranie" or "NN: Elektromer n". Only for channels that exist: a meter the
// regulator reports or a month's record holds.
QString MeasurementLabel(int channel, const QStringList& labels);
