#include "regulator/PowerReply.h"

#include "core/LittleEndian.h"

std::optional<TRegulatedPowers> DecodeRegulatedPowers(const uint8_t* data, uint8_t length)
{
    if (!data || length < TRegulatedPowers::MinLength)
        return std::nullopt;
    return TRegulatedPowers{GetLong(data)};
}
