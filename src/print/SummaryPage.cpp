#include "print/SummaryPage.h"

#include "core/MeterNames.h"
#include "core/TextFunctions.h"
#include "print/CapacityBlock.h"
#include "print/MonthSummary.h"
#include "regulator/DispArch.h"

#include <QFontMetrics>
#include <QPainter>
#include <QRect>

#include <algorithm>

QString TReportTitles::Label(uint8_t channel) const
{
    return MeasurementLabel(channel, Labels);
}

namespace {
QString Number(uint32_t v) { return QString::number(v); }

QString Decimal(double v) { return QString::number(v, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')); }

QString Unit(bool reactive, bool energy)
{
    if (energy)
        return reactive ? QStringLiteral("kVArh") : QStringLiteral("kWh");
    return reactive ? QStringLiteral("kVAr") : QStringLiteral("kW");
}

// "intervaloch" and its kin by the count, as Slovak has it.
QString Intervals(uint32_t n)
{
    return QString::number(n) + (n == 1 ? QStringLiteral(" intervale") : QStringLiteral(" intervaloch"));
}

// Lines of text from the top of a rectangle down.
class TLines {
public:
    TLines(QPainter& painter, const QRect& area)
        : P(painter)
        , Area(area)
        , Y(area.top())
    {
    }
    void Font(const QFont& font) { P.setFont(font); }
    void Text(const QString& text, int indent = 0)
    {
        const QFontMetrics fm(P.font());
        P.drawText(Area.left() + indent, Y + fm.ascent(), text);
        Y += fm.lineSpacing();
    }
    // Cells of one line: each at its x from the left, right-aligned when its
    // width is positive (the cell then ends at x + width).
    struct TCell {
        int X;
        int Width;
        QString Text;
    };
    void Cells(std::initializer_list<TCell> cells)
    {
        const QFontMetrics fm(P.font());
        for (const TCell& c : cells) {
            const int x = c.Width > 0 ? Area.left() + c.X + c.Width - fm.horizontalAdvance(c.Text) : Area.left() + c.X;
            P.drawText(x, Y + fm.ascent(), c.Text);
        }
        Y += fm.lineSpacing();
    }
    void Skip(int pixels) { Y += pixels; }
    // A line under the text, at least as wide as the area; width: the
    // columns' extent when they reach further.
    void Rule(int width = 0)
    {
        const QFontMetrics fm(P.font());
        const int y = Y + fm.descent();
        P.fillRect(Area.left(), y, std::max(Area.width(), width), std::max(1, fm.height() / 16), Qt::black);
        Y += fm.height() / 2;
    }
    int Top() const { return Y; }

private:
    QPainter& P;
    const QRect Area;
    int Y;
};

void DrawDayBars(QPainter& p, const QRect& area, const TMonthSummary& s, const QString& month)
{
    if (s.DayEnergies.empty() || area.height() <= 0)
        return;
    const QFontMetrics fm(p.font());
    const int th = fm.height();
    const uint32_t top = std::max<uint32_t>(1, s.DayEnergies[size_t(s.HighestDay)].Energy);
    // Room for the day numbers below and the mark above the bars.
    const int base = area.bottom() - th;
    const int height = area.height() - 3 * th;
    if (height <= 0)
        return;
    const int slot = area.width() / 31;
    const int bar = std::max(1, slot * 2 / 3);
    const int line = std::max(1, th / 16);
    p.fillRect(area.left(), base, area.width(), line, Qt::black);
    for (size_t i = 0; i < s.DayEnergies.size(); ++i) {
        const TDayEnergy& d = s.DayEnergies[i];
        const int x = area.left() + (std::clamp<int>(d.Day, 1, 31) - 1) * slot + (slot - bar) / 2;
        const int h = static_cast<int>(int64_t(height) * d.Energy / top);
        const bool highest = int(i) == s.HighestDay;
        p.fillRect(x, base - h, bar, h, highest ? QColor(Qt::black) : QColor(0xA0, 0xA0, 0xA0));
        const QString day = QString::number(d.Day);
        p.drawText(x + (bar - fm.horizontalAdvance(day)) / 2, base + line + fm.ascent(), day);
        if (highest) {
            const QString mark = IntToStrZero(d.Day, 2) + QLatin1Char('.') + month + QStringLiteral(": ") + Number(d.Energy) +
                                 QStringLiteral(" kWh (najviac)");
            const int w = fm.horizontalAdvance(mark);
            const int mx = std::clamp(x + bar / 2 - w / 2, area.left(), area.left() + area.width() - w);
            p.drawText(mx, base - h - fm.descent() - line, mark);
        }
    }
}
} // namespace

void DrawSummaryPage(QPainter& p, const QRect& page, int dpi, const TDispArch& view, const TMonthSummary& s,
                     const TReportTitles& titles)
{
    const QFont base = p.font();
    const int margin = page.width() / 20;
    const QRect area = page.adjusted(margin, margin, -margin, -margin);
    const auto points = [dpi](int pt) { return std::max(1, (pt * std::max(dpi, 1) + 36) / 72); };
    QFont heading(QStringLiteral("DejaVu Sans"));
    heading.setStyleHint(QFont::SansSerif);
    heading.setPixelSize(points(16));
    heading.setBold(true);
    QFont subheading = heading;
    subheading.setPixelSize(points(11));
    QFont text = base;
    // The channel lines a point smaller, so a long measurement name fits.
    QFont table = base;
    table.setPixelSize(std::max(1, base.pixelSize() * 9 / 10));

    TLines out(p, area);
    out.Font(heading);
    out.Text(QStringLiteral("Mesačný prehľad odberu – ") + titles.Caption);
    out.Font(subheading);
    if (!titles.Site.isEmpty())
        out.Text(QStringLiteral("Odberné miesto: ") + titles.Site);
    out.Font(text);
    const QString month = IntToStrZero(s.Month % 12u + 1u, 2) + QLatin1Char('.');
    QString records = QStringLiteral("Záznamy: ") + Number(s.Records - s.Gaps - s.Impossible) +
                      QStringLiteral(" intervalov z ") + Number(s.Intervals) + QStringLiteral(" v mesiaci");
    records += s.Gaps > 0 ? QStringLiteral(", %1 prázdnych záznamov (medzery)").arg(s.Gaps)
                          : QStringLiteral(", bez medzier");
    out.Text(records);
    // Read as the records of another day they would swell its sums.
    if (s.Impossible > 0)
        out.Text(s.Impossible == 1  ? QStringLiteral("1 záznam s dňom, ktorý mesiac nemá, nie je započítaný.")
                 : s.Impossible < 5 ? QStringLiteral("%1 záznamy s dňom, ktorý mesiac nemá, nie sú započítané.").arg(s.Impossible)
                                    : QStringLiteral("%1 záznamov s dňom, ktorý mesiac nemá, nie je započítaných.").arg(s.Impossible));
    out.Skip(p.fontMetrics().height() / 2);

    // One line per channel; the columns are measured in the base font's
    // characters, so a long label is cut rather than pushed into the numbers.
    const QFontMetrics fm(text);
    const int cw = std::max(1, QFontMetrics(table).horizontalAdvance(QLatin1Char('0')));
    // The columns after the label take 70 characters up to the end of
    // "Bez hodnoty".
    const int labelChars = std::max(8, area.width() / cw - 70);
    const int xEnergy = (labelChars + 1) * cw;
    const int xPeak = xEnergy + 14 * cw;
    const int xTime = xPeak + 12 * cw;
    const int xMean = xTime + 18 * cw;
    const int xMissing = xMean + 13 * cw;
    out.Font(subheading);
    out.Text(QStringLiteral("Merania"));
    out.Font(table);
    out.Cells({{0, 0, QStringLiteral("Meranie")},
               {xEnergy, 13 * cw, QStringLiteral("Práca")},
               {xPeak, 11 * cw, QStringLiteral("Špička")},
               {xTime + cw, 0, QStringLiteral("Čas špičky")},
               {xMean, 11 * cw, QStringLiteral("Priemer")},
               {xMissing, 12 * cw, QStringLiteral("Bez hodnoty")}});
    out.Rule(xMissing + 12 * cw);
    for (const TChannelSummary& ch : s.Channels) {
        const bool any = ch.Values > 0;
        out.Cells({{0, 0, titles.Label(ch.Channel).left(labelChars)},
                   {xEnergy, 13 * cw, Number(ch.Energy) + QLatin1Char(' ') + Unit(ch.Reactive, true)},
                   {xPeak, 11 * cw, any ? Number(ch.Peak) + QLatin1Char(' ') + Unit(ch.Reactive, false) : QStringLiteral("-")},
                   {xTime + cw, 0, any ? RecordTimeText(view, ch.PeakRecord) : QStringLiteral("bez hodnôt")},
                   {xMean, 11 * cw, any ? Decimal(ch.Mean) + QLatin1Char(' ') + Unit(ch.Reactive, false) : QStringLiteral("-")},
                   {xMissing, 12 * cw, Number(ch.Missing)}});
    }
    out.Font(text);
    out.Skip(fm.height() / 2);

    out.Font(subheading);
    out.Text(QStringLiteral("Desať najvyšších intervalov – ") + titles.Label(0));
    out.Font(text);
    const int half = area.width() / 2;
    for (size_t row = 0; row < 5; ++row) {
        QString cells[2];
        for (size_t col = 0; col < 2; ++col) {
            const size_t k = col * 5 + row;
            if (k < s.Highest.size())
                cells[col] = QStringLiteral("%1. %2 %3 kW")
                                 .arg(k + 1, 2)
                                 .arg(RecordTimeText(view, s.Highest[k].Record))
                                 .arg(s.Highest[k].Value, 6);
        }
        if (cells[0].isEmpty())
            break;
        out.Cells({{0, 0, cells[0]}, {half, 0, cells[1]}});
    }
    if (s.Highest.empty())
        out.Text(QStringLiteral("Meranie nemá v mesiaci žiadnu hodnotu."));
    out.Skip(fm.height() / 2);

    out.Font(subheading);
    out.Text(QStringLiteral("Prekročenia limitu – ") + titles.Label(0));
    out.Font(text);
    const TExceedance& e = s.Exceedance;
    if (e.Limit == 0) {
        out.Text(QStringLiteral("Limit nie je známy."));
    } else if (e.Count == 0) {
        out.Text(QStringLiteral("Limit %1 kW nebol prekročený.").arg(e.Limit));
    } else {
        out.Text(QStringLiteral("Limit %1 kW bol prekročený v %2, najviac o %3 kW (%4).")
                     .arg(e.Limit)
                     .arg(Intervals(e.Count))
                     .arg(e.MaxExcess)
                     .arg(RecordTimeText(view, e.MaxRecord)));
        out.Text(QStringLiteral("Prvé prekročenie %1, posledné %2.")
                     .arg(RecordTimeText(view, e.FirstRecord), RecordTimeText(view, e.LastRecord)));
    }
    // The archive does not say which tariff an interval fell in.
    if (e.Limit > 0) {
        out.Text(QStringLiteral("Limit %1 kW je porovnaný so všetkými intervalmi vrátane nočných (NT):").arg(e.Limit));
        out.Text(QStringLiteral("archív neuchováva tarifu intervalu."));
    }
    out.Skip(fm.height() / 2);

    // What the demand costs under the contract.
    if (s.Capacity) {
        out.Skip(DrawCapacityBlock(p, QRect(area.left(), out.Top(), area.width(), area.bottom() - out.Top()), dpi,
                                   *s.Capacity));
        out.Skip(fm.height() / 2);
    }

    out.Font(subheading);
    out.Text(QStringLiteral("Denná práca – ") + titles.Label(0) + QStringLiteral(" [kWh]"));
    out.Font(text);
    const int chartTop = out.Top() + fm.height() / 2;
    // The bars take what the page has left, but no more than half of it.
    const int chartBottom = std::min(area.bottom(), chartTop + area.height() / 2);
    DrawDayBars(p, QRect(area.left(), chartTop, area.width(), chartBottom - chartTop), s, month);
    // The bars of days with intervals missing are short by them: said
    // below the bars.
    QStringList shortDays;
    for (const TDayEnergy& d : s.DayEnergies)
        if (d.Missing > 0)
            shortDays << IntToStrZero(d.Day, 2) + QLatin1Char('.') + month + QStringLiteral(" (%1)").arg(d.Missing);
    QStringList notes;
    if (!shortDays.isEmpty())
        notes << QStringLiteral("Intervaly bez hodnoty merania 00 v dňoch: ") + shortDays.join(QStringLiteral(", "));
    // A day without a single record has no bar at all; runs of such days
    // are named as ranges.
    QStringList without;
    for (size_t i = 0; i < s.DaysWithout.size();) {
        size_t j = i;
        while (j + 1 < s.DaysWithout.size() && s.DaysWithout[j + 1] == s.DaysWithout[j] + 1)
            ++j;
        const QString from = IntToStrZero(s.DaysWithout[i], 2) + QLatin1Char('.') + month;
        without << (j == i ? from : from + QStringLiteral("–") + IntToStrZero(s.DaysWithout[j], 2) + QLatin1Char('.') + month);
        i = j + 1;
    }
    if (!without.isEmpty())
        notes << QStringLiteral("Dni bez záznamov: ") + without.join(QStringLiteral(", "));
    if (!notes.isEmpty()) {
        p.drawText(QRect(area.left(), chartBottom + fm.height() / 2, area.width(), area.bottom() - chartBottom),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, notes.join(QLatin1Char('\n')));
    }
    p.setFont(base);
}
