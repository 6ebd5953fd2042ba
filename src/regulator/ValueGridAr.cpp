#include "regulator/ValueGridAr.h"

#include "core/LittleEndian.h"
#include "regulator/ArchiveQDR.h"

TValueGridAr::TValueGridAr(TArchiveQDR* archive, uint16_t maxAge)
    : TValueGrid(maxAge)
    , Archive(archive)
{
    ColNames << QStringLiteral("ARCHÍV") << QStringLiteral("Počet záznamov") << QStringLiteral("... stratených");
}

void TValueGridAr::SetTable(const uint8_t* table)
{
    auto word = [table](int i) { return GetWord(table + 2 * i); };
    Months[0] = word(0);
    Months[1] = word(1);
    Counts[0] = word(2);
    Counts[1] = word(3);
    Lost = word(4);
    // The regulator counts lost records with the older month while it has one.
    const int lostEntry = Counts[1] != 0 ? 1 : 0;
    if (Archive) {
        for (int i = 0; i < 2; ++i) {
            TMonthEntry e;
            e.Month = Months[i];
            e.Lost = i == lostEntry ? Lost : 0;
            // A count that would wrap past 16 bits would make the download
            // believe the month nearly empty; hold it at the top instead.
            const uint32_t count = uint32_t(Counts[i]) + e.Lost;
            e.Count = count > 0xFFFFu ? uint16_t(0xFFFF) : static_cast<uint16_t>(count);
            Archive->SetMonthEntry(static_cast<uint8_t>(i), e);
        }
    }
    Validate(0);
}

void TValueGridAr::GetCell(int column, int row, QString& text, int& alignment) const
{
    // The archive's table has 13 entries; a row beyond them stays empty
    // rather than wrapping round into another entry.
    if (row < 1 || row > 13 || column < 0 || column > 255 || !Archive)
        return;
    if (column > 0)
        alignment = -2;
    text = Archive->EntryText(static_cast<uint8_t>(row - 1), static_cast<uint8_t>(column));
}
