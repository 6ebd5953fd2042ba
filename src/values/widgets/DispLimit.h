#pragma once
// Displays that mark a fresh figure below or above limits in colours of
// their own.
#include "values/widgets/DispString.h"

#include <cstdint>

class QLabel;

class TDispLimit : public TDispString {
public:
    TDispLimit(TValue* value, std::unique_ptr<TDrawString> drawer);

    void GetColors(QColor& background, QColor& text) const override;
    virtual bool IsBelow() const = 0;
    virtual bool IsAbove() const = 0;

    void SetLowColors(const QColor& background, const QColor& text);
    void SetHighColors(const QColor& background, const QColor& text);

    TColors LowColors{Qt::black, Qt::black};
    TColors HighColors{Qt::black, Qt::black};
};

// Limits on a signed 16-bit value (TValueInt); a value of any other kind is
// never below or above.
class TDispInt : public TDispLimit {
public:
    TDispInt(TValue* value, QLabel* label);

    bool IsBelow() const override;
    bool IsAbove() const override;
    void SetLow(int16_t low);
    void SetHigh(int16_t high);

    int16_t Low = -32768;
    int16_t High = 32767;
};
