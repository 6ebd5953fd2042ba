#include "values/widgets/DispString.h"

#include "values/Value.h"

TDispString::TDispString(TValue* value, std::unique_ptr<TDrawString> drawer)
    : TDisp(value)
    , Drawer(std::move(drawer))
{
    if (Drawer)
        Drawer->GetColors(FreshnessColors[Fresh].Background, FreshnessColors[Fresh].Text);
}

std::unique_ptr<TDispString> TDispString::CreateLabel(TValue* value, QLabel* label)
{
    return std::make_unique<TDispString>(value, std::make_unique<TDrawLabel>(label));
}

std::unique_ptr<TDispString> TDispString::CreatePanel(TValue* value, QLabel* panel)
{
    return std::make_unique<TDispString>(value, std::make_unique<TDrawPanel>(panel));
}

void TDispString::Refresh()
{
    if (!Drawer)
        return;
    QColor background, text;
    GetColors(background, text);
    Drawer->SetColors(background, text);
    Drawer->SetText(GetText());
}

QString TDispString::GetText() const { return Value ? Value->GetDisplay() : QString(); }
