#include "regulator/IdentificationReply.h"

#include "core/Cp1250.h"

#include <QByteArray>

#include <algorithm>

std::optional<TIdentification> DecodeIdentification(const uint8_t* data, uint8_t length)
{
    if (!data || length < TIdentification::MinLength)
        return std::nullopt;
    // The text starts after a 6-byte header and ends at a zero byte; the
    // frame never carries more than 253 bytes of it.
    const int n = std::min<int>(length, 253);
    int end = 6;
    while (end < n && data[end] != 0)
        ++end;
    TIdentification id;
    id.Text = FromCp1250(QByteArray(reinterpret_cast<const char*>(data + 6), end - 6));
    if (data[n - 4] == '2' && data[n - 3] == '0' && data[n - 2] == '0') {
        if (data[n - 1] == '0')
            id.Generation = 2;
        else if (data[n - 1] == '2')
            id.Generation = 3;
    }
    return id;
}
