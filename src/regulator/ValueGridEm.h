#pragma once
// The meters grid: instantaneous and average power of the main measurement
// and of up to 12 meters. Setting it also feeds the single power values of
// the consumption evaluation and, from the configured reactive meters, the
// reactive power.
#include "values/ValueGrid.h"
#include "values/ValueKinds.h"

#include <array>

class TValueGridEm : public TValueGrid {
public:
    static constexpr int Meters = 12;
    static constexpr int ReadingBytes = (Meters + 1) * 4;

    // meterNames: entry n - 1 is the configured name of meter n (empty or
    // missing: none). generation is read whenever rows are shown. The value
    // references are not owned and may be null.
    TValueGridEm(const QString& title, const uint8_t& generation, TValueWord* powerValue, TValueWord* averageValue,
                 TValueInt* reactiveValue, uint8_t meterPlus, uint8_t meterMinus, uint16_t maxAge,
                 const QStringList& meterNames = {});
    // The measurement labels by channel: "00: " + title, then "NN: name" for
    // each named meter and an empty text for one without a name.
    static QStringList MakeRowNames(const QString& title, const QStringList& meterNames);
    // The meters the regulator reports: each one without a configured name
    // is listed as "NN: Elektromer n" until it is given one.
    void SetReportedMeters(int meters);
    // Names configured anew: the rows follow at once, the reported meters
    // still listed.
    void SetMeterNames(const QStringList& meterNames);

    // readings: 52 bytes, for the main measurement and meters 1 to 12 the
    // instantaneous and the average power, little-endian.
    void SetReadings(const uint8_t* readings, uint16_t kindWord);
    bool IsReactiveMeter(int m) const;

    void GetCell(int column, int row, QString& text, int& alignment) const override;
    bool IsRowShown(int column, int row) const override;

    // [entry][0] instantaneous, [entry][1] average; entry 0 the main measurement.
    std::array<std::array<uint16_t, 2>, Meters + 1> Readings{};
    uint16_t KindWord = 0;
    const uint8_t& GenerationRef;
    TValueWord* PowerValue;
    TValueWord* AverageValue;
    TValueInt* ReactiveValue;
    uint8_t MeterPlus;
    uint8_t MeterMinus;
    uint8_t MeterCount = 0;

private:
    QString Title;
    QStringList MeterNames;
    int ReportedMeters = 0;
};
