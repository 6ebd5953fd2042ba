#pragma once
// Raw byte buffers: an owned block with a u16 size, where size 0 means no
// block at all. Sizes that would not fit a 16-bit segment with room to spare
// (above 65520 bytes) are refused by giving no buffer.
#include <cstdint>
#include <memory>

constexpr uint32_t MaxBufferSize = 65520;

class TBuffer {
public:
    TBuffer() = default;
    TBuffer(TBuffer&&) noexcept = default;
    TBuffer& operator=(TBuffer&&) noexcept = default;
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    uint16_t Size() const { return FSize; }
    bool IsEmpty() const { return FSize == 0; }
    uint8_t* Data() { return FData.get(); }
    const uint8_t* Data() const { return FData.get(); }

private:
    friend void SetBuffer(TBuffer&, uint32_t, const void*);
    friend void FreeBuffer(TBuffer&);
    std::unique_ptr<uint8_t[]> FData;
    uint16_t FSize = 0;
};

// Gives the buffer n bytes (a new block only when the size changes), copied
// from source or zero-filled without one. n above MaxBufferSize frees it.
// source may point into the buffer itself.
void SetBuffer(TBuffer& buffer, uint32_t n, const void* source);
// The same for n 16-bit words (at most MaxBufferSize / 2), copied as they lie
// in memory.
void SetWordBuffer(TBuffer& buffer, uint32_t n, const uint16_t* source);
// A new buffer of n bytes, copied or zero-filled; no buffer for n = 0 or n
// above MaxBufferSize.
TBuffer AllocCopy(uint16_t n, const void* source);
void FreeBuffer(TBuffer& buffer);
// n minus the length of the common prefix of a and b: 0 when the first n
// bytes are equal.
uint16_t CompareBytes(const void* a, const void* b, uint16_t n);
// Copies n bytes; the ranges may overlap.
void MoveBytes(const void* source, void* dest, uint16_t n);
