#include "values/ValueList.h"

bool TValueList::ItemExists(int) const { return true; }
