#pragma once
// The regulator stamps a record with the wall-clock time of its interval's
// start, read from its own clock, without a date or an offset. This turns
// those readings into instants of a time zone, for the outputs that others
// read by machine (CSV, the database).
//
// Daylight saving, decided once for all of them:
// - The hour the clock repeats in autumn (02:00-02:59 twice in Central
//   Europe): its readings take the summer offset until the file shows the
//   clock going back, that is a record whose reading is not later than the
//   record before it; from there on they take the winter offset. So a
//   regulator that follows the change gives the two passes two distinct
//   hours, and one that filed the hour once keeps it once.
// - The hour the clock skips in spring: a regulator that follows the change
//   files nothing there. A reading inside it (a clock that has not moved
//   yet) keeps the offset in force before the change, so it stays the
//   instant it meant: 02:15 on that day becomes 02:15+01:00.
// In both cases the text shows the regulator's own reading; only the offset
// tells the passes apart. No row is added and none is dropped: every record
// with a time gives exactly one instant. A regulator kept on standard time
// all year is read with a fixed zone instead (--tz UTC+01:00).
#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <vector>

class TDispArch;

// One record of the month with its instant.
struct TTimedRecord {
    uint16_t Index = 0;  // from the file's origin, as the archive view counts
    int64_t Utc = 0;     // seconds since 1970-01-01 UTC
    int32_t Offset = 0;  // seconds east of UTC in force at that instant
};

class TRecordClock {
public:
    // month: the month number of the file (year * 12 + month - 1).
    TRecordClock(const QTimeZone& zone, uint16_t month);

    // The instant of a record's interval time; records are given in file
    // order, since the autumn hour depends on what came before. False for a
    // time that the month does not have (a day past its end).
    bool Next(uint16_t intervalTime, int64_t& utc, int32_t& offset);

private:
    struct TSpan {
        int64_t From = 0; // UTC second the offset starts at
        int32_t Offset = 0;
    };
    int32_t OffsetAt(int64_t utc) const;

    int64_t MonthStart = 0; // local 00:00 of the 1st, as seconds read as UTC
    int DaysInMonth = 0;
    std::vector<TSpan> Spans;
    std::vector<bool> WentBack; // per span: the clock was seen going back into it
    bool HavePrevious = false;
    int64_t Previous = 0; // local reading of the last timed record
};

// The zone named by an IANA name or a fixed offset such as UTC+01:00; empty
// name: the system's. Invalid when the name is unknown.
QTimeZone ZoneByName(const QString& name);

// Every record of view that has a valid time, in file order; invalid counts
// the records whose time lies outside the month.
std::vector<TTimedRecord> TimedRecords(const TDispArch& view, const QTimeZone& zone, int* invalid = nullptr);

// Why the month gives nothing to write: empty when a record of view has a
// time within its month, else a sentence naming the file name and why (no
// record at all, or none dated within the month).
QString NothingToWrite(const TDispArch& view, const QString& name);

// ISO 8601 with the offset, e.g. 2026-11-01T00:15:00+01:00.
QString IsoTime(const TTimedRecord& record);
