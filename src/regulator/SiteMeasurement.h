#pragma once
// Measurement 00, the site's total, read the same way by every part that
// bills, projects, counts or alerts on it.
//
// A record holds one value per channel, and channel c is measurement c:
// every output labels it with row c of the meters table, row 0 being the
// site's own. Channel 0 is always an active channel (the meter-kind mask
// only describes channels 1 and up). Generation 3 files one channel more
// than it has meters, its total first; generations 1 and 2 file as many as
// they count meters, channel 0 still measurement 00. The other channels
// measure parts of the site (or reactive energy), so adding them to
// channel 0, or to each other, would count those parts twice: the site is
// channel 0, in every generation.
#include <cstdint>

class TDispArch;

constexpr uint8_t SiteChannel = 0;
constexpr uint16_t NoSiteValue = 0xFFFF;

// The site's interval power (kW) in a record of size bytes (the time word
// and the channel words); NoSiteValue when it holds none.
uint16_t SitePower(const uint8_t* record, uint16_t size);
// The same of record i of a view.
uint16_t SitePower(const TDispArch& view, uint16_t i);
