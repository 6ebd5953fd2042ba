#include "values/widgets/DispLimit.h"

#include "values/ValueKinds.h"

TDispLimit::TDispLimit(TValue* value, std::unique_ptr<TDrawString> drawer)
    : TDispString(value, std::move(drawer))
{
}

void TDispLimit::GetColors(QColor& background, QColor& text) const
{
    TDispString::GetColors(background, text);
    if (Freshness < Fresh)
        return;
    const TColors* colors = nullptr;
    if (IsBelow())
        colors = &LowColors;
    if (IsAbove())
        colors = &HighColors;
    if (colors) {
        background = colors->Background;
        text = colors->Text;
    }
}

// Not repainted here: the colours are set while the window is built, before
// the first tick paints.
void TDispLimit::SetLowColors(const QColor& background, const QColor& text) { LowColors = {background, text}; }

void TDispLimit::SetHighColors(const QColor& background, const QColor& text) { HighColors = {background, text}; }

TDispInt::TDispInt(TValue* value, QLabel* label)
    : TDispLimit(value, std::make_unique<TDrawLabel>(label))
{
}

bool TDispInt::IsBelow() const
{
    const auto* value = dynamic_cast<const TValueInt*>(Value);
    return value && value->IsValid() && value->GetValue() < Low;
}

bool TDispInt::IsAbove() const
{
    const auto* value = dynamic_cast<const TValueInt*>(Value);
    return value && value->IsValid() && value->GetValue() > High;
}

void TDispInt::SetLow(int16_t low)
{
    Low = low;
    if (Freshness == Fresh)
        Refresh();
}

void TDispInt::SetHigh(int16_t high)
{
    High = high;
    if (Freshness == Fresh)
        Refresh();
}
