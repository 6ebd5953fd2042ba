#include "values/ValueKinds.h"

#include "core/TextFunctions.h"

void TValueString::SetText(const QString& text, uint16_t age)
{
    Text = text;
    Validate(age);
}

QString TValueStrings::GetText() const { return Index < Strings.size() ? Strings.at(Index) : QString(); }

void TValueStrings::SetIndex(uint16_t index, uint16_t age)
{
    Index = index;
    Validate(age);
}

QString TValueWord::GetText() const { return QString::number(Value); }

void TValueWord::SetValue(uint16_t value, uint16_t age)
{
    Value = value;
    Validate(age);
}

QString TValueLong::GetText() const { return QString::number(Value); }

void TValueLong::SetValue(uint32_t value, uint16_t age)
{
    Value = value;
    Validate(age);
}

QString TValueSigned::SignedText(int v) const
{
    QString s = QString::number(v);
    if (v > 0 && ShowPlus)
        s.prepend(QLatin1Char('+'));
    return s;
}

QString TValueSInt::GetText() const { return SignedText(Value); }

void TValueSInt::SetValue(int8_t value, uint16_t age)
{
    Value = value;
    Validate(age);
}

QString TValueInt::GetText() const { return SignedText(Value); }

void TValueInt::SetValue(int16_t value, uint16_t age)
{
    Value = value;
    Validate(age);
}

QString TValueWordTime::GetDisplayText() const { return MinutesText(Value); }

QString TValueLongDate::GetDisplayText() const { return SerialDateText(Value); }

QString TValueDateTime::GetText() const { return StampText(Value); }

void TValueDateTime::SetValue(uint32_t value, uint16_t age)
{
    Value = value;
    Validate(age);
}
