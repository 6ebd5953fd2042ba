#pragma once
#include <cstdint>

// Largest r with r * r <= x.
uint16_t ISqrt(uint32_t x);
// Greatest common divisor; Gcd(a, 0) = a, Gcd(0, 0) = 0.
uint16_t Gcd(uint16_t a, uint16_t b);
// Signed power-factor code k = 100 - 100 * cos(phi) of active power P and
// reactive power Q, truncated like the regulator does: 0 for a pure active
// load, 1..100 for Q >= 0, negated for Q < 0. Without any load (P = Q = 0)
// there is no angle; HasPowerFactor tells that case apart, and the code is 0.
int8_t PowerFactorCode(uint16_t P, int16_t Q);
inline bool HasPowerFactor(uint16_t P, int16_t Q) { return P != 0 || Q != 0; }
