#include "regulator/ReplyAgreement.h"

#include <algorithm>
#include <cstring>

bool TReplyAgreement::Information(const uint8_t* bytes, bool suspect, uint16_t recordSize, uint8_t channels)
{
    // The meter count fixes the size of every record filed from now on, and
    // a change moves the month's file aside: a block that may be the late
    // answer to another request (24 bytes are four archive records), or one
    // that changes the count, is taken only when the next information block
    // brings the same bytes. Until then the schedule asks for it again.
    const bool changes = recordSize != 0 && recordSize != 2 + 2 * channels;
    if (!suspect && !changes) {
        FInformation.Length = 0;
        return true;
    }
    const bool agrees = FInformation.Length == 24 && std::memcmp(FInformation.Bytes.data(), bytes, 24) == 0;
    if (agrees) {
        FInformation.Length = 0;
        return true;
    }
    std::memcpy(FInformation.Bytes.data(), bytes, 24);
    FInformation.Length = 24;
    return false;
}

bool TReplyAgreement::Table(const uint8_t* bytes, uint8_t length, bool suspect)
{
    // What the download asks for follows the month table: from a block that
    // may be a late answer of another kind it is taken only when the next
    // block says the same.
    if (!suspect) {
        FTable.Length = 0;
        return true;
    }
    length = std::min<uint8_t>(length, static_cast<uint8_t>(FTable.Bytes.size()));
    const bool agrees = FTable.Length == length && std::memcmp(FTable.Bytes.data(), bytes, length) == 0;
    std::memcpy(FTable.Bytes.data(), bytes, length);
    FTable.Length = length;
    return agrees;
}
