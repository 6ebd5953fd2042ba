#pragma once
// Owning list of fixed capacity. Items are addressed by a u16 index; Count is
// one past the highest index in use and lower entries may be empty. The list
// owns whatever it is offered, even when it refuses it: a refused item is
// freed at once, so callers never have to clean up after a failed Put.
#include "core/PageTable.h"

#include <cstdint>
#include <memory>
#include <utility>

template <class T>
class TObjects {
public:
    explicit TObjects(uint16_t capacity)
        : FCapacity(capacity)
    {
    }
    virtual ~TObjects() { Clear(); }
    TObjects(const TObjects&) = delete;
    TObjects& operator=(const TObjects&) = delete;

    uint16_t Capacity() const { return FCapacity; }
    uint16_t Count() const { return FCount; }

    // The item at i, or nullptr for an empty entry or index.
    T* Items(uint16_t i) const
    {
        if (i >= FCount)
            return nullptr;
        const std::unique_ptr<T>* entry = Table.Find(i);
        return entry ? entry->get() : nullptr;
    }

    // Replaces (and frees) the item at i. Beyond the capacity obj is freed and
    // false returned.
    bool Put(uint16_t i, std::unique_ptr<T> obj)
    {
        if (i >= FCapacity)
            return false;
        std::unique_ptr<T> old = std::exchange(Table.Slot(FCount, i), std::move(obj));
        if (i >= FCount)
            FCount = static_cast<uint16_t>(i + 1);
        old.reset(); // after the list is consistent again, should its destructor look at it
        return true;
    }

    bool Add(std::unique_ptr<T> obj) { return Put(FCount, std::move(obj)); }

    // Creates a U, adds it and returns it (still owned by the list), or nullptr
    // when the list is full and the new object was freed again.
    template <class U, class... Args>
    U* AddNew(Args&&... args)
    {
        auto obj = std::make_unique<U>(std::forward<Args>(args)...);
        U* raw = obj.get();
        return Add(std::move(obj)) ? raw : nullptr;
    }

    // Frees the item at i. Only deleting the last entry shortens the list;
    // holes below it stay.
    void Delete(uint16_t i)
    {
        if (i >= FCount)
            return;
        std::unique_ptr<T> old;
        if (std::unique_ptr<T>* entry = Table.Find(i))
            old = std::move(*entry);
        if (i == FCount - 1) {
            FCount = i;
            if (i % Table.PageSize == 0)
                Table.ReleasePage(i / Table.PageSize);
        }
        old.reset();
    }

    void Clear()
    {
        while (FCount > 0)
            Delete(static_cast<uint16_t>(FCount - 1));
    }

    // For tests and diagnostics: how many 256-entry pages are allocated.
    uint32_t PagesPresent() const { return Table.PagesPresent(); }

private:
    TPageTable<std::unique_ptr<T>> Table;
    uint16_t FCapacity;
    uint16_t FCount = 0;
};
