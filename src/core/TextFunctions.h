#pragma once
// The text forms of numbers, times, dates and months, shared so that every
// page, file and output writes them the same way.
#include <QString>

#include <cstdint>

// v right-aligned in w characters, padded with "0"; longer numbers in full;
// w = 0 gives empty text.
QString IntToStrZero(uint32_t v, int w);
QString CharString(QChar c, int n);
QString Spaces(int n);
// Blanks in front up to length n; a longer s keeps only its last n characters.
void PadLeft(QString& s, int n);
// Blanks behind up to length n; a longer s is cut to n.
void PadRight(QString& s, int n);

// hh:mm of a count of minutes (or mm:ss of seconds); "??:??" from 6000 on.
QString MinutesText(uint16_t m);
QString TimeText(uint32_t h, uint32_t m);
QString DayMonthText(uint32_t d, uint32_t m);
QString DateText(uint32_t d, uint32_t m, uint32_t y);

struct TCalendarDate {
    uint32_t Day = 0;
    uint32_t Month = 0;
    uint32_t Year = 0;
};
// Day n counted from 30 December 1899 (day 0), in the Gregorian calendar.
TCalendarDate SerialToDate(uint32_t n);
QString SerialDateText(uint32_t n);
// m minutes since 30 December 1899 00:00 as dd.mm.yyyy hh:mm.
QString DateTimeText(uint32_t m);
// The regulator's packed stamp: high word year * 12 + month - 1, low word
// minutes from the start of the month. Empty when the high word is 0.
QString StampText(uint32_t t);

// Month number n = year * 12 + month - 1 as e.g. 2005NOV; "???????" when the
// year is 0.
QString MonthText(uint16_t n);
// e.g. "November 2005"; empty when the year is 0.
QString MonthYearText(uint16_t n);
// The name of a month's file, all lower case: "2005nov.qdr" for ("QDR"),
// "2005nov." for an empty extension; empty when the year is 0.
QString MonthFileName(uint16_t month, const QString& ext);

// "1 záznam", "3 záznamy", "5 záznamov": a count with the Slovak noun form
// it takes (one, two to four, else).
QString CountText(uint32_t n, const QString& one, const QString& few, const QString& many);
QString RecordsText(uint32_t n);
// What is left of a download: "zostáva 2862 záznamov", "zostávajú 3 záznamy".
QString RemainingRecordsText(uint32_t records);
// The same for a month: "2026NOV: zostáva 2862 záznamov".
QString RemainingText(uint16_t month, uint32_t records);

// The absolute, cleaned form of a file name, so that two spellings of one
// file compare equal; case is kept, as file systems may tell it apart.
// Empty for empty.
QString NormalizeFileName(const QString& name);
