#pragma once
// Deterministic randomness. The standard distributions may differ between
// library versions, so the simulator derives everything from splitmix64 to keep
// a seed meaning the same bytes everywhere.
#include <cstdint>

uint64_t SimMix(uint64_t x);
// A hash of several words, order-sensitive.
uint64_t SimHash(uint64_t a, uint64_t b = 0, uint64_t c = 0, uint64_t d = 0);
// Uniform in [0, 1) from a hash.
double SimUnit(uint64_t hash);

class TSimRandom {
public:
    explicit TSimRandom(uint64_t seed = 0) : State(seed) {}
    uint64_t Next();
    double Unit() { return SimUnit(Next()); }
    // Uniform in [lo, hi].
    uint32_t Range(uint32_t lo, uint32_t hi);

private:
    uint64_t State;
};
