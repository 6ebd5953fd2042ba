#pragma once
// A display that shows its value's text through a drawer; the colours the
// control was designed with become the fresh colours.
#include "values/widgets/Disp.h"
#include "values/widgets/DrawString.h"

#include <QString>

#include <memory>

class QLabel;

class TDispString : public TDisp {
public:
    // drawer is owned and may be null.
    TDispString(TValue* value, std::unique_ptr<TDrawString> drawer);

    static std::unique_ptr<TDispString> CreateLabel(TValue* value, QLabel* label);
    static std::unique_ptr<TDispString> CreatePanel(TValue* value, QLabel* panel);

    void Refresh() override;
    // The value's display text; empty without a value.
    virtual QString GetText() const;

    std::unique_ptr<TDrawString> Drawer;
};
