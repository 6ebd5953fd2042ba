#pragma once
// Bit set over u16 elements, stored as Size / 16 + 1 words.
#include <cstdint>
#include <vector>

class TWordset {
public:
    explicit TWordset(uint16_t size);

    uint16_t Size() const { return FSize; }
    // False for an element whose word lies beyond the set; bits of the last
    // word above Size are ordinary members.
    bool Contains(uint16_t i) const;
    // Ignored beyond the words of the set.
    void Include(uint16_t i);
    void Exclude(uint16_t i);
    void Clear();

private:
    uint16_t FSize;
    std::vector<uint16_t> Words;
};
