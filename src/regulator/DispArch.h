#pragma once
// The archive view model: one monthly file shown as a table of interval
// powers, a table of daily energies with month totals, a selected block of
// records or days with its own totals, and the geometry of the graph. It
// draws nothing itself and knows no widget, so the archive page, the printed
// and written outputs and the command-line tool share it.
#include <QString>

#include <array>
#include <cstdint>

class TArchiveQDR;
class TFileMem;
class TFileArchQDR;

class TDispArch {
public:
    static constexpr uint8_t MaxChannels = 13;
    static constexpr uint8_t MaxDays = 32;
    static constexpr uint16_t NoRecord = 0xFFFF;
    static constexpr uint8_t NoDay = 0xFF;
    static constexpr uint16_t NoValue = 0xFFFF;
    // Zoom modes 0 to 2 are the screen's, 3 and 4 the print's.
    static constexpr uint8_t Modes = 5;

    struct TSums {
        uint32_t Total = 0;
        uint32_t BlockSum = 0;
        std::array<uint32_t, MaxDays> DaySum{};
    };
    // A graph step: Pixels pixels for Records records.
    struct TStep {
        uint16_t Pixels = 1;
        uint16_t Records = 1;
    };

    TDispArch(TArchiveQDR* archive, uint8_t intervalMinutes);
    ~TDispArch();
    TDispArch(const TDispArch&) = delete;
    TDispArch& operator=(const TDispArch&) = delete;

    // Shows the named monthly file; false (and an empty view) when the file
    // set cannot open it.
    bool Open(const QString& name);
    // Takes in the records added to the shown file since the last scan.
    void Scan();
    // Lets go of the shown file.
    void Close();
    uint16_t Month() const;
    const TFileMem* File() const { return FFile; }
    // The record at index i from the file's origin; nullptr for a gap, an
    // empty record or an index not scanned.
    const uint8_t* Record(uint16_t i) const;
    uint16_t IntervalTime(uint16_t i) const;
    uint16_t ChannelValue(uint16_t i, uint8_t channel) const;
    bool IsReactive(uint8_t channel) const;

    // Channel selection.
    void SetChannelColor(uint8_t channel, uint8_t index);
    uint8_t ChannelColor(uint8_t channel) const { return channel < MaxChannels ? FChannelColor[channel] : 0; }
    uint8_t SelectedChannel(uint8_t i) const { return i < SelectedCount ? FSelectedChannel[i] : 0; }
    // The curve colour of a colour index as 0xRRGGBB.
    static uint32_t ColorOf(uint8_t index);

    void SetRegulatedPower(uint8_t i, uint16_t value);
    uint16_t RegulatedPower(uint8_t i) const { return i < 2 ? FRegulatedPower[i] : 0; }

    // Block selection. The setters return true when they changed the block.
    bool SetBlockStart(uint16_t record);
    bool SetBlockEnd(uint16_t record);
    bool SetDayBlockStart(uint8_t day);
    bool SetDayBlockEnd(uint8_t day);
    void ClearBlock();
    bool InIntervalBlock(uint16_t record) const;
    bool InDayBlock(uint8_t day) const;
    bool IntervalBlockSet() const;
    bool DayBlockSet() const;
    uint16_t FirstBlockInterval() const;
    uint8_t FirstBlockDay() const;
    // First and last record of a day group; false for a day not held.
    bool DayRange(uint8_t day, uint16_t& first, uint16_t& last) const;
    // The records the block sums run over (all when no block is set); false
    // when nothing is scanned.
    bool BlockRange(uint16_t& first, uint16_t& last) const;

    // Table texts; row 0 and column 0 are the fixed ones.
    QString IntervalCell(int row, int column) const;
    QString DayCell(int row, int column) const;
    // A table row as one line of fixed-width columns for the text outputs.
    QString IntervalLine(int row) const;
    QString DayLine(int row) const;
    // Energy in kWh of a sum of interval powers.
    uint32_t Energy(uint32_t sum) const;

    // Graph geometry.
    TStep Step(uint8_t mode) const;
    uint32_t GraphWidth(uint8_t mode) const;
    uint32_t PositionToRecord(uint32_t x, uint8_t mode) const;
    uint32_t RecordToPosition(uint32_t record, uint8_t mode) const;
    // Makes the widest screen mode (0) show a whole month of 31 days in width
    // pixels: one pixel for as many records as that takes.
    void FitScreenWidth(uint32_t width);
    // Rounds width down to a multiple of 128 and makes the print modes fit
    // the month (at least 3072 records) into it and into four times it.
    void FitPrintWidth(uint32_t& width);
    // The value scale: labels every step, ticks every minor step, for n
    // labels fitting beside a plot of FullScale.
    static void ScaleSteps(uint16_t fullScale, int n, uint32_t& step, uint32_t& minor);

    TArchiveQDR* const Archive;
    const uint8_t IntervalMinutes;
    QString MonthSuffix;
    uint8_t Channels = 0;
    uint16_t RecordCount = 0;
    uint8_t DayCount = 0;
    std::array<uint8_t, MaxDays> Days{};
    std::array<uint16_t, MaxDays> DayFirst{};
    std::array<uint16_t, MaxDays> DayLast{};
    std::array<TSums, MaxChannels> Sums{};
    uint16_t BlockStart = NoRecord;
    uint16_t BlockEnd = NoRecord;
    uint8_t DayBlockStart = NoDay;
    uint8_t DayBlockEnd = NoDay;
    uint16_t MaxValue = 0;
    uint16_t FullScale = 0;
    uint8_t SelectedCount = 0;
    std::array<TStep, 2> PrintZoom{{{1, 2}, {2, 1}}};
    TStep ScreenFit{1, 4};

private:
    const TFileArchQDR* Arch() const;
    // Forgets what was scanned and selected (the file stays).
    void Reset();
    // The record size the channels were counted for.
    uint16_t ScannedSize = 0;
    // The file's origin when scanned: records are counted from it.
    uint16_t ScannedOrigin = 0;
    void ComputeFullScale();
    void RebuildSelection();
    void ComputeBlockSums();
    QString Unit(uint8_t channel, bool energy) const;

    TFileMem* FFile = nullptr;
    const TFileArchQDR* FArch = nullptr;
    std::array<uint16_t, 2> FRegulatedPower{};
    std::array<uint8_t, MaxChannels> FSelectedChannel{};
    std::array<uint8_t, MaxChannels> FChannelColor{};
};
