#include "regulator/RecordSlotReply.h"

#include "core/LittleEndian.h"

#include <algorithm>

std::optional<TRecordSlot> DecodeRecordSlot(const uint8_t* data, uint8_t length)
{
    if (!data || length < TRecordSlot::MinLength)
        return std::nullopt;
    TRecordSlot slot;
    slot.Time = GetLong(data);
    slot.SampleCount = (length - 4) / 2;
    std::copy_n(data + 4, 2 * slot.SampleCount, slot.Samples.begin());
    return slot;
}
