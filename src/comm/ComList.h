#pragma once
// Bounded ring log of the byte blocks that crossed the link. Written by the
// worker, read and emptied by the main thread: every call holds the lock.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>
#include <vector>

class TComList {
public:
    struct TEntry {
        QByteArray Data;
        char Kind = ' '; // '>' sent, '<' received, '#' discarded before a reply was awaited
        qint64 Time = 0; // when it crossed, milliseconds since the epoch (UTC)
    };

    explicit TComList(uint16_t capacity = 0);

    void SetCapacity(uint16_t n);
    uint16_t Capacity() const;
    uint16_t Count() const;
    void Add(char kind, const uint8_t* data, uint16_t size);
    // i = 1 .. Count, oldest first.
    TEntry Item(uint16_t i) const;
    QString ItemText(uint16_t i) const;
    static QString EntryText(const TEntry& e);
    // Appends the text of every entry, oldest first; empties the ring when
    // clear is set. True when there was at least one entry.
    bool ToStrings(QStringList& strings, bool clear);
    // Moves every entry out, oldest first, and empties the ring; true when
    // there was at least one.
    bool TakeEntries(std::vector<TEntry>& entries);
    void Clear();

private:
    mutable std::mutex Lock;
    std::vector<TEntry> Items;
    uint16_t Head = 0;
    uint16_t Used = 0;
};
