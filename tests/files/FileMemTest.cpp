// Record files on a real disk: the bytes they write, what they make of broken
// files, and that a save never destroys the file it replaces.
#include "files/FileMem.h"

#include "support/FileBytes.h"

#include "core/TextFunctions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {


void AddWord(Bytes& b, uint16_t w)
{
    b.push_back(static_cast<uint8_t>(w & 0xFF));
    b.push_back(static_cast<uint8_t>(w >> 8));
}

Bytes Words(std::initializer_list<uint16_t> words)
{
    Bytes b;
    for (uint16_t w : words)
        AddWord(b, w);
    return b;
}

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// November 2005.
constexpr uint16_t Nov2005 = 2005 * 12 + 10;

class FileMemTest : public ::testing::Test {
protected:
    QString Path(const QString& name) const { return Dir.filePath(name); }
    QTemporaryDir Dir;
};

} // namespace

TEST_F(FileMemTest, ArchFileRoundTripIsByteExact)
{
    const QString name = Path("2005nov.dat");
    const Bytes r0 = Words({1440, 100, 65535});
    const Bytes r3 = Words({1485, 7, 8});
    {
        TFileArch f(0, 100);
        f.LoadMonth(name, Nov2005);
        EXPECT_EQ(f.Month(), Nov2005);
        ASSERT_TRUE(f.Put(r0.data(), 6, 10)); // the first record sets Origin
        ASSERT_TRUE(f.Put(r3.data(), 6, 13)); // 11 and 12 stay empty
        EXPECT_EQ(f.Origin(), 10);
        EXPECT_EQ(f.Held(), 4);
        EXPECT_EQ(f.Count(), 14);
        ASSERT_TRUE(f.Save());
    }
    // header: size 10, record size 6, Origin 10, month, Shift 0
    const Bytes expected = Cat(Cat(Cat(Words({10, 6, 10, Nov2005, 0}), r0), Bytes(12, 0)), r3);
    EXPECT_EQ(ReadBytes(name), expected);

    TFileArch back(0, 100);
    EXPECT_TRUE(back.Load(name));
    EXPECT_EQ(back.Month(), Nov2005);
    EXPECT_EQ(back.Origin(), 10);
    EXPECT_EQ(back.Count(), 14);
    ASSERT_NE(back.RecordAt(3), nullptr);
    EXPECT_EQ(Bytes(back.RecordAt(3), back.RecordAt(3) + 6), r3);
    // the gap reads as the blank record, past the end nothing
    ASSERT_NE(back.RecordAt(1), nullptr);
    EXPECT_EQ(Bytes(back.RecordAt(1), back.RecordAt(1) + 6), Bytes(6, 0));
    EXPECT_EQ(back.RecordAt(4), nullptr);
    EXPECT_FALSE(back.Modified());
}

TEST_F(FileMemTest, OriginFollowsFirstRecordAndRefusals)
{
    TFileMemOrg f(4, 50);
    const Bytes r = Words({1, 2});
    EXPECT_FALSE(f.Put(r.data(), 4, 0)) << "no file name yet";
    f.Load(Path("org.dat"));
    ASSERT_TRUE(f.Put(r.data(), 4, 37));
    EXPECT_EQ(f.Origin(), 37);
    EXPECT_EQ(f.Count(), 38);
    EXPECT_FALSE(f.Put(r.data(), 4, 36)) << "before Origin";
    EXPECT_FALSE(f.Put(r.data(), 2, 38)) << "wrong size";
    EXPECT_FALSE(f.Put(r.data(), 4, 37 + 50)) << "past the capacity";
    EXPECT_TRUE(f.Put(r.data(), 4, 37 + 49));
    EXPECT_NE(f.Get(4, 36), nullptr) << "below Origin but not past Count gives the blank record";
}

TEST_F(FileMemTest, OriginPositionBelowGivesBlankAndFixedOriginStaysZero)
{
    TFileMemOrg org(4, 50);
    org.Load(Path("org2.dat"));
    const Bytes r = Words({5, 6});
    ASSERT_TRUE(org.Put(r.data(), 4, 3));
    ASSERT_NE(org.Get(4, 1), nullptr);
    EXPECT_EQ(GetWord(org.Get(4, 1)), 0);
    EXPECT_EQ(org.Get(4, 4), nullptr);
    EXPECT_EQ(org.Get(2, 3), nullptr);

    TFileMem plain(4, 50);
    plain.Load(Path("plain.dat"));
    ASSERT_TRUE(plain.Put(r.data(), 4, 3));
    EXPECT_EQ(plain.Origin(), 0);
    EXPECT_EQ(plain.Count(), 4);
    ASSERT_TRUE(plain.Save());
    EXPECT_EQ(ReadBytes(Path("plain.dat")), Cat(Cat(Words({4, 4}), Bytes(12, 0)), r));
}

TEST_F(FileMemTest, RecordSizeChangeDeletesAndUnchangedSaveWritesNothing)
{
    const QString name = Path("size.dat");
    TFileMemOrg f(0, 10);
    f.Load(name);
    const Bytes r = Words({1, 2, 3});
    ASSERT_TRUE(f.Put(r.data(), 6, 0));
    EXPECT_EQ(f.RecordSize(), 6) << "a file without size takes the first record's";
    f.SetRecordSize(4);
    EXPECT_EQ(f.Held(), 0);
    ASSERT_TRUE(f.Put(r.data(), 4, 0));
    ASSERT_TRUE(f.Save());
    ASSERT_TRUE(QFile::remove(name));
    EXPECT_TRUE(f.Save());
    EXPECT_FALSE(QFile::exists(name)) << "nothing changed, nothing written";
}

TEST_F(FileMemTest, BrokenFilesLoadAsSpecified)
{
    const Bytes rec = Words({1440, 1, 2});
    const Bytes good = Cat(Words({10, 6, 0, Nov2005, 0}), rec);

    struct Case {
        const char* what;
        QString file;
        Bytes bytes;
        bool accepted;
        uint16_t held;
    };
    const uint16_t dec = Nov2005 + 1;
    const std::vector<Case> cases = {
        {"valid", "2005nov.a", good, true, 1},
        {"truncated header", "2005nov.b", Bytes(good.begin(), good.begin() + 7), false, 0},
        {"empty file", "2005nov.c", {}, false, 0},
        {"month of another file", "2005nov.d", Cat(Words({10, 6, 0, dec, 0}), rec), false, 0},
        {"same bytes under the right name", "2005dec.d", Cat(Words({10, 6, 0, dec, 0}), rec), true, 1},
        {"upper-case name of the month", "2005NOV.E", good, true, 1},
        {"record size 0", "2005nov.f", Cat(Words({10, 0, 0, Nov2005, 0}), rec), false, 0},
        {"header of another class", "2005nov.g", Cat(Words({8, 6, 0, Nov2005}), rec), false, 0},
        {"two and a half records", "2005nov.h", Cat(Cat(good, rec), Bytes(rec.begin(), rec.begin() + 3)), true, 2},
        {"more than the capacity", "2005nov.i", Cat(Cat(Cat(good, rec), rec), rec), true, 3},
        // A month of year 0 has no file name, so no name can agree with it.
        {"month of year 0", "2005nov.j", Cat(Words({10, 6, 0, 1, 0}), rec), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(Path(c.file), c.bytes);
        TFileArch f(0, 3);
        EXPECT_EQ(f.Load(Path(c.file)), c.accepted);
        EXPECT_EQ(f.Held(), c.held);
        EXPECT_EQ(f.FileName(), QDir::cleanPath(Path(c.file))) << "the name is kept for a later save";
        EXPECT_FALSE(f.Modified());
        if (!c.accepted) {
            EXPECT_EQ(f.Month(), 0);
            EXPECT_EQ(f.RecordSize(), 0);
        }
    }
}

TEST_F(FileMemTest, RejectedFileIsReplacedOnlyAfterAChange)
{
    const QString name = Path("2005nov.x");
    const Bytes junk = Words({10, 6, 0, Nov2005 + 3, 0, 1, 2, 3});
    WriteBytes(name, junk);
    {
        TFileArch f(0, 10);
        EXPECT_FALSE(f.LoadMonth(name, Nov2005));
        EXPECT_EQ(f.Month(), Nov2005) << "a month file that could not be read still belongs to its month";
    }
    EXPECT_EQ(ReadBytes(name), junk);
    {
        TFileArch f(0, 10);
        f.LoadMonth(name, Nov2005);
        const Bytes r = Words({1440, 9, 9});
        ASSERT_TRUE(f.Put(r.data(), 6, 0));
    } // destroyed: saved with its own header
    EXPECT_EQ(ReadBytes(name), Cat(Words({10, 6, 0, Nov2005, 0}), Words({1440, 9, 9})));
    EXPECT_EQ(ReadBytes(name + ".unreadable"), junk) << "the month that could not be read is kept";

    // A second unreadable file never replaces the one kept before; a file
    // whose records do not all fit (an odd Origin) is not taken whole either.
    const Bytes tooMany = Cat(Words({10, 6, 0xFFFE, Nov2005, 0}), Cat(Words({1440, 1, 1}), Words({1455, 2, 2})));
    WriteBytes(name, tooMany);
    {
        TFileArch f(0, 10);
        EXPECT_TRUE(f.LoadMonth(name, Nov2005));
        EXPECT_EQ(f.LoadResult(), TFileMem::TLoad::Rejected);
        EXPECT_TRUE(f.LoadProblem().contains("only 1 fit")) << f.LoadProblem().toStdString();
        f.AdjustShift(0, 0);
        f.SetModified();
        EXPECT_TRUE(f.Save());
        EXPECT_EQ(f.TakeMovedAside(), NormalizeFileName(name) + ".unreadable.1");
    }
    EXPECT_EQ(ReadBytes(name + ".unreadable"), junk);
    EXPECT_EQ(ReadBytes(name + ".unreadable.1"), tooMany);
}

TEST_F(FileMemTest, LinksFifosAndDevicesAreNeverReadNorWrittenThrough)
{
    const QString target = Path("target");
    const Bytes precious = Words({1, 2, 3});
    WriteBytes(target, precious);
    const QString link = Path("2005nov.lnk");
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
    const QString fifo = Path("2005nov.fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
    QStringList names{link, fifo};
    const QString device = Path("2005nov.dev");
    if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        names << device; // as root only
    for (const QString& name : names) {
        TFileArch f(6, 10); // a FIFO opened to read would hang here
        EXPECT_FALSE(f.LoadMonth(name, Nov2005));
        EXPECT_EQ(f.LoadResult(), TFileMem::TLoad::Refused) << name.toStdString();
        EXPECT_TRUE(f.LoadProblem().contains("not a regular file")) << f.LoadProblem().toStdString();
        const Bytes r = Words({1440, 9, 9});
        ASSERT_TRUE(f.Put(r.data(), 6, 0));
        EXPECT_FALSE(f.Save());
        EXPECT_TRUE(f.SaveProblem().startsWith(NormalizeFileName(name) + " is a")) << f.SaveProblem().toStdString();
    }
    EXPECT_EQ(ReadBytes(target), precious);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size(), names.size() + 1)
        << "no scratch file left behind";
}

TEST_F(FileMemTest, HugeRecordSizeReadsOnlyWhatTheFileHolds)
{
    const QString name = Path("2005nov.qdr");
    WriteBytes(name, Cat(Words({10, 0xFFFF, 0, Nov2005, 0}), Words({1440, 1, 1})));
    TFileArch f(0, 4608);
    EXPECT_TRUE(f.LoadMonth(name, Nov2005));
    EXPECT_EQ(f.Held(), 0);
    EXPECT_EQ(f.LoadResult(), TFileMem::TLoad::Rejected) << "the partial record is not thrown away unsaid";
}

TEST_F(FileMemTest, AdjustShiftFollowsRestartWithoutOverwriting)
{
    TFileArch f(6, 400);
    f.LoadMonth(Path("2005nov.qdr"), Nov2005);
    const Bytes r = Words({1440, 1, 1});
    for (uint16_t i = 0; i < 300; ++i)
        ASSERT_TRUE(f.Put(r.data(), 6, i));
    f.AdjustShift(400, 0);
    EXPECT_EQ(f.Shift(), 0) << "more records in the regulator: no restart";
    f.AdjustShift(5, 7);
    EXPECT_EQ(f.Shift(), 0) << "more lost than counted is no restart either";
    f.AdjustShift(5, 2);
    EXPECT_EQ(f.Shift(), 298);
    EXPECT_EQ(f.ArchCount(), 2) << "the next record asked for is 3, filed at position 300";
    EXPECT_TRUE(f.Modified());

    // With an Origin the restarted numbering still lands at Count.
    TFileArch g(6, 400);
    g.LoadMonth(Path("2005dec.qdr"), Nov2005 + 1);
    for (uint16_t i = 20; i < 120; ++i)
        ASSERT_TRUE(g.Put(r.data(), 6, i));
    g.AdjustShift(5, 0);
    EXPECT_EQ(static_cast<uint16_t>(0 + g.Shift()), g.Count());
}

TEST_F(FileMemTest, TwoWritersNeverShrinkTheFile)
{
    // Two programs load the month while it has no file; the one with more
    // records saves first, the one that went silent after 48 saves last.
    const QString name = Path("2005nov.qdr");
    TFileArch more(6, 400), fewer(6, 400);
    more.LoadMonth(name, Nov2005);
    fewer.LoadMonth(name, Nov2005);
    for (uint16_t i = 0; i < 300; ++i) {
        const Bytes r = Words({uint16_t(1440 + 15 * i), i, 7});
        ASSERT_TRUE(more.Put(r.data(), 6, i));
        if (i < 48 || i == 100) {
            ASSERT_TRUE(fewer.Put(r.data(), 6, i));
        }
    }
    ASSERT_TRUE(more.Save());
    const Bytes saved = ReadBytes(name);
    ASSERT_TRUE(fewer.Save());
    EXPECT_EQ(ReadBytes(name), saved) << "the file holds all 300 records";
    EXPECT_EQ(fewer.Count(), 300) << "and so does the image that saved last";

    // Records of another size are another layout: kept aside, not replaced.
    TFileArch other(8, 400);
    other.LoadMonth(Path("2005dec.qdr"), Nov2005 + 1);
    WriteBytes(Path("2005dec.qdr"), Cat(Words({10, 6, 0, Nov2005 + 1, 0}), Words({1440, 1, 2})));
    const Bytes eight = Words({1440, 1, 2, 3});
    ASSERT_TRUE(other.Put(eight.data(), 8, 0));
    ASSERT_TRUE(other.Save());
    EXPECT_EQ(ReadBytes(Path("2005dec.qdr.recordsize")), Cat(Words({10, 6, 0, Nov2005 + 1, 0}), Words({1440, 1, 2})));
    EXPECT_EQ(ReadBytes(Path("2005dec.qdr")), Cat(Words({10, 8, 0, Nov2005 + 1, 0}), eight));
}

// Failing writes: a file size limit makes every write past it fail, even for
// a user whom permissions do not stop.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &Old);
        OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = Old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &Old);
        std::signal(SIGXFSZ, OldHandler);
    }

private:
    rlimit Old{};
    void (*OldHandler)(int) = nullptr;
};

TEST_F(FileMemTest, FailedSaveLeavesOldFileAndNoTemporaryFiles)
{
    const QString name = Path("2005nov.qdr");
    TFileArch f(6, 4608);
    f.LoadMonth(name, Nov2005);
    const Bytes r = Words({1440, 3, 4});
    ASSERT_TRUE(f.Put(r.data(), 6, 0));
    ASSERT_TRUE(f.Save());
    const Bytes before = ReadBytes(name);
    ASSERT_EQ(before.size(), 16u);

    for (uint16_t i = 1; i < 1000; ++i)
        ASSERT_TRUE(f.Put(r.data(), 6, i));
    {
        FileSizeLimit limit(1024);
        EXPECT_FALSE(f.Save());
    }
    EXPECT_TRUE(f.SaveProblem().contains(NormalizeFileName(name) + ": File too large")) << f.SaveProblem().toStdString();
    EXPECT_FALSE(f.Modified()) << "a failed save is silent and clears Modified";
    EXPECT_EQ(ReadBytes(name), before);
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{"2005nov.qdr"});

    ASSERT_TRUE(f.Put(r.data(), 6, 1000));
    EXPECT_TRUE(f.Save());
    EXPECT_EQ(ReadBytes(name).size(), 10u + 1001u * 6u);
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 1);
}

TEST_F(FileMemTest, ReadOnlyFolderKeepsOldFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop this user; the size-limit test covers it";
    const QString sub = Path("ro");
    ASSERT_TRUE(QDir().mkpath(sub));
    const QString name = sub + "/2005nov.qdr";
    TFileArch f(6, 100);
    f.LoadMonth(name, Nov2005);
    const Bytes r = Words({1440, 3, 4});
    ASSERT_TRUE(f.Put(r.data(), 6, 0));
    ASSERT_TRUE(f.Save());
    const Bytes before = ReadBytes(name);
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    ASSERT_TRUE(f.Put(r.data(), 6, 1));
    EXPECT_FALSE(f.Save());
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(ReadBytes(name), before);
    EXPECT_EQ(QDir(sub).entryList(QDir::Files | QDir::Hidden).size(), 1);
}
