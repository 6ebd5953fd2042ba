#include "regulator/ValueListIO.h"

#include "core/MeterNames.h"

#include <algorithm>

namespace {
uint64_t GetSet64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
} // namespace

TValueListIO::TValueListIO(uint16_t maxAge, const QStringList& applianceNames, const QStringList& signalNames)
    : TValueList(maxAge)
{
    for (int n = 1; n <= MaxItems; ++n) {
        const QString appliance = n - 1 < applianceNames.size() ? applianceNames.at(n - 1) : QString();
        const QString signal = n - 1 < signalNames.size() ? signalNames.at(n - 1) : QString();
        ApplianceNames << appliance;
        SignalNames << signal;
        if (!appliance.isEmpty())
            ApplianceCount = n;
        if (!signal.isEmpty())
            SignalCount = n;
    }
    NamedAppliances = ApplianceCount;
    ItemCount = std::max(ApplianceCount, SignalCount);
}

void TValueListIO::SetReportedAppliances(int count)
{
    count = std::clamp(count, 0, int(MaxItems));
    if (count == ReportedAppliances)
        return;
    ReportedAppliances = count;
    ApplianceCount = std::max(NamedAppliances, count);
    ItemCount = std::max(ApplianceCount, SignalCount);
    // Repainted with the new rows at the next tick, whether or not the
    // states change.
    ChangedPending = true;
}

void TValueListIO::SetStates(const uint8_t* signalStates, const uint8_t* applianceStates)
{
    SetStates(GetSet64(signalStates), GetSet64(applianceStates));
}

void TValueListIO::SetStates(uint64_t signalStates, uint64_t applianceStates)
{
    SignalStates = signalStates;
    ApplianceStates = applianceStates;
    Validate(0);
}

bool TValueListIO::ItemExists(int index) const
{
    if (index < 0)
        return false;
    if (Tab == TabAppliances)
        return index < ApplianceCount;
    if (Tab == TabSignals)
        return index < SignalCount;
    return false;
}

QString TValueListIO::ItemName(int index) const
{
    if (!ItemExists(index))
        return QString();
    if (Tab == TabSignals)
        return SignalNames.at(index);
    const QString& name = ApplianceNames.at(index);
    return index < ReportedAppliances ? ApplianceName(index + 1, name) : name;
}

bool TValueListIO::ItemActive(int index) const
{
    if (!ItemExists(index))
        return false;
    const uint64_t states = Tab == TabAppliances ? ApplianceStates : SignalStates;
    return (states >> index) & 1u;
}
