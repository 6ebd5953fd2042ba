#pragma once
// Whole files as byte vectors, for tests that check a file format to the byte.
#include <QFile>
#include <QString>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes ReadBytes(const QString& name)
{
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    return Bytes(all.begin(), all.end());
}

inline void WriteBytes(const QString& name, const Bytes& b)
{
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(reinterpret_cast<const char*>(b.data()), static_cast<qint64>(b.size())),
              static_cast<qint64>(b.size()));
}

// The whole file, empty when it cannot be read.
inline QByteArray FileContents(const QString& name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
