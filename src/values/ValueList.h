#pragma once
// A value shown as the items of a list; the display draws each existing item.
#include "values/Value.h"

class TValueList : public TValue {
public:
    using TValue::TValue;

    virtual bool ItemExists(int index) const;
};
