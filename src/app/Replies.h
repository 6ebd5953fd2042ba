#pragma once
// Byte helpers for the regulator's reply blocks. Offsets count from the first
// data byte of a reply; every multi-byte field is little-endian and may start
// at an odd offset.
#include <QString>

#include <cstdint>

inline uint16_t GetWord(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLong(const uint8_t* p) { return uint32_t(GetWord(p)) | (uint32_t(GetWord(p + 2)) << 16); }
inline void PutWord(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Texts of the reply blocks in the regulator's code page.
QString FromRegulatorText(const char* bytes, int length);
// Name of a command, for logs and tools.
QString CommandName(uint8_t command);
