#include "regulator/Measurement3Reply.h"

#include "core/LittleEndian.h"

#include <algorithm>

TMonthTableBytes TMeasurement3::Table() const
{
    TMonthTableBytes table;
    std::copy_n(KindsAndTable.begin() + 2, table.size(), table.begin());
    return table;
}

std::optional<TMeasurement3> DecodeMeasurement3(uint8_t command, const uint8_t* data, uint8_t length)
{
    const bool full = (command & 0x7F) == 10;
    if (!data || length < (full ? TMeasurement3::MinLengthFull : TMeasurement3::MinLength))
        return std::nullopt;
    TMeasurement3 m;
    m.TimeStamp = GetLong(data + 0);
    m.IntervalTime = GetWord(data + 4);
    std::copy_n(data + 6, m.Readings.size(), m.Readings.begin());
    std::copy_n(data + 58, m.KindsAndTable.size(), m.KindsAndTable.begin());
    if (full) {
        m.Full = true;
        m.AllowedPower = GetWord(data + 70);
        m.OptimalIntervalPower = GetWord(data + 72);
        m.Date = GetLong(data + 74);
        m.Number = GetWord(data + 78);
        m.IntervalNumber = GetLong(data + 80);
        m.AgreedEnergy = GetWord(data + 84);
        m.MeasuredEnergy = GetWord(data + 86);
    }
    return m;
}
