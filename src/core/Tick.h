#pragma once
// Millisecond tick stamps. Every difference is taken in unsigned arithmetic of
// the stamp's own width, so the counter wrapping (about 49.7 days for 32 bits,
// 65.5 s for 16 bits) is harmless for intervals shorter than the wrap period.
#include <cstdint>

uint32_t GetTick();
uint16_t GetTick16();
void Stamp(uint32_t& start);
void Stamp16(uint16_t& start);

// True when Period ms have passed since Start. Without Reset the boundary moves
// by exactly one period, so repeated checks keep a fixed rhythm without drift.
bool Elapsed(uint32_t period, uint32_t& start, bool reset);
bool Elapsed16(uint16_t period, uint16_t& start, bool reset);
// The same against a given "now"; what the two above use.
bool ElapsedAt(uint32_t now, uint32_t period, uint32_t& start, bool reset);
bool Elapsed16At(uint16_t now, uint16_t period, uint16_t& start, bool reset);

void SatSub16(uint16_t& value, uint16_t amount);
void SatAdd16(uint16_t& value, uint16_t amount);
