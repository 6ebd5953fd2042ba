#pragma once
// The month's interval powers as CSV for spreadsheets and scripts (RFC 4180,
// UTF-8, CR LF): a header row "time" and one column per measurement, then
// one row per record that has a time, the time as ISO 8601 with the zone's
// offset (see RecordClock.h for the daylight-saving rule), an empty field for
// a missing value.
#include "core/SafeFile.h"
#include "output/RecordClock.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class TDispArch;

struct TCsvChoice {
    // Channels as columns, in this order.
    std::vector<uint8_t> Channels;
    // False: only the records of the block selected in the archive browser.
    bool AllRecords = true;
    // The measurement label of each channel ("03: Kompresory"; empty when
    // the meter has no name, see ChannelName), by channel number.
    QStringList Labels;
};

// Every channel of the shown month, all records.
TCsvChoice WholeMonth(const TDispArch& view, const QStringList& labels);

// A measurement's name in the header (and the store's label): the label the
// window lists, "03: Elektromer 3" for a meter without a name. A reader that
// wants the channel takes the two digits before the colon.
QString ChannelName(uint8_t channel, const QStringList& labels);

// rows: the data rows written (the header not counted).
QByteArray BuildCsv(const TDispArch& view, const std::vector<TTimedRecord>& records, const TCsvChoice& choice,
                    int* rows = nullptr);

// Writes bytes to fileName through a scratch file beside it, renamed over it
// once complete (ReplaceFile). Refused (error set) when fileName is the
// monthly file shown (monthFile) or an existing thing that is not a plain file.
bool SaveCsv(const QByteArray& bytes, const QString& fileName, const QString& monthFile, TFileError& error);
