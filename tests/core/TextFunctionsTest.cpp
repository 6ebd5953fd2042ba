#include "core/Cp1250.h"
#include "core/TextFunctions.h"
#include "PrintQt.h"

#include <QDate>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(TextFunctions, ZeroPaddingAndCharacterRuns)
{
    EXPECT_EQ(IntToStrZero(7, 2), "07");
    EXPECT_EQ(IntToStrZero(123, 2), "123");
    EXPECT_EQ(IntToStrZero(0, 3), "000");
    EXPECT_EQ(IntToStrZero(5, 0), "");
    EXPECT_EQ(IntToStrZero(65535, 6), "065535");
    EXPECT_EQ(CharString(QLatin1Char('-'), 3), "---");
    EXPECT_EQ(CharString(QLatin1Char('-'), 0), "");
    EXPECT_EQ(CharString(QLatin1Char('-'), -2), "");
    EXPECT_EQ(Spaces(2), "  ");
}

TEST(TextFunctions, PaddingKeepsTheRightEndOnTheLeftAndTheLeftEndOnTheRight)
{
    QString s = QStringLiteral("12345");
    PadLeft(s, 3);
    EXPECT_EQ(s, "345");
    s = QStringLiteral("12345");
    PadRight(s, 3);
    EXPECT_EQ(s, "123");
    s = QStringLiteral("ab");
    PadLeft(s, 5);
    EXPECT_EQ(s, "   ab");
    s = QStringLiteral("ab");
    PadRight(s, 5);
    EXPECT_EQ(s, "ab   ");
    s = QStringLiteral("abc");
    PadLeft(s, 3);
    EXPECT_EQ(s, "abc");
    PadRight(s, 0);
    EXPECT_EQ(s, "");
}

TEST(TextFunctions, ClockTimeAndDateTexts)
{
    EXPECT_EQ(MinutesText(75), "01:15");
    EXPECT_EQ(MinutesText(0), "00:00");
    EXPECT_EQ(MinutesText(5999), "99:59");
    EXPECT_EQ(MinutesText(6000), "??:??");
    EXPECT_EQ(MinutesText(65535), "??:??");
    EXPECT_EQ(TimeText(8, 5), "08:05");
    EXPECT_EQ(DayMonthText(1, 12), "01.12.");
    EXPECT_EQ(DateText(9, 3, 987), "09.03.0987");
}

TEST(TextFunctions, SerialDatesAgreeWithTheCalendarAcrossLeapYearsAndCenturies)
{
    EXPECT_EQ(SerialDateText(38666), "10.11.2005");
    EXPECT_EQ(SerialDateText(0), "30.12.1899");
    EXPECT_EQ(SerialDateText(60), "28.02.1900"); // 1900 is no leap year
    EXPECT_EQ(SerialDateText(61), "01.03.1900");
    EXPECT_EQ(SerialDateText(36585), "29.02.2000"); // 2000 is one

    const QDate epoch(1899, 12, 30);
    // Every day from 1899 to 2200, then sparsely far beyond.
    for (uint32_t n = 0; n < 110000; ++n) {
        const QDate q = epoch.addDays(n);
        const TCalendarDate d = SerialToDate(n);
        ASSERT_TRUE(int(d.Day) == q.day() && int(d.Month) == q.month() && int(d.Year) == q.year()) << n;
    }
    for (uint32_t n = 110000; n < 3000000; n += 997) {
        const QDate q = epoch.addDays(n);
        const TCalendarDate d = SerialToDate(n);
        ASSERT_TRUE(int(d.Day) == q.day() && int(d.Month) == q.month() && int(d.Year) == q.year()) << n;
    }
    // The largest day a 32-bit minute count reaches prints without overflow.
    const QDate last = epoch.addDays(0xFFFFFFFFu / 1440u);
    EXPECT_EQ(DateTimeText(0xFFFFFFFFu), last.toString(QStringLiteral("dd.MM.yyyy")) + " 04:15");
}

TEST(TextFunctions, DateTimeAndStampTexts)
{
    EXPECT_EQ(DateTimeText(0), "30.12.1899 00:00");
    EXPECT_EQ(DateTimeText(38666u * 1440u + 23u * 60u + 59u), "10.11.2005 23:59");
    // Stamp: high word year * 12 + month - 1, low word minutes of the month.
    const uint32_t high = 2005 * 12 + 0;
    EXPECT_EQ(StampText((high << 16) | (1440 * 10 + 8 * 60 + 5)), "10.01.2005 08:05");
    EXPECT_EQ(StampText((uint32_t(2005 * 12 + 11) << 16) | 0), "00.12.2005 00:00");
    EXPECT_EQ(StampText(0), "");
    EXPECT_EQ(StampText(0x0000FFFFu), "") << "a zero high word means no stamp, whatever the low word";
    EXPECT_EQ(StampText(0x0001003Cu), "00.02.0000 01:00");
}

TEST(TextFunctions, MonthTextsNamesAndFileNames)
{
    EXPECT_EQ(MonthText(24070), "2005NOV");
    EXPECT_EQ(MonthText(24060), "2005JAN");
    EXPECT_EQ(MonthText(24071), "2005DEC");
    EXPECT_EQ(MonthText(5), "???????");
    EXPECT_EQ(MonthText(12), "0001JAN");
    EXPECT_EQ(MonthText(65535), "5461APR");

    EXPECT_EQ(MonthYearText(24070), QStringLiteral("November 2005"));
    EXPECT_EQ(MonthYearText(24060), QStringLiteral("Január 2005"));
    EXPECT_EQ(MonthYearText(24065), QStringLiteral("Jún 2005"));
    EXPECT_EQ(MonthYearText(24066), QStringLiteral("Júl 2005"));
    EXPECT_EQ(MonthYearText(24071), QStringLiteral("December 2005"));
    EXPECT_EQ(MonthYearText(12 * 987 + 2), QStringLiteral("Marec  987"));
    EXPECT_EQ(MonthYearText(11), "");

    EXPECT_EQ(MonthFileName(24070, QStringLiteral("QDR")), "2005nov.qdr");
    EXPECT_EQ(MonthFileName(24070, QString()), "2005nov.");
    EXPECT_EQ(MonthFileName(0, QStringLiteral("QDR")), "");
    EXPECT_EQ(MonthFileName(7, QStringLiteral("QDR")), "");

    // Slovak counts: one, two to four, the rest.
    EXPECT_EQ(RemainingText(24070, 1), QStringLiteral("2005NOV: zostáva 1 záznam"));
    EXPECT_EQ(RecordsText(4), QStringLiteral("4 záznamy"));
    EXPECT_EQ(RecordsText(0), QStringLiteral("0 záznamov"));
    EXPECT_EQ(RecordsText(22), QStringLiteral("22 záznamov"));
}

TEST(TextFunctions, NormalizeFileNameMakesOneSpellingPerFileAndKeepsCase)
{
    EXPECT_EQ(NormalizeFileName(QString()), "");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const QString cwd = QDir::currentPath();
    const QString plain = NormalizeFileName(QStringLiteral("2005nov.qdr"));
    EXPECT_EQ(plain, cwd + "/2005nov.qdr");
    EXPECT_EQ(NormalizeFileName(QStringLiteral("./sub/../2005nov.qdr")), plain);
    EXPECT_EQ(NormalizeFileName(cwd + "//2005nov.qdr"), plain);
    EXPECT_EQ(NormalizeFileName(QStringLiteral("Sub/Data.QDR")), cwd + "/Sub/Data.QDR");
    EXPECT_EQ(NormalizeFileName(QStringLiteral("/tmp/../Tmp/X.qdr")), "/Tmp/X.qdr");
    QDir::setCurrent(saved);
}

TEST(Cp1250, SlovakLettersRoundTripAndMissingOnesBecomeQuestionMarks)
{
    const QString slovak = QStringLiteral("Január ľščťžýáíéúäňôŕĺ ĽŠČŤŽÝÁÍÉÚÄŇÔŔĹ");
    const QByteArray bytes = ToCp1250(slovak);
    EXPECT_EQ(bytes.size(), slovak.size());
    EXPECT_EQ(bytes.left(6), QByteArray("Janu\xE1r"));
    EXPECT_EQ(static_cast<uint8_t>(bytes[7]), 0xBE); // ľ
    EXPECT_EQ(static_cast<uint8_t>(bytes[8]), 0x9A); // š
    EXPECT_EQ(static_cast<uint8_t>(bytes[9]), 0xE8); // č
    EXPECT_EQ(FromCp1250(bytes), slovak);
    EXPECT_EQ(ToCp1250(QStringLiteral("a€b")), QByteArray("a\x80" "b"));
    EXPECT_EQ(ToCp1250(QStringLiteral("x\u4E2Dy")), QByteArray("x?y"));
    EXPECT_EQ(FromCp1250(QByteArray("\x8A\x8E")), QStringLiteral("ŠŽ"));
    EXPECT_EQ(ToCp1250(QStringLiteral("x\U0001F600y")), QByteArray("x?y")) << "one mark per character, not per half";
    // Every byte the code page defines comes back as itself.
    int defined = 0;
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, static_cast<char>(b));
        const QString decoded = FromCp1250(one);
        if (decoded == QString(QChar::ReplacementCharacter))
            continue;
        ++defined;
        ASSERT_EQ(ToCp1250(decoded), one) << b;
    }
    EXPECT_GE(defined, 251);
}
