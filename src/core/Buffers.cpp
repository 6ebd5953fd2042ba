#include "core/Buffers.h"

#include <cstring>

void SetBuffer(TBuffer& buffer, uint32_t n, const void* source)
{
    if (n > MaxBufferSize)
        n = 0;
    if (n == 0) {
        FreeBuffer(buffer);
        return;
    }
    if (n != buffer.FSize) {
        // The old block is dropped only after copying, as source may lie in it.
        auto block = std::make_unique<uint8_t[]>(n);
        if (source)
            std::memcpy(block.get(), source, n);
        buffer.FData = std::move(block);
        buffer.FSize = static_cast<uint16_t>(n);
        return;
    }
    if (source)
        std::memmove(buffer.FData.get(), source, n);
    else
        std::memset(buffer.FData.get(), 0, n);
}

void SetWordBuffer(TBuffer& buffer, uint32_t n, const uint16_t* source)
{
    SetBuffer(buffer, n > MaxBufferSize / 2 ? 0 : n * 2, source);
}

TBuffer AllocCopy(uint16_t n, const void* source)
{
    TBuffer buffer;
    SetBuffer(buffer, n, source);
    return buffer;
}

void FreeBuffer(TBuffer& buffer)
{
    buffer.FData.reset();
    buffer.FSize = 0;
}

uint16_t CompareBytes(const void* a, const void* b, uint16_t n)
{
    const auto* pa = static_cast<const uint8_t*>(a);
    const auto* pb = static_cast<const uint8_t*>(b);
    uint16_t same = 0;
    while (same < n && pa[same] == pb[same])
        ++same;
    return static_cast<uint16_t>(n - same);
}

void MoveBytes(const void* source, void* dest, uint16_t n)
{
    if (n > 0)
        std::memmove(dest, source, n);
}
