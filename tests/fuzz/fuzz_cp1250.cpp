// Windows-1250 both ways on arbitrary input: every byte decodes to one
// character and encodes back to itself where the code page defines it;
// arbitrary text encodes to exactly one byte per code point.
#include "core/Cp1250.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 16 * 1024)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = FromCp1250(bytes);
    const QByteArray back = ToCp1250(text);
    if (back.size() != bytes.size())
        std::abort();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        if (back[i] != bytes[i] && back[i] != '?')
            std::abort();
    // The same bytes read as UTF-16 text: one byte out per code point.
    const QString other = QString::fromUtf16(reinterpret_cast<const char16_t*>(data), static_cast<qsizetype>(size / 2));
    if (ToCp1250(other).size() != other.toUcs4().size())
        std::abort();
    return 0;
}
