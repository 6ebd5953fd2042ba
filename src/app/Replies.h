#pragma once
// Byte helpers for the regulator's reply blocks. Offsets count from the first
// data byte of a reply; every multi-byte field is little-endian and may start
// at an odd offset.
#include "core/LittleEndian.h"

#include <QString>

#include <cstdint>

// Texts of the reply blocks in the regulator's code page.
QString FromRegulatorText(const char* bytes, int length);
// Name of a command, for logs and tools.
QString CommandName(uint8_t command);
