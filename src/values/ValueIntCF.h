#pragma once
// Power factor of an active power P and a reactive power Q, held as the
// signed code k = 100 - 100 cos(phi) (negative for a capacitive load).
#include "values/ValueKinds.h"

class TValueIntCF : public TValueSInt {
public:
    // The owner sets Computed once the sources are in place.
    TValueIntCF(TValueWord* power, uint16_t maxAge, TValueInt* reactive);

    QString GetDisplayText() const override;
    void CheckSources(bool& changed) override;
    // Without any load (P = Q = 0) there is no angle: the value is invalid.
    void Compute(uint16_t& age, bool& valid) override;

    TValueWord* Power;    // not owned
    TValueInt* Reactive;  // not owned
};
