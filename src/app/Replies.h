#pragma once
// Plain decoded forms of the regulator's reply blocks, for front ends that
// print them. Offsets count from the first data byte of a reply; every
// multi-byte field is little-endian and may start at an odd offset.
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

inline uint16_t GetWord(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLong(const uint8_t* p) { return uint32_t(GetWord(p)) | (uint32_t(GetWord(p + 2)) << 16); }
inline void PutWord(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Block 0.
struct TIdentification {
    bool Valid = false;
    QString Text;
    uint8_t Generation = 0; // 1, 2 or 3
    // False for a block shorter than 10 bytes, which changes nothing.
    static bool Decode(const uint8_t* data, uint8_t length, TIdentification& out);
};

// Block 1.
struct TInformation {
    bool Valid = false;
    uint32_t TimeInit = 0;      // packed regulator date-times
    uint32_t TimePowerFail = 0;
    uint32_t TimeConfig = 0;
    uint32_t TimeReset = 0;
    uint8_t Meters = 0;
    uint8_t Stages = 0;
    uint8_t Appliances = 0;
    uint8_t Kinds = 0;          // meter kinds byte as received
    uint16_t PregVT = 0;        // regulated powers, kW
    uint16_t PregNT = 0;
    static constexpr uint8_t Length = 24;
    static bool Decode(const uint8_t* data, uint8_t length, TInformation& out);
};

// The month table the measurement blocks carry.
struct TMonthTable {
    uint16_t Month0 = 0;
    uint16_t Month1 = 0;
    uint16_t Count0 = 0;
    uint16_t Count1 = 0;
    uint16_t Lost = 0;
    static TMonthTable Decode(const uint8_t* p);
};

// What blocks 2, 5, 8 and 10 say about the present moment. Block 2 carries
// all of it; block 8 (and 10) lacks stage and tariff, block 5 lacks powers.
struct TLive {
    bool Valid = false;
    uint8_t Command = 0;        // the block it came from (without bit 7)
    uint32_t Time = 0;
    uint16_t Seconds = 0;       // into the measuring interval
    bool HasPower = false;
    uint16_t Power = 0;         // instantaneous, kW
    uint16_t Average = 0;       // average in the interval, kW
    bool HasStage = false;
    uint8_t Stage = 0;
    uint8_t Tariff = 0;         // 0 VT, 1 NT
    bool HasMaxima = false;
    uint16_t MaxVT = 0;
    uint16_t MaxNT = 0;
    uint32_t TimeMaxVT = 0;
    uint32_t TimeMaxNT = 0;
    bool HasTable = false;
    TMonthTable Table;
    // Blocks 8 and 10: the main measurement and meters 1 to 12, each the
    // instantaneous and the average power.
    std::array<std::array<uint16_t, 2>, 13> Readings{};
    uint16_t KindWord = 0;
    // Block 5.
    uint64_t Appliances = 0;
    uint64_t Signals = 0;
    uint32_t TimeZeroed = 0;
    // Merges the fields a block carries into out; false when the block is not
    // a live block of the right length.
    static bool Decode(uint8_t command, const uint8_t* data, uint8_t length, TLive& out);
};

// Block 4, one slot of the interval records.
struct TIntervalRecord {
    bool Valid = false;
    uint32_t Time = 0;
    std::vector<uint16_t> Samples; // at most 60
    static constexpr size_t MaxSamples = 60;
    static bool Decode(const uint8_t* data, uint8_t length, TIntervalRecord& out);
};

// Texts of the reply blocks in the regulator's code page.
QString FromRegulatorText(const char* bytes, int length);
// Name of a command, for logs and tools.
QString CommandName(uint8_t command);
