#include "output/SpreadsheetOutput.h"

#include "output/AdvExcel.h"
#include "output/ArchText.h"
#include "output/ExcelError.h"
#include "regulator/DispArch.h"

namespace {
// The label of a measurement without its number: "03: Kompresory" is
// "Kompresory" (and an unnamed one stays empty).
constexpr int LabelNumberLength = 4;

class TTableSender {
public:
    TTableSender(TAdvExcel& excel, const TDispArch& view, const TTableChoice& choice,
                 const std::function<void(int)>& progress, const std::function<bool()>& busy)
        : Excel(excel)
        , View(view)
        , Choice(choice)
        , Progress(progress)
        , Busy(busy)
    {
    }

    void Send()
    {
        Excel.Connect();
        Excel.DisableInput();
        Excel.InsertWorkbook(2);
        Excel.Exec(QStringLiteral("[COLUMN.WIDTH(12,\"C1:C%1\")]").arg(View.SelectedCount + 1));
        Excel.PutStr(1, 1, QLatin1Char('\'') + Choice.Caption);
        for (uint8_t i = 0; i < View.SelectedCount; ++i)
            Excel.PutStr(1, i + 2, Choice.Label(View.SelectedChannel(i)).mid(LabelNumberLength));
        if (Choice.Powers)
            SendIntervals();
        // A stop ends the row loops only: the day table still gets its
        // header and its "Spolu:" row.
        if (Choice.Days)
            SendDays();
    }

private:
    bool Running()
    {
        if (!Stopped && Busy && !Busy())
            Stopped = true;
        return !Stopped;
    }

    void Show(int percent)
    {
        if (Progress)
            Progress(percent);
    }

    void SendIntervals()
    {
        ++Row;
        IntervalRow(0);
        const int count = View.RecordCount;
        for (int r = View.FirstBlockInterval(); r < count && Running() && (Choice.AllRecords || View.InIntervalBlock(uint16_t(r))); ++r) {
            IntervalRow(r + 1);
            Show((r + 1) * 100 / (count + 1));
        }
    }

    void SendDays()
    {
        ++Row;
        DayRow(1);
        const int count = View.DayCount;
        for (int d = View.FirstBlockDay(); d < count && Running() && (Choice.AllRecords || View.InDayBlock(uint8_t(d))); ++d) {
            DayRow(d + 2);
            Show((d + 2) * 100 / (count + 2));
        }
        DayRow(0);
    }

    void IntervalRow(int n)
    {
        for (int c = 0; c <= View.SelectedCount; ++c)
            Excel.PutStr(Row, c + 1, View.IntervalCell(n, c));
        ++Row;
    }

    void DayRow(int n)
    {
        for (int c = 0; c <= View.SelectedCount; ++c)
            Excel.PutStr(Row, c + 1, View.DayCell(n, c));
        ++Row;
    }

    TAdvExcel& Excel;
    const TDispArch& View;
    const TTableChoice& Choice;
    const std::function<void(int)>& Progress;
    const std::function<bool()>& Busy;
    int Row = 2;
    bool Stopped = false;
};

// Runs step, telling whether it went through; any failure counts, not only
// the driver's own.
template <typename F> bool Attempt(F&& step)
{
    try {
        step();
        return true;
    } catch (...) {
        return false;
    }
}
} // namespace

bool SendTables(TAdvExcel& excel, const TDispArch& view, const TTableChoice& choice,
                const std::function<void(int percent)>& progress, const std::function<bool()>& busy)
{
    TTableSender sender(excel, view, choice, progress, busy);
    bool ok = Attempt([&] { sender.Send(); });
    ok = Attempt([&] { excel.EnableInput(); }) && ok;
    ok = Attempt([&] { excel.Disconnect(); }) && ok;
    return ok;
}
