#include "core/Mem.h"

#include <cstring>

TMem::TMem(uint16_t recordSize, uint16_t capacity)
    : FRecordSize(recordSize)
    , FCapacity(capacity)
{
}

TMem::~TMem() { TMem::Clear(); }

void TMem::Clear()
{
    while (FCount > 0)
        Delete(static_cast<uint16_t>(FCount - 1));
}

void TMem::SetRecordSize(uint16_t n)
{
    if (n == FRecordSize)
        return;
    Clear();
    FRecordSize = n;
}

uint8_t* TMem::Get(uint16_t i)
{
    if (i >= FCount)
        return nullptr;
    auto* entry = Table.Find(i);
    return entry ? entry->get() : nullptr;
}

const uint8_t* TMem::Get(uint16_t i) const { return const_cast<TMem*>(this)->Get(i); }

uint8_t* TMem::Alloc(uint16_t i)
{
    if (i >= FCapacity || FRecordSize == 0)
        return nullptr;
    auto& entry = Table.Slot(FCount, i);
    if (!entry)
        entry = std::make_unique<uint8_t[]>(FRecordSize); // zeroed: stale heap bytes never reach a file
    if (i >= FCount)
        FCount = static_cast<uint16_t>(i + 1);
    return entry.get();
}

void TMem::Delete(uint16_t i)
{
    if (i >= FCount)
        return;
    if (auto* entry = Table.Find(i))
        entry->reset();
    if (i == FCount - 1) {
        FCount = i;
        if (i % Table.PageSize == 0)
            Table.ReleasePage(i / Table.PageSize);
    }
}

void TMem::DeleteLast()
{
    if (FCount > 0)
        Delete(static_cast<uint16_t>(FCount - 1));
}
