#include "values/widgets/Disps.h"

void TDisps::UpdateAll()
{
    for (uint16_t i = 0; i < Count(); ++i)
        if (TDisp* disp = Items(i))
            disp->Update();
}
