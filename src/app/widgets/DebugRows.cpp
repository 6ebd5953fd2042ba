#include "DebugRows.h"

#include "app/Engine.h"
#include "PageRecord.h"
#include "values/widgets/FormDebug.h"

#include <QStringList>

QString DebugCaption(const QString& controlName)
{
    static const std::pair<const char*, const char*> captions[] = {
        // MERANIE
        {"LabelTd", "Čas merania"},
        {"LabelTc", "Čas v intervale"},
        {"LabelTa", "Tarifa"},
        {"LabelPa", "Okamžitý výkon [kW]"},
        {"LabelPr", "Priemerný výkon [kW]"},
        {"LabelRs", "Stupeň regulácie"},
        {"LabelPmV", "Maximum VT [kW]"},
        {"LabelPmN", "Maximum NT [kW]"},
        {"LabelTmV", "Čas maxima VT"},
        {"LabelTmN", "Čas maxima NT"},
        {"LabelTr", "Nulovanie maxím"},
        // INFORMÁCIE
        {"LabelId", "Identifikácia regulátora"},
        {"LabelTres", "Posledný RESET"},
        {"LabelTnmi", "Posledný výpadok napätia"},
        {"LabelTini", "Inicializácia"},
        {"LabelTcfg", "Zmena konfigurácie"},
        {"LabelKem", "Počet elektromerov"},
        {"LabelKrs", "Počet stupňov regulácie"},
        {"LabelKso", "Počet spotrebičov"},
        {"LabelPregV", "Regulovaný výkon VT [kW]"},
        {"LabelPregN", "Regulovaný výkon NT [kW]"},
        // ODBER
        {"PanelDt", "Odber: čas merania"},
        {"LabelPd", "Dovolený intervalový výkon [kW]"},
        {"LabelPq", "Optimálny intervalový výkon [kW]"},
        {"LabelQa", "Jalový výkon [kVAr]"},
        {"LabelCf", "Účinník"},
        {"LabelPo", "Optimálny výkon [kW]"},
        {"LabelPp", "Optimálny výkon [%]"},
        {"LabelAd", "Hodinová práca dohodnutá [kWh]"},
        {"LabelAo", "Hodinová práca optimálna [kWh]"},
        {"LabelAh", "Hodinová práca nameraná [kWh]"},
        {"LabelAp", "Hodinová práca nameraná [%]"},
        {"LabelTh", "Čas v hodine"},
    };
    for (const auto& [control, caption] : captions)
        if (controlName == QLatin1String(control))
            return QString::fromUtf8(caption);
    // ZÁZNAM: the time of each interval record, under its slot's title.
    if (controlName.startsWith(QLatin1String("LabelQ"))) {
        bool number = false;
        const int slot = controlName.mid(6).toInt(&number);
        if (number && slot >= 0 && slot < TPageRecord::Slots)
            return QStringLiteral("Záznam %1: čas").arg(TPageRecord::SlotTitle(slot));
    }
    return {};
}

void AddDebugRows(TFormDebug& view, const TEngine& engine)
{
    for (const QString& name : TEngine::ControlNames())
        if (const QString caption = DebugCaption(name); !caption.isEmpty())
            view.AddRow(caption, engine.Value(name));
}
