#pragma once
// Two-level table behind TObjects and TMem: 256 pages of 256 entries, entry i
// in page i / 256 at i % 256. Pages exist only where entries may live, so a
// sparse store (an archive file with gaps) costs a 2 KiB page per 256 indices
// at most, and every entry is still reached in constant time.
#include <array>
#include <cstdint>
#include <memory>

template <class TEntry>
class TPageTable {
public:
    static constexpr uint32_t PageSize = 256;
    static constexpr uint32_t PageCount = 256;
    using TPage = std::array<TEntry, PageSize>;

    // The entry at i, or nullptr when its page is not there.
    TEntry* Find(uint16_t i) const
    {
        TPage* page = Pages[i / PageSize].get();
        return page ? &(*page)[i % PageSize] : nullptr;
    }

    // The entry at i. Pages from the one holding index `from` up to i's are
    // made present first, which keeps every page below the highest used one
    // present; a later Release of the top page then never strands entries.
    TEntry& Slot(uint32_t from, uint16_t i)
    {
        const uint32_t last = i / PageSize;
        for (uint32_t p = from / PageSize; p <= last && p < PageCount; ++p)
            if (!Pages[p])
                Pages[p] = std::make_unique<TPage>();
        if (!Pages[last])
            Pages[last] = std::make_unique<TPage>();
        return (*Pages[last])[i % PageSize];
    }

    void ReleasePage(uint32_t page) { Pages[page].reset(); }
    bool HasPage(uint32_t page) const { return page < PageCount && Pages[page] != nullptr; }
    uint32_t PagesPresent() const
    {
        uint32_t n = 0;
        for (const auto& p : Pages)
            n += p != nullptr;
        return n;
    }

private:
    std::array<std::unique_ptr<TPage>, PageCount> Pages;
};
