#include "regulator/InformationReply.h"

#include "core/LittleEndian.h"

std::optional<TInformation> DecodeInformation(const uint8_t* data, uint8_t length, uint8_t generation)
{
    if (!data || length < TInformation::MinLength)
        return std::nullopt;
    TInformation info;
    info.Initialised = GetLong(data + 0);
    info.PowerFailure = GetLong(data + 4);
    info.Configured = GetLong(data + 8);
    info.Reset = GetLong(data + 12);
    info.Meters = data[16];
    info.Stages = data[17];
    info.Appliances = data[18];
    info.KindMask = static_cast<uint16_t>(data[19] >> 1);
    info.Powers.Packed = GetLong(data + 20);
    info.Channels = static_cast<uint8_t>(generation == 3 ? info.Meters + 1 : info.Meters);
    return info;
}
