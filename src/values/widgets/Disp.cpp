#include "values/widgets/Disp.h"

#include "core/widgets/Colors.h"
#include "values/Value.h"

namespace {
using namespace Colors;
} // namespace

TDisp::TDisp(TValue* value)
    : Value(value)
{
    for (uint8_t state = Missing; state <= Fresh; ++state)
        FreshnessColors[state] = DefaultColors(state);
    if (value)
        AgeingLimit = AgeingLimitOf(*value);
}

TDisp::TColors TDisp::DefaultColors(uint8_t state)
{
    switch (state) {
    case Fresh: return {White, Black};
    case Ageing: return {White, Silver};
    default: return {Grey, Silver};
    }
}

uint16_t TDisp::AgeingLimitOf(const TValue& value) { return static_cast<uint16_t>(value.MaxAge * 3 / 4); }

uint8_t TDisp::FreshnessOf(const TValue* value) { return FreshnessAt(value, value ? AgeingLimitOf(*value) : 0); }

uint8_t TDisp::FreshnessAt(const TValue* value, uint16_t ageingLimit)
{
    if (!value || !value->IsValid())
        return Missing;
    if (value->Stale)
        return Ageing;
    if (value->NeverExpires())
        return Fresh;
    return value->Age >= ageingLimit ? Ageing : Fresh;
}

void TDisp::GetColors(QColor& background, QColor& text) const
{
    const TColors& colors = FreshnessColors[Freshness <= Fresh ? Freshness : uint8_t(Missing)];
    background = colors.Background;
    text = colors.Text;
}

void TDisp::SetFreshnessColors(const QColor& background, const QColor& text, uint8_t state)
{
    if (state > Fresh)
        return;
    FreshnessColors[state] = {background, text};
    if (state == Freshness)
        Refresh();
}

uint8_t TDisp::ComputeFreshness() const { return FreshnessAt(Value, AgeingLimit); }

void TDisp::Update()
{
    const uint8_t old = Freshness;
    Freshness = ComputeFreshness();
    // The first update paints even when nothing changed, so that a control
    // never keeps the text and colours it was designed with (a display with
    // no value, or one bound after its value's first tick).
    if (!FPainted || (Value && Value->Changed) || Freshness != old) {
        FPainted = true;
        Refresh();
    }
}
