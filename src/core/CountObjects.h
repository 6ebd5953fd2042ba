#pragma once
// A fixed number of slots, each holding one owned object shared by several
// users and a reference count (0 = free slot, at most 255). The object is freed
// when its last user releases it.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

template <class T>
class TCountObjects {
public:
    static constexpr uint8_t MaxCount = 255;

    explicit TCountObjects(uint16_t slotCount)
        : Counts(slotCount, 0)
        , Objects(slotCount)
    {
    }
    // Frees every object still held, whatever its count.
    virtual ~TCountObjects() = default;
    TCountObjects(const TCountObjects&) = delete;
    TCountObjects& operator=(const TCountObjects&) = delete;

    uint16_t Slots() const { return static_cast<uint16_t>(Counts.size()); }
    uint8_t RefCount(uint16_t i) const { return i < Slots() ? Counts[i] : 0; }
    T* Object(uint16_t i) const { return i < Slots() && Counts[i] > 0 ? Objects[i].get() : nullptr; }

    // i := the first free slot.
    bool FindFree(uint16_t& i) const
    {
        for (uint16_t k = 0; k < Slots(); ++k)
            if (Counts[k] == 0) {
                i = k;
                return true;
            }
        return false;
    }

    // From i upward, the first slot in use and its object; i is left alone and
    // obj cleared when there is none.
    bool NextUsed(uint16_t& i, T*& obj) const
    {
        for (uint32_t k = i; k < Slots(); ++k)
            if (Counts[k] > 0) {
                i = static_cast<uint16_t>(k);
                obj = Objects[k].get();
                return true;
            }
        obj = nullptr;
        return false;
    }

    // One more user of slot i; fails rather than let the count wrap, and on
    // a free slot, which has nothing to share.
    bool AddRef(uint16_t i)
    {
        if (i >= Slots() || Counts[i] == 0 || Counts[i] == MaxCount)
            return false;
        ++Counts[i];
        return true;
    }

    // Stores obj in the free slot i with the count 1. A slot in use is never
    // overwritten: its users still hold the object there. A refused obj is freed.
    bool Put(uint16_t i, std::unique_ptr<T> obj)
    {
        if (!obj || i >= Slots() || Counts[i] != 0)
            return false;
        Objects[i] = std::move(obj);
        Counts[i] = 1;
        return true;
    }

    // Takes the object out of slot i whatever its count, leaving the slot
    // free; its former users must not touch it through this set again.
    std::unique_ptr<T> Take(uint16_t i)
    {
        if (i >= Slots() || Counts[i] == 0)
            return nullptr;
        Counts[i] = 0;
        return std::move(Objects[i]);
    }

    // One user fewer; the object is freed with the last. Returns the new count
    // (0 for a free slot too).
    uint8_t Release(uint16_t i)
    {
        if (i >= Slots() || Counts[i] == 0)
            return 0;
        if (--Counts[i] == 0) {
            std::unique_ptr<T> gone = std::move(Objects[i]);
            gone.reset(); // the slot is already free should its destructor look
        }
        return Counts[i];
    }

private:
    std::vector<uint8_t> Counts;
    std::vector<std::unique_ptr<T>> Objects;
};
