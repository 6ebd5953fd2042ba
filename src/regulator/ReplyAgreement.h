#pragma once
// A reply that may be the late answer to another request (the link says so:
// it came soon after a failed exchange) is believed only when the next block
// of its kind brings the same bytes. This holds the last such block of the
// two kinds whose bytes steer the download: the information block (its
// meter count fixes the size of every record filed) and the month table of
// the live blocks (with generation 3's meter kinds before it).
#include <array>
#include <cstdint>

class TReplyAgreement {
public:
    // The information block's first 24 bytes. suspect: the link's word that
    // the reply may be late. recordSize: the archive's record size now (0 if
    // none yet); channels: as the block counts them. A block that would
    // change the record size is held back even when not suspect.
    bool Information(const uint8_t* bytes, bool suspect, uint16_t recordSize, uint8_t channels);
    // The month table (10 bytes) or the kinds and table (12 bytes).
    bool Table(const uint8_t* bytes, uint8_t length, bool suspect);
    // A block is held: the schedule asks for its kind again soon.
    bool InformationHeld() const { return FInformation.Length != 0; }
    bool TableHeld() const { return FTable.Length != 0; }

private:
    struct THeld {
        std::array<uint8_t, 24> Bytes{};
        uint8_t Length = 0; // 0: none held
    };
    THeld FInformation;
    THeld FTable;
};
