#pragma once
// Little-endian words at any alignment, as the regulator's replies and the
// monthly files carry them.
#include <cstdint>

inline uint16_t GetWord(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLong(const uint8_t* p) { return uint32_t(GetWord(p)) | (uint32_t(GetWord(p + 2)) << 16); }
inline void PutWord(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
