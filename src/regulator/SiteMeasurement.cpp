#include "regulator/SiteMeasurement.h"

#include "core/LittleEndian.h"
#include "regulator/DispArch.h"

uint16_t SitePower(const uint8_t* record, uint16_t size)
{
    if (!record || size < 4)
        return NoSiteValue;
    return GetWord(record + 2 + 2 * SiteChannel);
}

uint16_t SitePower(const TDispArch& view, uint16_t i) { return view.ChannelValue(i, SiteChannel); }
