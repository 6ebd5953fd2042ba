#include "regulator/DispArch.h"

#include "core/LittleEndian.h"
#include "core/TextFunctions.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/FileArchQDR.h"

#include <algorithm>
#include <numeric>

namespace {
QString Number(uint32_t v) { return QString::number(v); }

QString RightIn(const QString& text, int width)
{
    QString s = text;
    PadLeft(s, width);
    return s;
}

} // namespace

TDispArch::TDispArch(TArchiveQDR* archive, uint8_t intervalMinutes)
    : Archive(archive)
    , IntervalMinutes(intervalMinutes)
{
    for (uint8_t c = 0; c < MaxChannels; ++c)
        FChannelColor[c] = static_cast<uint8_t>(c + 1);
}

TDispArch::~TDispArch() { Close(); }

void TDispArch::Close()
{
    if (FFile && Archive)
        Archive->Release(FFile);
    FFile = nullptr;
    FArch = nullptr;
}

const TFileArchQDR* TDispArch::Arch() const { return FArch; }

bool TDispArch::Open(const QString& name)
{
    Reset();
    // Looked up once: every cell and curve point reads through it.
    FArch = nullptr;
    if (Archive && Archive->Reopen(name, FFile))
        FArch = dynamic_cast<const TFileArchQDR*>(FFile);
    if (!FArch) {
        Close();
        return false;
    }
    MonthSuffix = QLatin1Char('.') + IntToStrZero(Month() % 12u + 1u, 2) + QLatin1Char('.');
    Scan();
    return true;
}

void TDispArch::Reset()
{
    MonthSuffix.clear();
    Channels = 0;
    ScannedSize = 0;
    ScannedOrigin = 0;
    SelectedCount = 0;
    RecordCount = 0;
    DayCount = 0;
    ClearBlock();
    MaxValue = 0;
    ComputeFullScale();
    for (uint8_t c = 0; c < MaxChannels; ++c) {
        FChannelColor[c] = static_cast<uint8_t>(c + 1);
        Sums[c] = TSums{};
    }
}

uint16_t TDispArch::Month() const
{
    const TFileArchQDR* file = Arch();
    return file ? file->Month() : 0;
}

void TDispArch::Scan()
{
    const TFileArchQDR* file = Arch();
    if (!file)
        return;
    // The file was started anew under the view (its records changed size and
    // the old ones were moved aside): everything counted so far is gone, and
    // the channels are those of the new records.
    if ((ScannedSize != 0 && file->RecordSize() != ScannedSize) || file->Held() < RecordCount ||
        file->Origin() != ScannedOrigin) {
        const QString suffix = MonthSuffix;
        Reset();
        MonthSuffix = suffix;
    }
    ScannedOrigin = file->Origin();
    if (Channels == 0 && file->RecordSize() >= 2) {
        ScannedSize = file->RecordSize();
        Channels = static_cast<uint8_t>(std::min<int>((file->RecordSize() - 2) / 2, MaxChannels));
        RebuildSelection();
    }
    const uint16_t held = file->Held();
    for (uint32_t i = RecordCount; i < held; ++i) {
        const uint8_t* record = file->RecordAt(static_cast<uint16_t>(i));
        if (!record)
            continue;
        const uint16_t day = static_cast<uint16_t>(GetWord(record) / 1440u);
        uint8_t g = static_cast<uint8_t>(DayCount - 1);
        if (DayCount == 0 || day != Days[g]) {
            if (DayCount == MaxDays)
                continue;
            g = DayCount++;
            Days[g] = static_cast<uint8_t>(day);
            for (TSums& s : Sums)
                s.DaySum[g] = 0;
            DayFirst[g] = static_cast<uint16_t>(i);
        } else if (DayLast[g] == BlockEnd) {
            // The selected day grew past the block's end: the block no
            // longer is that day.
            DayBlockStart = NoDay;
            DayBlockEnd = NoDay;
        }
        DayLast[g] = static_cast<uint16_t>(i);
        for (uint8_t c = 0; c < Channels; ++c) {
            const uint16_t v = GetWord(record + 2 + 2 * c);
            if (v == NoValue)
                continue;
            Sums[c].DaySum[g] += v;
            Sums[c].Total += v;
            MaxValue = std::max(MaxValue, v);
        }
    }
    if (held > RecordCount)
        RecordCount = held;
    ComputeFullScale();
}

const uint8_t* TDispArch::Record(uint16_t i) const
{
    // Never a record of another size than the channels were counted for.
    const TFileArchQDR* file = Arch();
    return file && i < RecordCount && file->RecordSize() == ScannedSize ? file->RecordAt(i) : nullptr;
}

uint16_t TDispArch::IntervalTime(uint16_t i) const
{
    const uint8_t* record = Record(i);
    return record ? GetWord(record) : 0;
}

uint16_t TDispArch::ChannelValue(uint16_t i, uint8_t channel) const
{
    const uint8_t* record = Record(i);
    return record && channel < Channels ? GetWord(record + 2 + 2 * channel) : NoValue;
}

bool TDispArch::IsReactive(uint8_t channel) const
{
    const TFileArchQDR* file = Arch();
    return channel != 0 && channel <= 16 && file && (file->KindMask() >> (channel - 1) & 1u);
}

void TDispArch::SetChannelColor(uint8_t channel, uint8_t index)
{
    if (channel > 12 || index > 13)
        return;
    FChannelColor[channel] = index;
    RebuildSelection();
}

void TDispArch::RebuildSelection()
{
    SelectedCount = 0;
    for (uint8_t c = 0; c < Channels; ++c)
        if (FChannelColor[c] != 0)
            FSelectedChannel[SelectedCount++] = c;
}

uint32_t TDispArch::ColorOf(uint8_t index)
{
    static constexpr uint32_t table[] = {
        0x000000, 0xFFFFFF, 0x00FFFF, 0x0000FF, 0xFF00FF, 0xFF0000, 0xFFFF00,
        0x00FF00, 0xA6CAF0, 0xFFFBF0, 0xC0DCC0, 0x008080, 0x000080, 0x008000,
    };
    return index <= 13 ? table[index] : table[0];
}

void TDispArch::SetRegulatedPower(uint8_t i, uint16_t value)
{
    if (i >= 2)
        return;
    FRegulatedPower[i] = value;
    ComputeFullScale();
}

void TDispArch::ComputeFullScale() { FullScale = std::max({MaxValue, FRegulatedPower[0], FRegulatedPower[1]}); }

// ---------------------------------------------------------------- block

bool TDispArch::SetBlockStart(uint16_t record)
{
    if (record >= RecordCount || record == BlockStart)
        return false;
    BlockStart = record;
    if (DayBlockStart >= DayCount && DayBlockEnd >= DayCount)
        BlockEnd = NoRecord;
    DayBlockStart = NoDay;
    DayBlockEnd = NoDay;
    ComputeBlockSums();
    return true;
}

bool TDispArch::SetBlockEnd(uint16_t record)
{
    if (record >= RecordCount || record == BlockEnd)
        return false;
    BlockEnd = record;
    DayBlockStart = NoDay;
    DayBlockEnd = NoDay;
    ComputeBlockSums();
    return true;
}

bool TDispArch::SetDayBlockStart(uint8_t day)
{
    if (day >= DayCount || day == DayBlockStart)
        return false;
    DayBlockStart = day;
    DayBlockEnd = NoDay;
    BlockStart = DayFirst[day];
    BlockEnd = DayLast[day];
    ComputeBlockSums();
    return true;
}

bool TDispArch::SetDayBlockEnd(uint8_t day)
{
    if (day >= DayCount || day == DayBlockEnd)
        return false;
    DayBlockEnd = day;
    if (DayBlockStart < DayCount) {
        BlockStart = std::min(BlockStart, DayFirst[day]);
        BlockEnd = BlockEnd < RecordCount ? std::max(BlockEnd, DayLast[day]) : DayLast[day];
    } else {
        BlockStart = DayFirst[0];
        BlockEnd = DayLast[day];
    }
    ComputeBlockSums();
    return true;
}

void TDispArch::ClearBlock()
{
    BlockStart = NoRecord;
    BlockEnd = NoRecord;
    DayBlockStart = NoDay;
    DayBlockEnd = NoDay;
}

namespace {
template <class T>
bool InBlock(T i, T start, T end, T count)
{
    if (i >= count)
        return false;
    const bool hasStart = start < count;
    const bool hasEnd = end < count;
    if (!hasEnd)
        return i == start;
    if (!hasStart)
        return i <= end;
    return i >= std::min(start, end) && i <= std::max(start, end);
}
} // namespace

bool TDispArch::InIntervalBlock(uint16_t record) const { return InBlock<uint16_t>(record, BlockStart, BlockEnd, RecordCount); }
bool TDispArch::InDayBlock(uint8_t day) const { return InBlock<uint8_t>(day, DayBlockStart, DayBlockEnd, DayCount); }
bool TDispArch::IntervalBlockSet() const { return BlockStart < RecordCount || BlockEnd < RecordCount; }
bool TDispArch::DayBlockSet() const { return DayBlockStart < DayCount || DayBlockEnd < DayCount; }

uint16_t TDispArch::FirstBlockInterval() const
{
    return BlockStart >= RecordCount ? 0 : std::min(BlockStart, BlockEnd);
}

uint8_t TDispArch::FirstBlockDay() const { return DayBlockStart >= DayCount ? 0 : std::min(DayBlockStart, DayBlockEnd); }

bool TDispArch::DayRange(uint8_t day, uint16_t& first, uint16_t& last) const
{
    if (day >= DayCount)
        return false;
    first = DayFirst[day];
    last = DayLast[day];
    return true;
}

bool TDispArch::BlockRange(uint16_t& first, uint16_t& last) const
{
    const uint16_t n = RecordCount;
    if (n == 0)
        return false;
    first = BlockStart < n ? BlockStart : 0;
    last = BlockEnd < n ? BlockEnd : BlockStart < n ? BlockStart : static_cast<uint16_t>(n - 1);
    if (first > last)
        std::swap(first, last);
    return true;
}

void TDispArch::ComputeBlockSums()
{
    for (TSums& s : Sums)
        s.BlockSum = 0;
    uint16_t first = 0;
    uint16_t last = 0;
    if (!BlockRange(first, last))
        return;
    // Whole days come from their day sums, so a block over a month costs
    // about as much as one over a day.
    uint8_t g = 0;
    for (uint32_t i = first; i <= last;) {
        while (g < DayCount && DayFirst[g] < i)
            ++g;
        if (g < DayCount && DayFirst[g] == i && DayLast[g] <= last) {
            for (uint8_t c = 0; c < Channels; ++c)
                Sums[c].BlockSum += Sums[c].DaySum[g];
            i = DayLast[g] + 1u;
            continue;
        }
        if (const uint8_t* record = Record(static_cast<uint16_t>(i)))
            for (uint8_t c = 0; c < Channels; ++c) {
                const uint16_t v = GetWord(record + 2 + 2 * c);
                if (v != NoValue)
                    Sums[c].BlockSum += v;
            }
        ++i;
    }
}

// ---------------------------------------------------------------- texts

QString TDispArch::Unit(uint8_t channel, bool energy) const
{
    if (IsReactive(channel))
        return energy ? QStringLiteral("kVArh") : QStringLiteral("kVAr");
    return energy ? QStringLiteral("kWh  ") : QStringLiteral("kW  ");
}

uint32_t TDispArch::Energy(uint32_t sum) const
{
    // A month of large sums times the interval length passes 32 bits.
    return static_cast<uint32_t>(uint64_t(IntervalMinutes) * sum / 60u);
}

QString TDispArch::IntervalCell(int row, int column) const
{
    if (row < 0 || column < 0 || column > SelectedCount)
        return QString();
    const uint8_t c = column > 0 ? FSelectedChannel[column - 1] : 0;
    if (row == 0) {
        if (column == 0)
            return QStringLiteral("Výkon");
        return RightIn(Number(c), 2) + QLatin1Char('[') + Unit(c, false) + QLatin1Char(']');
    }
    const uint32_t i = static_cast<uint32_t>(row - 1);
    if (i >= RecordCount || (column > 0 && c >= Channels))
        return QString();
    const uint8_t* record = Record(static_cast<uint16_t>(i));
    if (!record)
        return QStringLiteral("?");
    if (column == 0) {
        const uint16_t t = GetWord(record);
        return IntToStrZero(t / 1440u, 2) + MonthSuffix + QStringLiteral("  ") + MinutesText(t % 1440u);
    }
    const uint16_t v = GetWord(record + 2 + 2 * c);
    return v == NoValue ? QStringLiteral("?") : Number(v);
}

QString TDispArch::DayCell(int row, int column) const
{
    if (row < 0 || column < 0 || column > SelectedCount)
        return QString();
    const uint8_t c = column > 0 ? FSelectedChannel[column - 1] : 0;
    switch (row) {
    case 0:
        if (column == 0)
            return QStringLiteral("Spolu:");
        return Number(Energy(IntervalBlockSet() ? Sums[c].BlockSum : Sums[c].Total));
    case 1:
        if (column == 0)
            return QStringLiteral("Práca");
        return QLatin1Char('<') + RightIn(Number(c), 2) + QStringLiteral(">  [") + Unit(c, true) + QLatin1Char(']');
    default:
        break;
    }
    const uint32_t d = static_cast<uint32_t>(row - 2);
    if (d >= DayCount)
        return QString();
    if (column == 0)
        return IntToStrZero(Days[d], 2) + MonthSuffix;
    if (c >= Channels)
        return QString();
    return Number(Energy(Sums[c].DaySum[d]));
}

namespace {
// Appends text into a column of width: the first column keeps its left
// part, the others their right part. One buffer for the whole line, since a
// month's text is some sixty thousand cells.
void AppendLeft(QString& line, const QString& text, int width)
{
    const qsizetype n = std::min<qsizetype>(text.size(), width);
    line.append(QStringView(text).left(n));
    line.append(QString(width - n, QLatin1Char(' ')));
}

void AppendRight(QString& line, const QString& text, int width)
{
    const qsizetype n = std::min<qsizetype>(text.size(), width);
    line.append(QString(width - n, QLatin1Char(' ')));
    line.append(QStringView(text).right(n));
}
} // namespace

QString TDispArch::IntervalLine(int row) const
{
    QString line;
    line.reserve(13 + 10 * SelectedCount);
    AppendLeft(line, IntervalCell(row, 0), 13);
    for (int column = 1; column <= SelectedCount; ++column)
        AppendRight(line, IntervalCell(row, column), 10);
    return line;
}

QString TDispArch::DayLine(int row) const
{
    QString line;
    line.reserve(6 + 15 * SelectedCount);
    AppendLeft(line, DayCell(row, 0), 6);
    for (int column = 1; column <= SelectedCount; ++column)
        AppendRight(line, DayCell(row, column), 15);
    return line;
}

// ---------------------------------------------------------------- graph

TDispArch::TStep TDispArch::Step(uint8_t mode) const
{
    switch (mode) {
    case 0:
        return ScreenFit;
    case 2:
        return {6, 1};
    case 3:
        return PrintZoom[0];
    case 4:
        return PrintZoom[1];
    default:
        return {1, 1};
    }
}

uint32_t TDispArch::GraphWidth(uint8_t mode) const
{
    const TStep s = Step(mode);
    return (uint32_t(RecordCount) + s.Records - 1) / s.Records * s.Pixels;
}

uint32_t TDispArch::PositionToRecord(uint32_t x, uint8_t mode) const
{
    const TStep s = Step(mode);
    return x / s.Pixels * s.Records;
}

uint32_t TDispArch::RecordToPosition(uint32_t record, uint8_t mode) const
{
    const TStep s = Step(mode);
    return record / s.Records * s.Pixels;
}

void TDispArch::FitScreenWidth(uint32_t width)
{
    if (width == 0)
        return;
    // The records of a 31-day month at this interval length, whatever the
    // shown month holds, so the step does not change as a month fills.
    const uint32_t month = 31u * 1440u / std::max<uint32_t>(IntervalMinutes, 1u);
    ScreenFit = {1, static_cast<uint16_t>(std::clamp<uint32_t>((month + width - 1) / width, 1u, 0xFFFFu))};
}

void TDispArch::FitPrintWidth(uint32_t& width)
{
    width = width / 128u * 128u;
    // Nothing fits a page narrower than one step of 128 pixels; the print
    // modes stay as they were rather than dividing by nothing.
    if (width == 0)
        return;
    const uint32_t n = (std::max<uint32_t>(RecordCount, 3072u) + 127u) / 128u * 128u;
    const uint32_t g = std::gcd(width, n);
    PrintZoom[0] = {static_cast<uint16_t>(width / g), static_cast<uint16_t>(n / g)};
    const uint32_t g4 = std::gcd(4u * width, n);
    PrintZoom[1] = {static_cast<uint16_t>(4u * width / g4), static_cast<uint16_t>(n / g4)};
}

void TDispArch::ScaleSteps(uint16_t fullScale, int n, uint32_t& step, uint32_t& minor)
{
    const uint32_t full = std::max<uint32_t>(fullScale, 10u);
    const uint32_t labels = static_cast<uint32_t>(std::max(n, 1));
    uint32_t s = 1;
    uint32_t decade = 1;
    int k = 0; // position in 1, 2, 5
    while (!(labels * s >= full || s >= 65535u / labels)) {
        k = (k + 1) % 3;
        if (k == 0)
            decade *= 10u;
        s = decade * (k == 0 ? 1u : k == 1 ? 2u : 5u);
    }
    step = s;
    minor = (k == 1) ? s / 2u : s / 5u;
    if (minor == 0)
        minor = s;
}
