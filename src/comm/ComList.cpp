#include "comm/ComList.h"

#include <QDateTime>

TComList::TComList(uint16_t capacity) { SetCapacity(capacity); }

void TComList::SetCapacity(uint16_t n)
{
    std::lock_guard<std::mutex> guard(Lock);
    Items.clear();
    Items.shrink_to_fit();
    Items.resize(n);
    Head = 0;
    Used = 0;
}

uint16_t TComList::Capacity() const
{
    std::lock_guard<std::mutex> guard(Lock);
    return static_cast<uint16_t>(Items.size());
}

uint16_t TComList::Count() const
{
    std::lock_guard<std::mutex> guard(Lock);
    return Used;
}

void TComList::Add(char kind, const uint8_t* data, uint16_t size)
{
    std::lock_guard<std::mutex> guard(Lock);
    const size_t cap = Items.size();
    if (cap == 0)
        return;
    TEntry e;
    e.Kind = kind;
    e.Time = QDateTime::currentMSecsSinceEpoch();
    if (data && size > 0)
        e.Data = QByteArray(reinterpret_cast<const char*>(data), size);
    if (Used == cap) {
        // Full: the new entry takes the oldest one's place.
        Items[Head] = std::move(e);
        Head = static_cast<uint16_t>((Head + 1) % cap);
    } else {
        Items[(Head + Used) % cap] = std::move(e);
        ++Used;
    }
}

TComList::TEntry TComList::Item(uint16_t i) const
{
    std::lock_guard<std::mutex> guard(Lock);
    if (i < 1 || i > Used)
        return {};
    return Items[(Head + i - 1) % Items.size()];
}

QString TComList::ItemText(uint16_t i) const { return EntryText(Item(i)); }

QString TComList::EntryText(const TEntry& e)
{
    QString s = QString(QChar::fromLatin1(e.Kind)) + QStringLiteral(" [") + QString::number(e.Data.size()).rightJustified(5, u' ')
        + QStringLiteral("] : ");
    s.reserve(s.size() + 4 * e.Data.size());
    for (char c : e.Data)
        s += QString::number(static_cast<uint8_t>(c)).rightJustified(4, u' ');
    return s;
}

bool TComList::ToStrings(QStringList& strings, bool clear)
{
    std::lock_guard<std::mutex> guard(Lock);
    const bool any = Used > 0;
    for (uint16_t i = 0; i < Used; ++i)
        strings.append(EntryText(Items[(Head + i) % Items.size()]));
    if (clear) {
        for (auto& e : Items)
            e = TEntry{};
        Head = 0;
        Used = 0;
    }
    return any;
}

bool TComList::TakeEntries(std::vector<TEntry>& entries)
{
    std::lock_guard<std::mutex> guard(Lock);
    const bool any = Used > 0;
    for (uint16_t i = 0; i < Used; ++i)
        entries.push_back(std::move(Items[(Head + i) % Items.size()]));
    for (auto& e : Items)
        e = TEntry{};
    Head = 0;
    Used = 0;
    return any;
}

void TComList::Clear()
{
    std::lock_guard<std::mutex> guard(Lock);
    for (auto& e : Items)
        e = TEntry{};
    Head = 0;
    Used = 0;
}
