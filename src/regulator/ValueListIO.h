#pragma once
// The appliances and input signals: configured names and switched/active
// states, shown one tab at a time.
#include "values/ValueList.h"

#include <QStringList>

#include <cstdint>

class TValueListIO : public TValueList {
public:
    static constexpr int MaxItems = 64;
    enum : int32_t { TabAppliances = 0, TabSignals = 1 };

    // Entry n - 1 of each list is the configured name of number n; only the
    // first 64 count, and missing entries are empty.
    TValueListIO(uint16_t maxAge, const QStringList& applianceNames, const QStringList& signalNames);

    // The appliances the regulator reports: the list holds at least that
    // many, each one without a configured name as "Spotrebič n".
    void SetReportedAppliances(int count);

    // 8 bytes each, little-endian: bit n - 1 is signal (appliance) n.
    void SetStates(const uint8_t* signalStates, const uint8_t* applianceStates);
    void SetStates(uint64_t signalStates, uint64_t applianceStates);

    bool ItemExists(int index) const override;
    // Name and state of item index + 1 of the current tab.
    QString ItemName(int index) const;
    bool ItemActive(int index) const;

    int32_t ApplianceCount = 0;
    int32_t SignalCount = 0;
    int32_t ItemCount = 0;
    QStringList SignalNames;
    QStringList ApplianceNames;
    uint64_t SignalStates = 0;
    uint64_t ApplianceStates = 0;
    int32_t Tab = TabAppliances;

private:
    int32_t NamedAppliances = 0;
    int32_t ReportedAppliances = 0;
};
