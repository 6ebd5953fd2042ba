#include "values/ValueIntCF.h"

#include "core/Arith.h"
#include "core/TextFunctions.h"

TValueIntCF::TValueIntCF(TValueWord* power, uint16_t maxAge, TValueInt* reactive)
    : TValueSInt(maxAge)
    , Power(power)
    , Reactive(reactive)
{
}

QString TValueIntCF::GetDisplayText() const
{
    const int k = Value;
    const int absK = k < 0 ? -k : k;
    QString digits;
    QChar sign = QLatin1Char(' ');
    if (absK <= 100) {
        digits = IntToStrZero(uint32_t(100 - absK), 3);
        if (k > 0)
            sign = QLatin1Char('+');
        else if (k < 0)
            sign = QLatin1Char('-');
    } else {
        digits = QStringLiteral("???");
    }
    digits.insert(1, QLatin1Char('.'));
    return ShowPlus ? sign + digits : digits;
}

void TValueIntCF::CheckSources(bool& changed)
{
    if ((Power && Power->Changed) || (Reactive && Reactive->Changed))
        changed = true;
}

void TValueIntCF::Compute(uint16_t& age, bool& valid)
{
    if (!Power || !Reactive) {
        valid = false;
        return;
    }
    Power->MergeSourceAge(age, valid);
    Reactive->MergeSourceAge(age, valid);
    ShowPlus = Reactive->ShowPlus;
    if (!valid)
        return;
    const uint16_t p = Power->GetValue();
    const int16_t q = Reactive->GetValue();
    if (!HasPowerFactor(p, q)) {
        valid = false;
        return;
    }
    Value = PowerFactorCode(p, q);
}
