#include "regulator/ValueListQ.h"

#include "core/TextFunctions.h"

#include <algorithm>

TValueListQ::TValueListQ(uint8_t stepMinutes, uint16_t maxAge)
    : TValueList(maxAge)
    , StepMinutes(stepMinutes)
{
}

void TValueListQ::SetSamples(const uint8_t* bytes, int n)
{
    SampleCount = static_cast<uint8_t>(std::clamp(n, 0, MaxSamples));
    for (int i = 0; i < SampleCount; ++i) {
        Samples[i][0] = bytes[2 * i];
        Samples[i][1] = bytes[2 * i + 1];
    }
    Validate(0);
}

QString TValueListQ::TimeText(int index) const
{
    // Sample i of an interval of L minutes ends L * (i + 1) seconds in.
    return MinutesText(static_cast<uint16_t>(StepMinutes * (index + 1)));
}

QString TValueListQ::PercentText(int index) const
{
    if (index < 0 || index >= SampleCount)
        return QString();
    const uint8_t p = Samples[index][0];
    return (p == 255 ? QStringLiteral("***") : QString::number(p)) + QStringLiteral(" %");
}

QString TValueListQ::SecondText(int index) const
{
    if (index < 0 || index >= SampleCount)
        return QString();
    return QStringLiteral("#") + IntToStrZero(Samples[index][1], 2);
}

TValueListQ::TBar TValueListQ::Bar(int index) const
{
    TBar bar;
    if (index < 0 || index >= VisibleCount())
        return bar;
    bar.PercentHeight = (Samples[index][0] * PercentMark + 40) / 100;
    if (bar.PercentHeight > PercentLimit) {
        bar.PercentHeight = PercentLimit;
        bar.PercentOver = true;
    }
    bar.SecondHeight = Samples[index][1] * 3;
    if (bar.SecondHeight > SecondLimit) {
        bar.SecondHeight = SecondLimit;
        bar.SecondOver = true;
    }
    return bar;
}
