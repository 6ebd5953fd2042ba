#include "regulator/MeasurementReply.h"

#include "core/LittleEndian.h"

#include <algorithm>

std::optional<TMeasurement> DecodeMeasurement(const uint8_t* data, uint8_t length)
{
    if (!data || length < TMeasurement::MinLength)
        return std::nullopt;
    TMeasurement m;
    m.TimeStamp = GetLong(data + 1);
    m.IntervalTime = GetWord(data + 5);
    m.Power = GetWord(data + 7);
    m.Average = GetWord(data + 9);
    m.Stage = data[11];
    m.Tariff = data[12];
    m.MaximumVt = GetWord(data + 13);
    m.MaximumNt = GetWord(data + 15);
    m.MaximumVtTime = GetLong(data + 17);
    m.MaximumNtTime = GetLong(data + 21);
    std::copy_n(data + 25, m.Table.size(), m.Table.begin());
    return m;
}
