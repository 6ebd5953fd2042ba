#pragma once
// The regulator's archive month table, as each measurement block reports
// it. Setting it updates the archive's own table, and the grid shows the
// archive's entries.
#include "values/ValueGrid.h"

#include <cstdint>

class TArchiveQDR;

class TValueGridAr : public TValueGrid {
public:
    static constexpr int TableBytes = 10;

    // archive is not owned and may be null.
    TValueGridAr(TArchiveQDR* archive, uint16_t maxAge);

    // table: 10 bytes, little-endian month 0, month 1, count 0, count 1, lost.
    void SetTable(const uint8_t* table);

    void GetCell(int column, int row, QString& text, int& alignment) const override;

    uint16_t Months[2] = {0, 0};
    uint16_t Counts[2] = {0, 0};
    uint16_t Lost = 0;
    TArchiveQDR* Archive;
};
