// The cache of shared, reference-counted files: one image per file, saved
// when its last user lets go, and a full cache that refuses new files but serves held ones.
#include "files/FilesMem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint16_t Jan2006 = 2006 * 12;

const uint8_t Record[4] = {0xA0, 0x05, 0x01, 0x00};

qint64 SizeOf(const QString& name) { return QFileInfo(name).exists() ? QFileInfo(name).size() : -1; }

} // namespace

TEST(FilesMemTest, SharedImageWrittenOnlyByTheLastRelease)
{
    QTemporaryDir dir;
    TFilesMonth set("DAT", 8, 100, 4, dir.path());
    const QString full = dir.filePath("a.dat");

    TFileMem* first = set.Open("a.dat");
    TFileMem* second = set.Open(full);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second) << "relative and full name are one file";
    EXPECT_EQ(set.RefCount(0), 2);
    TFileMem* reader = set.Open(dir.path() + "/./sub/../a.dat");
    EXPECT_EQ(reader, first);
    set.Release(second);
    EXPECT_EQ(second, nullptr);

    // A reader looking at a file another user fills (the live outputs do,
    // every second) writes nothing when it lets go.
    ASSERT_TRUE(first->Put(Record, 4, 0));
    set.Release(reader);
    EXPECT_EQ(SizeOf(full), -1) << "written by a user that is not the last";
    set.Release(first);
    EXPECT_EQ(SizeOf(full), 8 + 4) << "the last user's release saves";
    EXPECT_EQ(set.Find("a.dat"), nullptr);

    TFileMem* keep = set.Open("a.dat");
    ASSERT_NE(keep, nullptr);
    ASSERT_TRUE(keep->Put(Record, 4, 1));
    set.Release(keep);
    EXPECT_EQ(set.Find("a.dat"), nullptr) << "the last user frees it";
    EXPECT_EQ(SizeOf(full), 8 + 2 * 4);
}

TEST(FilesMemTest, NamesAreComparedWithTheirCase)
{
    QTemporaryDir dir;
    TFilesMem set("DAT", 8, 100, 4, dir.path());
    TFileMem* lower = set.Open("b.dat");
    TFileMem* upper = set.Open("B.DAT");
    ASSERT_NE(lower, nullptr);
    ASSERT_NE(upper, nullptr);
    EXPECT_NE(lower, upper) << "on a case-sensitive file system these are two files";
    EXPECT_TRUE(upper->FileName().endsWith("/B.DAT"));
}

TEST(FilesMemTest, FullCacheRefusesNewFilesButServesHeldOnes)
{
    QTemporaryDir dir;
    TFilesMonth set("QDR", 8, 100, 4, dir.path());
    EXPECT_EQ(set.OpenMonth(0), nullptr) << "no year, no name";

    std::vector<TFileMem*> held;
    for (uint16_t m = 0; m < 8; ++m) {
        TFileMem* f = set.OpenMonth(static_cast<uint16_t>(Jan2006 + m));
        ASSERT_NE(f, nullptr);
        held.push_back(f);
    }
    EXPECT_TRUE(held[3]->FileName().endsWith("/2006apr.qdr"));
    EXPECT_EQ(static_cast<TFileMonth*>(held[3])->Month(), Jan2006 + 3);

    EXPECT_EQ(set.OpenMonth(Jan2006 + 8), nullptr);
    EXPECT_FALSE(QFile::exists(dir.filePath("2006sep.qdr")));
    TFileMem* ref = set.OpenMonth(Jan2006); // a second user of a held file
    ASSERT_EQ(ref, held[0]);
    EXPECT_FALSE(set.ReopenMonth(Jan2006 + 8, ref));
    EXPECT_EQ(ref, nullptr) << "a failed reopen has released the reference";
    EXPECT_EQ(set.RefCount(0), 1);

    EXPECT_EQ(set.OpenMonth(Jan2006 + 5), held[5]) << "a held file is still served";
    ref = held[0];
    EXPECT_TRUE(set.ReopenMonth(Jan2006 + 8, ref)) << "its last user lets go: the slot takes the new month";
    EXPECT_TRUE(ref->FileName().endsWith("/2006sep.qdr"));

    TFileMem* same = ref;
    EXPECT_TRUE(set.ReopenMonth(Jan2006 + 8, ref));
    EXPECT_EQ(ref, same);
    EXPECT_EQ(set.RefCount(0), 1) << "reopening the same month takes no further reference";
}

TEST(FilesMemTest, MonthFileOpenedByNameGetsItsMonthAndDestructionSaves)
{
    QTemporaryDir dir;
    const QString full = dir.filePath("2006jan.qdr");
    {
        TFilesMonth set("QDR", 8, 100, 4, dir.path());
        TFileMem* byName = set.Open("2006jan.qdr");
        ASSERT_NE(byName, nullptr);
        EXPECT_EQ(static_cast<TFileMonth*>(byName)->Month(), 0) << "by name the month comes from the header";
        EXPECT_EQ(set.OpenMonth(Jan2006), byName);
        EXPECT_EQ(static_cast<TFileMonth*>(byName)->Month(), Jan2006);
        ASSERT_TRUE(byName->Put(Record, 4, 2));
    } // the set goes with its files still held
    TFileMonth back(4, 100);
    EXPECT_TRUE(back.Load(full));
    EXPECT_EQ(back.Month(), Jan2006);
    EXPECT_EQ(back.Origin(), 2);
    EXPECT_EQ(back.Count(), 3);
}

TEST(FilesMemTest, SaveErrorsAreCounted)
{
    QTemporaryDir dir;
    TFilesMem set("DAT", 2, 100, 4, dir.path());
    std::vector<TFileNotice> notices;
    set.OnNotice = [&](const TFileNotice& n) { notices.push_back(n); };
    TFileMem* f = set.Open("gone/c.dat"); // its folder does not exist
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(f->Put(Record, 4, 0));
    EXPECT_FALSE(set.SaveAll());
    EXPECT_EQ(set.SaveErrors(), 1u);
    // Told at once, naming the file and the system's reason.
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].Kind, TFileNotice::SaveFailed);
    EXPECT_TRUE(notices[0].Detail.endsWith("gone/c.dat: No such file or directory")) << notices[0].Detail.toStdString();
    // ... and in parts, for the window's Slovak sentence.
    EXPECT_EQ(SlovakFileReason(notices[0].Error), QStringLiteral("priečinok %1 neexistuje").arg(dir.filePath("gone")))
        << SlovakFileError(notices[0].Error).toStdString();
    EXPECT_TRUE(set.SaveAll()) << "nothing changed since";
}
