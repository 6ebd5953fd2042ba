#pragma once
// The driver the main window keeps for its whole run; it adds nothing the
// program uses, so outputs can take the plain TExcel interface.
#include "output/Excel.h"

class TAdvExcel : public TExcel {
public:
    using TExcel::TExcel;
};
