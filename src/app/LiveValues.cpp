#include "app/LiveValues.h"

#include "core/MeterNames.h"
#include "regulator/ArchiveQDR.h"

static_assert(TValueGridEm::ReadingBytes == std::tuple_size_v<decltype(TMeasurement3::Readings)>,
              "the meters grid reads the readings as the block carries them");

void TLiveValues::Create(TArchiveQDR& archive, TInterfaceME& me, const TSettings& settings, const uint8_t& generation)
{
    Me = &me;
    Values = std::make_unique<TValues>(Capacity);
    TValues& v = *Values;
    ValueTa = v.AddNew<TValueStrings>(MaxAge);
    ValueTa->Strings << QStringLiteral("VT") << QStringLiteral("NT");
    ValueRs = v.AddNew<TValueWord>(MaxAge);
    ValuePmV = v.AddNew<TValueWord>(MaxAge);
    ValuePmN = v.AddNew<TValueWord>(MaxAge);
    ValueTmV = v.AddNew<TValueDateTime>(MaxAge);
    ValueTmN = v.AddNew<TValueDateTime>(MaxAge);
    ValueTr = v.AddNew<TValueDateTime>(MaxAge);
    GridEm = v.AddNew<TValueGridEm>(MainMeasurementTitle(), generation, me.Power, me.AveragePower,
                                    me.ReactivePower, settings.JalPlus, settings.JalMinus, MaxAge,
                                    settings.MeterNames);
    GridAr = v.AddNew<TValueGridAr>(&archive, MaxAge);
    ListIO = v.AddNew<TValueListIO>(MaxAge, settings.ApplianceNames, settings.SignalNames);
    ValueId = v.AddNew<TValueString>(MaxAge);
    ValueId->ClearMaxAge();
    ValueTres = v.AddNew<TValueDateTime>(MaxAge);
    ValueTnmi = v.AddNew<TValueDateTime>(MaxAge);
    ValueTini = v.AddNew<TValueDateTime>(MaxAge);
    ValueTcfg = v.AddNew<TValueDateTime>(MaxAge);
    ValueKem = v.AddNew<TValueWord>(MaxAge);
    ValueKrs = v.AddNew<TValueWord>(MaxAge);
    ValueKso = v.AddNew<TValueWord>(MaxAge);
    ValuePregV = v.AddNew<TValueWord>(MaxAge);
    ValuePregN = v.AddNew<TValueWord>(MaxAge);
    for (size_t i = 0; i < 4; ++i) {
        ValueQ[i] = v.AddNew<TValueDateTime>(MaxAge);
        ListQ[i] = v.AddNew<TValueListQ>(me.IntervalMinutes, MaxAge);
    }
}

void TLiveValues::Release()
{
    Values.reset();
}

const QStringList& TLiveValues::ControlNames()
{
    static const QStringList names = {
        QStringLiteral("LabelTd"),    QStringLiteral("LabelTc"),    QStringLiteral("LabelTa"),
        QStringLiteral("LabelPa"),    QStringLiteral("LabelPr"),    QStringLiteral("LabelRs"),
        QStringLiteral("LabelPmV"),   QStringLiteral("LabelPmN"),   QStringLiteral("LabelTmV"),
        QStringLiteral("LabelTmN"),   QStringLiteral("LabelTr"),    QStringLiteral("DrawGridEm"),
        QStringLiteral("DrawGridAr"), QStringLiteral("ListBoxIO"),  QStringLiteral("LabelId"),
        QStringLiteral("LabelTres"),  QStringLiteral("LabelTnmi"),  QStringLiteral("LabelTini"),
        QStringLiteral("LabelTcfg"),  QStringLiteral("LabelKem"),   QStringLiteral("LabelKrs"),
        QStringLiteral("LabelKso"),   QStringLiteral("LabelPregV"), QStringLiteral("LabelPregN"),
        QStringLiteral("LabelQ0"),    QStringLiteral("LabelQ1"),    QStringLiteral("LabelQ2"),
        QStringLiteral("LabelQ3"),    QStringLiteral("ListBoxQ0"),  QStringLiteral("ListBoxQ1"),
        QStringLiteral("ListBoxQ2"),  QStringLiteral("ListBoxQ3"),
        // The consumption page.
        QStringLiteral("LabelPd"),    QStringLiteral("LabelAd"),    QStringLiteral("PanelDt"),
        QStringLiteral("LabelQa"),    QStringLiteral("LabelCf"),    QStringLiteral("LabelPq"),
        QStringLiteral("LabelAh"),    QStringLiteral("LabelTh"),    QStringLiteral("LabelPo"),
        QStringLiteral("LabelAo"),    QStringLiteral("LabelPp"),    QStringLiteral("LabelAp"),
    };
    return names;
}

TValue* TLiveValues::Value(const QString& name) const
{
    const TInterfaceME& me = *Me;
    const std::pair<const char*, TValue*> table[] = {
        {"LabelTd", me.TimeStamp},     {"PanelDt", me.TimeStamp},      {"LabelTc", me.IntervalTime},
        {"LabelPa", me.Power},         {"LabelPr", me.AveragePower},   {"LabelTa", ValueTa},
        {"LabelRs", ValueRs},          {"LabelPmV", ValuePmV},         {"LabelPmN", ValuePmN},
        {"LabelTmV", ValueTmV},        {"LabelTmN", ValueTmN},         {"LabelTr", ValueTr},
        {"DrawGridEm", GridEm},        {"DrawGridAr", GridAr},         {"ListBoxIO", ListIO},
        {"LabelId", ValueId},          {"LabelTres", ValueTres},       {"LabelTnmi", ValueTnmi},
        {"LabelTini", ValueTini},      {"LabelTcfg", ValueTcfg},       {"LabelKem", ValueKem},
        {"LabelKrs", ValueKrs},        {"LabelKso", ValueKso},         {"LabelPregV", ValuePregV},
        {"LabelPregN", ValuePregN},    {"LabelQ0", ValueQ[0]},         {"LabelQ1", ValueQ[1]},
        {"LabelQ2", ValueQ[2]},        {"LabelQ3", ValueQ[3]},         {"ListBoxQ0", ListQ[0]},
        {"ListBoxQ1", ListQ[1]},       {"ListBoxQ2", ListQ[2]},        {"ListBoxQ3", ListQ[3]},
        {"LabelPd", me.AllowedPower},  {"LabelAd", me.AgreedEnergy},   {"LabelQa", me.ReactivePower},
        {"LabelCf", me.PowerFactor},   {"LabelPq", me.OptimalIntervalPower},
        {"LabelAh", me.MeasuredEnergy}, {"LabelTh", me.HourTime},      {"LabelPo", me.OptimalPower},
        {"LabelAo", me.OptimalEnergy}, {"LabelPp", me.PowerDeviation}, {"LabelAp", me.EnergyDeviation},
    };
    for (const auto& [control, value] : table)
        if (name == QLatin1String(control))
            return value;
    return nullptr;
}

void TLiveValues::Apply(const TIdentification& id)
{
    ValueId->SetText(id.Text, 0);
}

void TLiveValues::Apply(const TInformation& info)
{
    ValueTini->SetValue(info.Initialised, 0);
    ValueTnmi->SetValue(info.PowerFailure, 0);
    ValueTcfg->SetValue(info.Configured, 0);
    ValueTres->SetValue(info.Reset, 0);
    ValueKrs->SetValue(uint16_t(info.Stages), 0);
    ValueKso->SetValue(uint16_t(info.Appliances), 0);
    ListIO->SetReportedAppliances(info.Appliances);
    ValueKem->SetValue(uint16_t(info.Meters), 0);
    GridEm->SetReportedMeters(info.Meters);
    GridEm->MeterCount = info.Channels;
}

void TLiveValues::Apply(const TMeasurement& m, bool tableAgrees)
{
    Me->TimeStamp->SetValue(m.TimeStamp, 0);
    Me->IntervalTime->SetValue(m.IntervalTime, 0);
    Me->Power->SetValue(m.Power, 0);
    Me->AveragePower->SetValue(m.Average, 0);
    ValueRs->SetValue(uint16_t(m.Stage), 0);
    ValueTa->SetIndex(m.Tariff, 0);
    ValuePmV->SetValue(m.MaximumVt, 0);
    ValuePmN->SetValue(m.MaximumNt, 0);
    ValueTmV->SetValue(m.MaximumVtTime, 0);
    ValueTmN->SetValue(m.MaximumNtTime, 0);
    if (tableAgrees)
        GridAr->SetTable(m.Table.data());
}

void TLiveValues::Apply(const TMeasurement3& m, bool tableAgrees)
{
    Me->TimeStamp->SetValue(m.TimeStamp, 0);
    Me->IntervalTime->SetValue(m.IntervalTime, 0);
    GridEm->SetReadings(m.Readings.data(), m.Kinds());
    if (tableAgrees)
        GridAr->SetTable(m.Table().data());
}

void TLiveValues::ApplyEvaluation(const TMeasurement3& m)
{
    if (!m.Full)
        return;
    Me->AllowedPower->SetValue(m.AllowedPower, 0);
    Me->OptimalIntervalPower->SetValue(m.OptimalIntervalPower, 0);
    Me->Date->SetValue(m.Date, 0);
    Me->Number->SetValue(m.Number, 0);
    Me->IntervalNumber->SetValue(m.IntervalNumber, 0);
    Me->AgreedEnergy->SetValue(m.AgreedEnergy, 0);
    Me->MeasuredEnergy->SetValue(m.MeasuredEnergy, 0);
}

void TLiveValues::Apply(const TRecordSlot& record, size_t slot)
{
    slot &= 3u;
    ValueQ[slot]->SetValue(record.Time, 0);
    ListQ[slot]->SetSamples(record.Samples.data(), record.SampleCount);
}

void TLiveValues::Apply(const TStates& s)
{
    Me->TimeStamp->SetValue(s.TimeStamp, 0);
    ValueRs->SetValue(uint16_t(s.Stage), 0);
    ValueTa->SetIndex(s.Tariff, 0);
    ListIO->SetStates(s.SignalStates, s.ApplianceStates);
    ValuePmV->SetValue(s.MaximumVt, 0);
    ValuePmN->SetValue(s.MaximumNt, 0);
    ValueTmV->SetValue(s.MaximumVtTime, 0);
    ValueTmN->SetValue(s.MaximumNtTime, 0);
    ValueTr->SetValue(s.MaximaZeroed, 0);
}

void TLiveValues::ApplyPowers(const TRegulatedPowers& powers)
{
    ValuePregV->SetValue(powers.Vt(), 0);
    ValuePregN->SetValue(powers.Nt(), 0);
}
