#pragma once
// The plain value kinds: texts, unsigned and signed numbers, clock times,
// dates and the regulator's packed date-time. Every setter validates with the
// age it is given (the refresh passes 0).
#include "values/Value.h"

#include <QStringList>

class TValueString : public TValue {
public:
    using TValue::TValue;
    QString GetText() const override { return Text; }
    void SetText(const QString& text, uint16_t age);

    QString Text;
};

// One of a fixed set of texts, chosen by index (the tariff names, say).
class TValueStrings : public TValue {
public:
    using TValue::TValue;
    QString GetText() const override;
    void SetIndex(uint16_t index, uint16_t age);

    uint16_t Index = 0;
    QStringList Strings;
};

class TValueUnsigned : public TValue {
public:
    using TValue::TValue;
};

class TValueWord : public TValueUnsigned {
public:
    using TValueUnsigned::TValueUnsigned;
    QString GetText() const override;
    void SetValue(uint16_t value, uint16_t age);
    uint16_t GetValue() const { return Value; }

    uint16_t Value = 0;
};

class TValueLong : public TValueUnsigned {
public:
    using TValueUnsigned::TValueUnsigned;
    QString GetText() const override;
    void SetValue(uint32_t value, uint16_t age);
    uint32_t GetValue() const { return Value; }

    uint32_t Value = 0;
};

class TValueSigned : public TValue {
public:
    using TValue::TValue;
    bool ShowPlus = false;

protected:
    QString SignedText(int v) const;
};

class TValueSInt : public TValueSigned {
public:
    using TValueSigned::TValueSigned;
    QString GetText() const override;
    void SetValue(int8_t value, uint16_t age);
    int8_t GetValue() const { return Value; }

    int8_t Value = 0;
};

class TValueInt : public TValueSigned {
public:
    using TValueSigned::TValueSigned;
    QString GetText() const override;
    void SetValue(int16_t value, uint16_t age);
    int16_t GetValue() const { return Value; }

    int16_t Value = 0;
};

// Minutes (or seconds) shown as hh:mm (or mm:ss).
class TValueWordTime : public TValueWord {
public:
    using TValueWord::TValueWord;
    QString GetDisplayText() const override;
};

// A day number, day 0 = 30.12.1899, shown dd.mm.yyyy.
class TValueLongDate : public TValueLong {
public:
    using TValueLong::TValueLong;
    QString GetDisplayText() const override;
};

// The regulator's packed time stamp, dd.mm.yyyy hh:mm; empty when it has none.
class TValueDateTime : public TValue {
public:
    using TValue::TValue;
    QString GetText() const override;
    void SetValue(uint32_t value, uint16_t age);
    uint32_t GetValue() const { return Value; }

    uint32_t Value = 0;
};
