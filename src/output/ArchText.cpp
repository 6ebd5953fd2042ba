#include "output/ArchText.h"

#include "regulator/DispArch.h"


namespace {

// One table as it is laid into lines: rows side by side under a header
// repeated as often as rows fit.
class TTableLines {
public:
    TTableLines(QStringList& lines, uint16_t width)
        : Lines(lines)
        , Width(width)
    {
    }

    // False when the user would rather not have rows wider than the line:
    // the lines are cleared then and the building ends.
    bool Start(const QString& header, const std::function<bool()>& confirmWidth)
    {
        const int c = header.size() + 1;
        PerLine = Width == 0 ? 1 : static_cast<uint8_t>(Width / c);
        Counter = 0;
        Line.clear();
        if (PerLine == 0) {
            if (!confirmWidth || !confirmWidth()) {
                Lines.clear();
                return false;
            }
            Lines << header.left(Width);
            return true;
        }
        Separator = QString((Width % c) / PerLine + 1, QLatin1Char(' '));
        QStringList headers;
        for (int i = 0; i < PerLine; ++i)
            headers << header;
        Lines << headers.join(Separator);
        return true;
    }

    void Put(const QString& row)
    {
        if (PerLine == 0) {
            Lines << row.left(Width);
            return;
        }
        if (Counter > 0)
            Line += Separator;
        Line += row;
        if (++Counter == PerLine)
            Flush();
    }

    void Flush()
    {
        if (!Line.isEmpty())
            Lines << Line;
        Line.clear();
        Counter = 0;
    }

    // The total row goes on a line of its own, after the day rows.
    void Alone()
    {
        if (PerLine > 1)
            PerLine = 1;
        Separator.clear();
    }

private:
    QStringList& Lines;
    const uint16_t Width;
    uint8_t PerLine = 1;
    QString Separator;
    QString Line;
    uint8_t Counter = 0;
};

} // namespace

bool BuildText(QStringList& lines, const TDispArch& view, const TTableChoice& choice, uint16_t width,
               const std::function<bool()>& confirmWidth)
{
    lines << QStringLiteral("ARCHÍV") + QString(10, QLatin1Char(' ')) + QLatin1Char('[') + choice.Caption +
                 QLatin1Char(']')
          << QString();
    for (uint8_t i = 0; i < view.SelectedCount; ++i)
        lines << choice.Label(view.SelectedChannel(i));

    TTableLines table(lines, width);
    if (choice.Powers) {
        lines << QString();
        if (!table.Start(view.IntervalLine(0), confirmWidth))
            return false;
        for (uint32_t r = view.FirstBlockInterval();
             r < view.RecordCount && (choice.AllRecords || view.InIntervalBlock(static_cast<uint16_t>(r))); ++r)
            table.Put(view.IntervalLine(static_cast<int>(r) + 1));
        table.Flush();
    }
    if (choice.Days) {
        lines << QString();
        if (!table.Start(view.DayLine(1), confirmWidth))
            return false;
        for (uint32_t d = view.FirstBlockDay();
             d < view.DayCount && (choice.AllRecords || view.InDayBlock(static_cast<uint8_t>(d))); ++d)
            table.Put(view.DayLine(static_cast<int>(d) + 2));
        table.Flush();
        table.Alone();
        table.Put(view.DayLine(0));
        table.Flush();
    }
    return true;
}
