#pragma once
// Paged store of fixed-size records addressed by a u16 index, with gaps
// allowed: each record is its own block, so a sparse store stays small.
#include "core/PageTable.h"

#include <cstdint>
#include <memory>

class TMem {
public:
    TMem(uint16_t recordSize, uint16_t capacity);
    // Runs TMem::Clear only: a class overriding Clear must call its own from
    // its destructor if it needs it at destruction.
    virtual ~TMem();
    TMem(const TMem&) = delete;
    TMem& operator=(const TMem&) = delete;

    // Deletes every record, from the last down to 0.
    virtual void Clear();

    uint16_t RecordSize() const { return FRecordSize; }
    uint16_t Capacity() const { return FCapacity; }
    uint16_t Count() const { return FCount; }

    // A new size invalidates every record held, so the store is cleared.
    void SetRecordSize(uint16_t n);
    bool IsFull() const { return FCount >= FCapacity; }

    // The record at i, or nullptr when there is none.
    uint8_t* Get(uint16_t i);
    const uint8_t* Get(uint16_t i) const;
    // The record at i, created (zero-filled) when missing; nullptr beyond the
    // capacity or while the record size is 0.
    uint8_t* Alloc(uint16_t i);
    uint8_t* Append() { return Alloc(FCount); }
    // Frees the record at i; only deleting the last one shortens the store.
    void Delete(uint16_t i);
    void DeleteLast();

    uint32_t PagesPresent() const { return Table.PagesPresent(); }

private:
    TPageTable<std::unique_ptr<uint8_t[]>> Table;
    uint16_t FRecordSize;
    uint16_t FCapacity;
    uint16_t FCount = 0;
};
