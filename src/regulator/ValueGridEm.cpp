#include "regulator/ValueGridEm.h"

#include "core/LittleEndian.h"
#include "core/MeterNames.h"

#include <algorithm>

TValueGridEm::TValueGridEm(const QString& title, const uint8_t& generation, TValueWord* powerValue,
                           TValueWord* averageValue, TValueInt* reactiveValue, uint8_t meterPlus, uint8_t meterMinus,
                           uint16_t maxAge, const QStringList& meterNames)
    : TValueGrid(maxAge)
    , GenerationRef(generation)
    , PowerValue(powerValue)
    , AverageValue(averageValue)
    , ReactiveValue(reactiveValue)
    , MeterPlus(meterPlus)
    , MeterMinus(meterMinus)
    , Title(title)
    , MeterNames(meterNames)
{
    // A difference of two meters can be negative, so it shows its sign.
    if (ReactiveValue && MeterPlus > 0 && MeterMinus > 0)
        ReactiveValue->ShowPlus = true;
    ColNames << QStringLiteral("MERANIE         \\         Výkon :") << QStringLiteral("okamžitý")
             << QStringLiteral("priemerný");
    RowNames = MakeRowNames(title, meterNames);
}

QStringList TValueGridEm::MakeRowNames(const QString& title, const QStringList& meterNames)
{
    QStringList names{QStringLiteral("00: ") + title};
    for (int n = 1; n <= Meters; ++n) {
        const QString name = n - 1 < meterNames.size() ? meterNames.at(n - 1) : QString();
        names << (name.trimmed().isEmpty() ? QString() : MeasurementLabel(n, name.trimmed()));
    }
    return names;
}

void TValueGridEm::SetMeterNames(const QStringList& meterNames)
{
    MeterNames = meterNames;
    SetReportedMeters(ReportedMeters);
}

void TValueGridEm::SetReportedMeters(int meters)
{
    ReportedMeters = meters;
    QStringList names = MeterNames;
    for (int n = 1; n <= std::min(meters, int(Meters)); ++n) {
        while (names.size() < n)
            names << QString();
        names[n - 1] = MeterName(n, names.at(n - 1));
    }
    RowNames = MakeRowNames(Title, names);
}

void TValueGridEm::SetReadings(const uint8_t* readings, uint16_t kindWord)
{
    for (int e = 0; e <= Meters; ++e)
        for (int k = 0; k < 2; ++k) {
            const uint8_t* p = readings + e * 4 + k * 2;
            Readings[e][k] = GetWord(p);
        }
    KindWord = kindWord;
    Validate(0);
    if (PowerValue)
        PowerValue->SetValue(Readings[0][0], 0);
    if (AverageValue)
        AverageValue->SetValue(Readings[0][1], 0);
    if (ReactiveValue && IsReactiveMeter(MeterPlus)) {
        uint16_t q = Readings[MeterPlus][0];
        if (IsReactiveMeter(MeterMinus))
            q = static_cast<uint16_t>(q - Readings[MeterMinus][0]);
        ReactiveValue->SetValue(static_cast<int16_t>(q), 0);
    }
}

bool TValueGridEm::IsReactiveMeter(int m) const
{
    return m >= 1 && m <= MeterCount && m <= Meters && (KindWord >> (m - 1)) & 1u;
}

void TValueGridEm::GetCell(int column, int row, QString& text, int& alignment) const
{
    if (row < 1 || row > Meters)
        return;
    switch (column) {
    case 1:
    case 2:
        alignment = -4;
        text = QString::number(Readings[row][column - 1]);
        break;
    case 3:
        text = (KindWord >> (row - 1)) & 1u ? QStringLiteral("[kVAr]") : QStringLiteral("[kW  ]");
        break;
    default:
        break;
    }
}

bool TValueGridEm::IsRowShown(int, int row) const
{
    if (row == 0)
        return true;
    return GenerationRef == 3 && row > 0 && row < RowNames.size() && !RowNames.at(row).isEmpty();
}
