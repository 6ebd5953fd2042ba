#pragma once
// Section ALARMY of the configuration: which alerts are raised, when, and
// where they are mailed. Read with the other settings and handed to the
// alerts as it stands; the mail server is the one of section MAIL.
#include "app/Projection.h"

#include <QString>
#include <QStringList>

#include <cstdint>

struct TAlertSettings {
    // The kinds Druhy chooses from. A pair (exceedance foreseen and cleared,
    // link lost and restored) is one kind: either both lines or neither.
    enum TKind : uint8_t {
        Projected,      // projected-exceedance, projected-cleared
        Exceedance,     // exceedance, interval-corrected
        Link,           // link-lost, link-restored
        ClockDrift,     // clock-drift
        RecordsLost,    // records-lost
        ArchiveStalled, // archive-stalled
        ArchiveGap,     // archive-gap
        KindCount
    };
    static constexpr uint32_t AllKinds = (1u << KindCount) - 1;

    uint32_t Kinds = AllKinds;   // Druhy: bit per TKind
    uint16_t Reserve = 0;        // Rezerva: kW below the limit where the warning starts
    uint16_t Earliest = 60;      // Najskor: seconds into the interval before any projection counts
    uint16_t LinkSeconds = 120;  // Spojenie: seconds of the link down before it is an alert
    uint16_t ClockSeconds = 120; // Hodiny: seconds the regulator's clock may be off
    TAverageReading Reading = TAverageReading::Elapsed; // Priemer
    QStringList Mail;            // Mail: recipients; empty: no mail
    uint32_t MailInterval = 900; // MailInterval: seconds between two mails of one kind

    bool Enabled(TKind kind) const { return (Kinds >> kind) & 1u; }

    // The name Druhy uses for a kind: the first alert line of the kind.
    static const char* KindName(TKind kind);
    // The kind of a name Druhy or an alert line uses (either line of a
    // pair), KindCount when none.
    static TKind KindOf(const QString& name);

    bool operator==(const TAlertSettings&) const = default;
};

inline const char* TAlertSettings::KindName(TKind kind)
{
    switch (kind) {
    case Projected: return "projected-exceedance";
    case Exceedance: return "exceedance";
    case Link: return "link-lost";
    case ClockDrift: return "clock-drift";
    case RecordsLost: return "records-lost";
    case ArchiveStalled: return "archive-stalled";
    case ArchiveGap: return "archive-gap";
    case KindCount: break;
    }
    return "";
}

inline TAlertSettings::TKind TAlertSettings::KindOf(const QString& name)
{
    const QString n = name.trimmed().toLower();
    for (uint8_t k = 0; k < KindCount; ++k)
        if (n == QLatin1String(KindName(TKind(k))))
            return TKind(k);
    if (n == QLatin1String("projected-cleared"))
        return Projected;
    if (n == QLatin1String("interval-corrected"))
        return Exceedance;
    if (n == QLatin1String("link-restored"))
        return Link;
    return KindCount;
}
