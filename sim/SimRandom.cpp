#include "SimRandom.h"

uint64_t SimMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t SimHash(uint64_t a, uint64_t b, uint64_t c, uint64_t d)
{
    uint64_t h = SimMix(a);
    h = SimMix(h ^ b);
    h = SimMix(h ^ c);
    return SimMix(h ^ d);
}

double SimUnit(uint64_t hash)
{
    return static_cast<double>(hash >> 11) * (1.0 / 9007199254740992.0);
}

uint64_t TSimRandom::Next()
{
    State += 0x9E3779B97F4A7C15ull;
    uint64_t z = State;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t TSimRandom::Range(uint32_t lo, uint32_t hi)
{
    if (hi <= lo)
        return lo;
    return lo + static_cast<uint32_t>(Next() % (static_cast<uint64_t>(hi) - lo + 1));
}
