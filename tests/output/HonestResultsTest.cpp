// Outputs that say what went wrong instead of passing off an empty or
// partial file as the month's: nothing to write, a zone of the database, a
// full disk.
#include "output/RecordClock.h"
#include "support/HandMonth.h"
#include "support/ToolRun.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

TEST(HonestResults, AMonthWithoutAPossibleTimeIsNothingToWrite)
{
    REQUIRE_TOOL();
    QTemporaryDir dir;
    // Every record dated the 31st of November.
    WriteTimedMonth(dir.path(), 2026 * 12 + 10, 1, 0, {At(31, 0, 0), At(31, 0, 15)}, [](int, int) { return 7; });
    for (const char* command : {"csv", "text", "xlsx", "report"}) {
        const ToolRun run = RunTool(dir.path(), {command, "2026nov.qdr"}, 120000);
        EXPECT_EQ(run.Exit, 2) << command << "\n" << run.Text().toStdString();
        EXPECT_TRUE(run.Err.contains(QStringLiteral("nothing to write"))) << run.Err.toStdString();
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("2026nov.qdr")});
}

TEST(HonestResults, EveryZoneOfTheDatabaseIsTakenButNoPath)
{
    if (!QFileInfo::exists(QStringLiteral("/usr/share/zoneinfo/Etc/GMT-1")))
        GTEST_SKIP() << "no zone database";
    EXPECT_EQ(ZoneByName(QStringLiteral("Etc/GMT-1")).offsetFromUtc(QDateTime::currentDateTimeUtc()), 3600);
    for (const char* name : {"Etc/UTC", "GMT", "Europe/Bratislava", "UTC+01:00"})
        EXPECT_TRUE(ZoneByName(QLatin1String(name)).isValid()) << name;
    for (const char* name : {"Mars/Olympus", "../../../usr/share/zoneinfo/UTC", "/usr/share/zoneinfo/UTC"})
        EXPECT_FALSE(ZoneByName(QLatin1String(name)).isValid()) << name;
}

TEST(HonestResults, AFullDiskIsSaidWithTheSystemsReasonAndNothingElse)
{
    REQUIRE_TOOL();
    if (::geteuid() != 0)
        GTEST_SKIP() << "a small file system of its own needs root";
    QTemporaryDir dir;
    WriteHandMonth(dir.path(), 2, 2, 0, [](int k, int) { return uint16_t(k); });
    // In a mount namespace of its own: a 64 KiB file system holding the
    // month, filled up, then the outputs.
    const QString script = QStringLiteral(
        "mkdir disk && mount -t tmpfs -o size=64k tmpfs disk && cp 2026nov.qdr disk/ && cd disk || exit 1;"
        "dd if=/dev/zero of=fill bs=1k count=200 2>/dev/null || true;"
        "for c in csv xlsx; do \"$0\" $c 2026nov.qdr; echo \"exit $?\"; done");
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                        QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral(QDRTOOL_PATH)});
    ASSERT_TRUE(p.waitForFinished(120000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    if (err.contains(QStringLiteral("unshare")) || err.contains(QStringLiteral("mount")))
        GTEST_SKIP() << "no mount namespace here: " << err.toStdString();
    EXPECT_EQ(out, QStringLiteral("exit 4\nexit 4\n")) << err.toStdString();
    const QStringList lines = err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << err.toStdString();
    for (const QString& line : lines) {
        EXPECT_TRUE(line.startsWith(QStringLiteral("qdrtool: cannot write 2026NOV."))) << line.toStdString();
        EXPECT_TRUE(line.endsWith(QStringLiteral(": No space left on device"))) << line.toStdString();
    }
}
