#pragma once
// The regulator's answer to command 0: its identification text, and from the
// block's last four bytes the generation that fixes how the other live
// blocks are laid out.
#include <QString>

#include <cstdint>
#include <optional>

struct TIdentification {
    static constexpr uint8_t MinLength = 10;
    QString Text;
    // 1, 2 or 3: the tail "2000" marks generation 2, "2002" generation 3,
    // anything else generation 1.
    uint8_t Generation = 1;
};

// Refused (nullopt) when data is null or shorter than MinLength.
std::optional<TIdentification> DecodeIdentification(const uint8_t* data, uint8_t length);
