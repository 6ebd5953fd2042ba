#include "core/Wordset.h"

#include <algorithm>

TWordset::TWordset(uint16_t size)
    : FSize(size)
    , Words(size / 16u + 1u, 0)
{
}

bool TWordset::Contains(uint16_t i) const
{
    const uint32_t w = i / 16u;
    return w < Words.size() && (Words[w] >> (i % 16u)) & 1u;
}

void TWordset::Include(uint16_t i)
{
    const uint32_t w = i / 16u;
    if (w < Words.size())
        Words[w] = static_cast<uint16_t>(Words[w] | (1u << (i % 16u)));
}

void TWordset::Exclude(uint16_t i)
{
    const uint32_t w = i / 16u;
    if (w < Words.size())
        Words[w] = static_cast<uint16_t>(Words[w] & ~(1u << (i % 16u)));
}

void TWordset::Clear() { std::fill(Words.begin(), Words.end(), uint16_t(0)); }
