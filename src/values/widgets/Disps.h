#pragma once
// The owning list of displays, updated on every tick right after the values.
#include "core/Objects.h"
#include "values/widgets/Disp.h"

class TDisps : public TObjects<TDisp> {
public:
    using TObjects<TDisp>::TObjects;

    void UpdateAll();
};
