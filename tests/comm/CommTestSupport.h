#pragma once
#include "support/Pump.h"
// Shared pieces of the link tests: pumping the main thread's event loop (the
// worker hands every state change over to it) and building regulator replies.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Readable failure messages for texts.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

inline uint8_t Sum8(const Bytes& b, size_t from, size_t count)
{
    uint8_t s = 0;
    for (size_t i = from; i < from + count; ++i)
        s = static_cast<uint8_t>(s + b[i]);
    return s;
}

// A regulator reply: count, address with bit 7, data, checksum.
inline Bytes ReplyFrame(uint8_t address, const Bytes& data)
{
    // Sized once and filled: growing a vector by insert after it holds a few
    // bytes trips GCC 12's -Warray-bounds in Release builds.
    Bytes f(data.size() + 3);
    f[0] = static_cast<uint8_t>(data.size() + 1);
    f[1] = static_cast<uint8_t>(address | 0x80);
    std::copy(data.begin(), data.end(), f.begin() + 2);
    f.back() = Sum8(f, 1, data.size() + 1);
    return f;
}

inline Bytes Sequence(size_t n, uint8_t first = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

struct DataSeen {
    uint8_t Address;
    uint8_t Command;
    Bytes Data;
};
