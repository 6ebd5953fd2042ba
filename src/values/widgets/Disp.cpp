#include "values/widgets/Disp.h"

#include "core/widgets/Colors.h"
#include "values/Value.h"

namespace {
using namespace Colors;
} // namespace

TDisp::TDisp(TValue* value)
    : Value(value)
{
    FreshnessColors[Missing] = {Grey, Silver};
    FreshnessColors[Ageing] = {White, Silver};
    FreshnessColors[Fresh] = {White, Black};
    if (value)
        AgeingLimit = static_cast<uint16_t>(value->MaxAge * 3 / 4);
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

uint8_t TDisp::ComputeFreshness() const
{
    if (!Value || !Value->IsValid())
        return Missing;
    if (Value->NeverExpires())
        return Fresh;
    return Value->Age >= AgeingLimit ? Ageing : Fresh;
}

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
