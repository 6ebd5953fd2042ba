#pragma once
// The month's tables as lines of text: the text file, the text print and the
// mail attachment are built here from the archive view, so qdrtool writes the
// very text the window writes.
#include "core/Cp1250.h"
#include "core/MeterNames.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class TDispArch;

// What of the shown month goes out; the window fills it from the check
// boxes of its measurements sheet, qdrtool from its options.
struct TTableChoice {
    bool Powers = true;     // the interval-power table
    bool Days = true;       // the daily-energy table
    bool AllRecords = true; // false: only the block selected in the browser
    // The month as the archive page names it ("November 2026").
    QString Caption;
    // The measurement label of each channel ("03: Kompresory"), by channel
    // number; empty for a meter without a name, which Label calls
    // "03: Elektromer 3".
    QStringList Labels;

    QString Label(uint8_t channel) const { return MeasurementLabel(channel, Labels); }
};

// Fills lines with the tables of view; width 0 is the file's layout (one row
// a line), otherwise rows are packed side by side into lines of width
// characters. When a row is wider than that, confirmWidth decides: true cuts
// the rows to the width, false clears lines and ends the building (false is
// returned then).
bool BuildText(QStringList& lines, const TDispArch& view, const TTableChoice& choice, uint16_t width,
               const std::function<bool()>& confirmWidth);
