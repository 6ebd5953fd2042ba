#pragma once
// The values of the live pages: created once, each named after the control
// that shows it, found by that name, and fed from the decoded reply blocks.
// Knows neither the link nor the schedule: what a block means for the
// archive or the followers is the engine's.
#include "app/Settings.h"
#include "regulator/IdentificationReply.h"
#include "regulator/InformationReply.h"
#include "regulator/Measurement3Reply.h"
#include "regulator/MeasurementReply.h"
#include "regulator/PowerReply.h"
#include "regulator/RecordSlotReply.h"
#include "regulator/StatesReply.h"
#include "regulator/ValueGridAr.h"
#include "regulator/ValueGridEm.h"
#include "regulator/ValueListIO.h"
#include "regulator/ValueListQ.h"
#include "values/InterfaceME.h"
#include "values/ValueKinds.h"
#include "values/Values.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <memory>

class TArchiveQDR;

class TLiveValues {
public:
    static constexpr uint16_t Capacity = 64;
    static constexpr uint16_t MaxAge = 40;

    TLiveValues() = default;
    TLiveValues(const TLiveValues&) = delete;
    TLiveValues& operator=(const TLiveValues&) = delete;

    // Creates every value in display order. The archive grid follows
    // archive, the meters grid feeds the consumption values of me and reads
    // generation whenever it shows its rows; all three must outlive the
    // values (see Release).
    void Create(TArchiveQDR& archive, TInterfaceME& me, const TSettings& settings, const uint8_t& generation);
    // Frees the values, before what they refer to goes.
    void Release();

    std::unique_ptr<TValues> Values;
    TValueStrings* ValueTa = nullptr;     // tariff, "VT"/"NT"
    TValueWord* ValueRs = nullptr;        // regulation stage
    TValueWord* ValuePmV = nullptr;       // maxima reached, kW
    TValueWord* ValuePmN = nullptr;
    TValueDateTime* ValueTmV = nullptr;   // times of the maxima
    TValueDateTime* ValueTmN = nullptr;
    TValueDateTime* ValueTr = nullptr;    // maxima zeroed
    TValueGridEm* GridEm = nullptr;       // meters
    TValueGridAr* GridAr = nullptr;       // the regulator's archive month table
    TValueListIO* ListIO = nullptr;       // appliances and signals
    TValueString* ValueId = nullptr;      // identification, never expires
    TValueDateTime* ValueTres = nullptr;  // last RESET
    TValueDateTime* ValueTnmi = nullptr;  // last power failure
    TValueDateTime* ValueTini = nullptr;  // initialisation
    TValueDateTime* ValueTcfg = nullptr;  // last configuration change
    TValueWord* ValueKem = nullptr;       // meters
    TValueWord* ValueKrs = nullptr;       // regulation stages
    TValueWord* ValueKso = nullptr;       // appliances
    TValueWord* ValuePregV = nullptr;     // regulated powers, kW
    TValueWord* ValuePregN = nullptr;
    std::array<TValueDateTime*, 4> ValueQ{}; // interval record slots: time
    std::array<TValueListQ*, 4> ListQ{};      // and samples

    // The value a control shows, by the control's name (LabelTa, DrawGridEm,
    // ListBoxQ2, LabelPa, LabelAp, ...), or nullptr.
    TValue* Value(const QString& controlName) const;
    // Every control name Value knows, in display order.
    static const QStringList& ControlNames();

    // The decoded blocks into the values. tableAgrees: the block's month
    // table may be taken (see TReplyAgreement); without it the rest is.
    void Apply(const TIdentification& id);
    // Not the regulated powers: see ApplyPowers.
    void Apply(const TInformation& info);
    void Apply(const TMeasurement& m, bool tableAgrees);
    // The part blocks 8 and 10 share; then block 10's consumption figures
    // (nothing for a block 8), once the interval has been followed.
    void Apply(const TMeasurement3& m, bool tableAgrees);
    void ApplyEvaluation(const TMeasurement3& m);
    void Apply(const TRecordSlot& record, size_t slot);
    void Apply(const TStates& states);
    void ApplyPowers(const TRegulatedPowers& powers);

private:
    TInterfaceME* Me = nullptr;
};
