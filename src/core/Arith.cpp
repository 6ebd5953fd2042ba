#include "core/Arith.h"

uint16_t ISqrt(uint32_t x)
{
    uint32_t r = 0;
    for (int bit = 15; bit >= 0; --bit) {
        const uint32_t t = r | (1u << bit);
        if (t * t <= x)
            r = t;
    }
    return static_cast<uint16_t>(r);
}

uint16_t Gcd(uint16_t a, uint16_t b)
{
    while (b != 0) {
        const uint16_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

namespace {
// Square root of a value that may exceed 32 bits (up to 65535^2 + 32768^2).
uint32_t ISqrt64(uint64_t x)
{
    uint64_t r = 0;
    for (int bit = 16; bit >= 0; --bit) {
        const uint64_t t = r | (uint64_t(1) << bit);
        if (t * t <= x)
            r = t;
    }
    return static_cast<uint32_t>(r);
}
} // namespace

int8_t PowerFactorCode(uint16_t P, int16_t Q)
{
    if (!HasPowerFactor(P, Q))
        return 0;
    const uint64_t absQ = Q < 0 ? uint64_t(-int32_t(Q)) : uint64_t(Q);
    // P^2 + Q^2 can pass 2^32 for large loads; in 32 bits it would wrap and
    // give a nonsense factor, so the sum is kept in 64 bits. Below 2^32 the
    // result is the same as the 32-bit calculation.
    uint64_t s2 = uint64_t(P) * P + absQ * absQ;
    uint64_t n = 100u * uint64_t(P);
    // Scaling both keeps precision for small loads without changing n / sqrt(s2).
    while (n < (uint64_t(1) << 31) && s2 < (uint64_t(1) << 30)) {
        n *= 2;
        s2 *= 4;
    }
    const uint64_t s = s2 < (uint64_t(1) << 32) ? ISqrt(static_cast<uint32_t>(s2)) : ISqrt64(s2);
    const uint64_t c = n / s; // 100 * cos(phi), at most 100
    int k = 100 - static_cast<int>(c);
    if (Q < 0)
        k = -k;
    return static_cast<int8_t>(k);
}
