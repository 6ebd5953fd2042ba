// Loads arbitrary bytes as a monthly archive file, the way a file found on
// disk is loaded, then appends a record, saves and loads the result again.
//
// Beyond the sanitizers, it checks what the download relies on: a loaded file
// holds no more records than the bytes could carry, Count never wraps, and
// whatever was loaded comes back from the file this program writes.
#include "regulator/FileArchQDR.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t Nov2005 = 2005 * 12 + 10;

const QString& FileName()
{
    static QTemporaryDir dir;
    static const QString name = dir.filePath("2005nov.qdr");
    return name;
}

void CheckAt(bool ok, int line)
{
    if (!ok) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}
#define Check(ok) CheckAt((ok), __LINE__)

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    // What earlier inputs left aside (a file not read whole is kept before
    // the month is written afresh) would fill the folder run by run.
    for (const QString& aside : QDir(QFileInfo(FileName()).path()).entryList({QStringLiteral("*.unreadable*")}))
        QFile::remove(QFileInfo(FileName()).dir().filePath(aside));
    {
        QFile f(FileName());
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }

    uint16_t held = 0;
    uint16_t count = 0;
    uint16_t recordSize = 0;
    bool stored = false;
    {
        TFileArchQDR file(0, 64);
        const bool accepted = file.LoadMonth(FileName(), Nov2005);
        Check(file.Month() == Nov2005);
        Check(accepted || file.Held() == 0);
        if (accepted) {
            const size_t header = file.LoadedOldHeader() ? 6 : 12;
            Check(file.RecordSize() != 0);
            Check(header + size_t(file.Held()) * file.RecordSize() <= size);
        }
        Check(uint32_t(file.Origin()) + file.Held() == file.Count());
        for (uint16_t i = 0; i <= file.Held(); ++i)
            if (const uint8_t* r = file.RecordAt(i))
                Check(r[0] != 0 || r[1] != 0);

        // One more record at the end, then the file saves itself on the way out.
        const uint16_t rs = file.RecordSize() ? file.RecordSize() : 6;
        QByteArray record(rs, '\x01');
        stored = file.Put(reinterpret_cast<const uint8_t*>(record.constData()), rs, file.Count());
        held = file.Held();
        count = file.Count();
        recordSize = file.RecordSize();
    }
    TFileArchQDR back(0, 64);
    back.Load(FileName());
    if (stored) {
        Check(!back.LoadedOldHeader());
        Check(back.Held() == held && back.Count() == count && back.RecordSize() == recordSize);
    }
    return 0;
}
