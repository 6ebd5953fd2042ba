#pragma once
// What the monthly files must hold after a download, built independently of
// the client: the regulator's records come from the simulator's own model,
// configured from the very command line the simulator process was started
// with, and the file layout is written out here field by field.
#include "SimOptions.h"
#include "SimRegulator.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The regulator a qdrsim process runs, rebuilt in the test. Advance and
// Restart mirror the simulator's control lines of the same names.
class TSimMirror {
public:
    explicit TSimMirror(const QStringList& args)
    {
        std::vector<std::string> words{"qdrsim"};
        for (const QString& a : args)
            words.push_back(a.toStdString());
        std::vector<const char*> argv;
        for (const std::string& w : words)
            argv.push_back(w.c_str());
        TSimOptions options;
        Valid = SimParseOptions(static_cast<int>(argv.size()), argv.data(), options, Error) && options.NowGiven;
        if (Valid && options.Speed != 0.0) {
            Valid = false;
            Error = "the clock must be stopped (--speed 0) to mirror the archive";
        }
        Model = std::make_unique<TSimRegulator>(options.Regulator);
    }

    void Advance(int minutes) { Model->SetClock(Model->GetClock() + int64_t(minutes) * 60); }
    void Restart() { Model->RestartNumbering(); }
    TSimRegulator& Regulator() { return *Model; }

    bool Valid = false;
    std::string Error;

private:
    std::unique_ptr<TSimRegulator> Model;
};

inline void PutWord(QByteArray& b, uint16_t v)
{
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
}

inline uint16_t WordAt(const QByteArray& b, int offset)
{
    return uint16_t(uint8_t(b[offset]) | uint8_t(b[offset + 1]) << 8);
}

inline QString MonthFileName(uint16_t month)
{
    static const char* const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
    return QStringLiteral("%1%2.qdr").arg(month / 12, 4, 10, QLatin1Char('0')).arg(QLatin1String(names[month % 12]));
}

// One monthly file: a 12-byte header of six little-endian words (header
// size, record size, Origin, Month, Shift, meter-kind mask), then the records
// from file position Origin on.
struct TExpectedMonth {
    uint16_t Month = 0;
    uint16_t RecordSize = 0;
    uint16_t Origin = 0;
    uint16_t Shift = 0;
    uint16_t KindMask = 0;
    QByteArray Records;

    QString FileName() const { return MonthFileName(Month); }
    int Held() const { return RecordSize ? int(Records.size()) / RecordSize : 0; }
    int Count() const { return Origin + Held(); }

    QByteArray Bytes() const
    {
        QByteArray b;
        for (uint16_t w : {uint16_t(12), RecordSize, Origin, Month, Shift, KindMask})
            PutWord(b, w);
        return b + Records;
    }

    // Files regulator records first..last (1-based) of the month where the
    // format puts them: at position index - 1 + Shift, after zero-filled gap
    // records where positions were skipped. Records are filed as received;
    // one whose time is no time of the month is filed with time 0. The first
    // record of an empty file fixes Origin.
    void File(const TSimRegulator& r, uint16_t first, uint16_t last)
    {
        for (uint32_t index = first; index <= last; ++index) {
            const int position = int(index) - 1 + Shift;
            const std::optional<TSimBytes> record = r.Record(Month, uint16_t(index));
            if (!record)
                continue;
            if (Records.isEmpty())
                Origin = uint16_t(position);
            while (Count() < position)
                Records.append(QByteArray(RecordSize, '\0'));
            QByteArray bytes(reinterpret_cast<const char*>(record->data()), int(record->size()));
            // A time that is no time of the month (an erased slot) makes the record empty.
            const uint16_t time = bytes.size() >= 2 ? WordAt(bytes, 0) : 0;
            if (time != 0 && (time < 1440 || time / 1440 > 31))
                bytes[0] = bytes[1] = '\0';
            Records.append(bytes);
        }
    }
};

// The files a complete download into an empty folder leaves: one per month
// of the regulator's table that still holds records, older month first. The
// lost records at the start of the older month are not stored; the first
// held one fixes Origin.
inline std::vector<TExpectedMonth> ExpectedArchive(const TSimRegulator& r)
{
    const TSimMonthTable table = r.MonthTable();
    std::vector<TExpectedMonth> files;
    const struct {
        uint16_t Month, Numbered;
    } months[] = {{table.Month1, uint16_t(table.Count1 + table.Lost)}, {table.Month0, table.Count0}};
    for (const auto& m : months) {
        TExpectedMonth f;
        f.Month = m.Month;
        f.RecordSize = uint16_t(r.RecordSize());
        f.KindMask = r.Config().Kinds;
        f.File(r, 1, m.Numbered);
        if (f.Held() > 0)
            files.push_back(f);
    }
    return files;
}

// Why bytes read from disk are not a sound monthly file of that name (empty
// when they are): a complete 12-byte header whose month agrees with the name,
// a record size that is not 0, and a whole number of records after it.
inline QString MonthFileFault(const QString& name, const QByteArray& b)
{
    if (b.size() < 12)
        return QStringLiteral("%1: %2 bytes, shorter than the header").arg(name).arg(b.size());
    if (WordAt(b, 0) != 12)
        return QStringLiteral("%1: header size word %2").arg(name).arg(WordAt(b, 0));
    const uint16_t size = WordAt(b, 2);
    if (size == 0)
        return QStringLiteral("%1: record size 0").arg(name);
    if ((b.size() - 12) % size != 0)
        return QStringLiteral("%1: %2 bytes after the header, not a whole number of %3-byte records")
            .arg(name)
            .arg(b.size() - 12)
            .arg(size);
    if (MonthFileName(WordAt(b, 6)) != name)
        return QStringLiteral("%1: header names month %2").arg(name).arg(WordAt(b, 6));
    return {};
}
