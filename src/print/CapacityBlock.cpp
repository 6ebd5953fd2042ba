#include "print/CapacityBlock.h"

#include "demand/DemandText.h"
#include "demand/FolderDemand.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QRect>

#include <algorithm>

namespace {
QString Slovak(int64_t centi) { return CentiText(centi, true); }

QString Kw(int64_t centi) { return SlovakKwText(centi); }

// Prices keep the places they were given beyond the cents.
QString Price(int64_t millionths) { return SlovakPriceText(millionths); }

const char* const MonthNames[] = {"január", "február", "marec",     "apríl",   "máj",      "jún",
                                  "júl",    "august",  "september", "október", "november", "december"};
} // namespace

int DrawCapacityBlock(QPainter& p, const QRect& area, int dpi, const TCapacityReport& r)
{
    const QFont base = p.font();
    const auto points = [dpi](int pt) { return std::max(1, (pt * std::max(dpi, 1) + 36) / 72); };
    QFont heading(QStringLiteral("DejaVu Sans"));
    heading.setStyleHint(QFont::SansSerif);
    heading.setPixelSize(points(11));
    heading.setBold(true);
    int y = area.top();
    const auto line = [&](const QFont& font, const QString& text, int x = 0) {
        p.setFont(font);
        const QFontMetrics fm(font);
        p.drawText(area.left() + x, y + fm.ascent(), text);
        y += fm.lineSpacing();
    };
    // Text that may need more than one line.
    const auto paragraph = [&](const QString& text) {
        p.setFont(base);
        const QRect box = p.boundingRect(QRect(area.left(), y, area.width(), area.bottom() - y),
                                         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
        p.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
        y += box.height();
    };

    line(heading, QStringLiteral("Rezervovaná kapacita"));
    if (!r.Problem.isEmpty()) {
        paragraph(r.Problem);
        p.setFont(base);
        return y - area.top();
    }
    const TContract& c = r.Contract;
    const TMonthDemand& m = r.Month;
    const QString currency = c.Currency;
    if (m.Demand)
        paragraph(QStringLiteral("Fakturačné maximum %1 kW, %2 (%3).")
                      .arg(Slovak(m.Demand->CentiKw), PeakText(*m.Demand), ModelText(c)));
    else
        paragraph(QStringLiteral("Fakturačné maximum: mesiac nemá žiadnu periódu s hodnotou (%1).").arg(ModelText(c)));
    const QString type = CapacityTypeText(m.CapacityType);
    if (m.TopUpCentiKw > 0)
        paragraph(QStringLiteral("Kapacita %1 kW ročná × %2 %3/kW a mesačná %4 kW × %5 %3/kW = %6 %3")
                      .arg(Kw(m.CapacityCentiKw - m.TopUpCentiKw), Price(c.PriceOf(m.CapacityType)), currency,
                           Kw(m.TopUpCentiKw), Price(c.PriceOf(TCapacityType::Monthly)), Slovak(m.CapacityCharge)));
    else
        paragraph(QStringLiteral("Kapacita %1 kW%2 × %3 %4/kW = %5 %4")
                      .arg(Kw(m.CapacityCentiKw), type.isEmpty() ? QString() : QLatin1Char(' ') + type,
                           Price(c.PriceOf(m.CapacityType)), currency, Slovak(m.CapacityCharge)));
    if (m.Demand) {
        paragraph(QStringLiteral("Prekročenie %1 kW × %2 %3/kW = %4 %3")
                      .arg(Slovak(m.ExcessCentiKw), Price(c.ExcessPriceOf(m.CapacityType)), currency,
                           Slovak(m.ExcessCharge)));
        if (c.MrkCentiKw > 0)
            paragraph(QStringLiteral("Nad MRK %1 kW: %2 kW × %3 %4/kW = %5 %4")
                          .arg(Kw(c.MrkCentiKw), Slovak(m.MrkExcessCentiKw), Price(c.MrkExcessPrice), currency,
                               Slovak(m.MrkExcessCharge)));
        if (m.PowerFactorBilled) {
            const auto comma = [](QString text) { return text.replace(QLatin1Char('.'), QLatin1Char(',')); };
            if (m.CosPhiMilli)
                paragraph(QStringLiteral("Účinník %1 pri zmluvnom %2: prirážka %3 % = %4 %5")
                              .arg(comma(CosPhiText(*m.CosPhiMilli)), comma(CosPhiText(c.PowerFactorMilli)),
                                   comma(PlainCentiText(m.SurchargePercentCenti)), Slovak(m.Surcharge), currency));
            else
                paragraph(QStringLiteral("Účinník: mesiac je bez údajov o jalovej energii, prirážka sa neurčila."));
        }
        if (m.CapacitiveCentiKvarh)
            paragraph(QStringLiteral("Kapacitná jalová energia %1 kvarh × %2 %3/kvarh = %4 %3")
                          .arg(Slovak(*m.CapacitiveCentiKvarh), Price(c.CapacitivePrice), currency,
                               Slovak(m.CapacitiveCharge)));
        paragraph(QStringLiteral("Spolu za mesiac %1 %2").arg(Slovak(m.MonthTotal), currency));
    } else {
        paragraph(QStringLiteral("Prekročenie nie je známe."));
    }
    if (!m.Complete)
        paragraph(QStringLiteral("Mesiac nie je úplný: hodnotu má %1 z %2 intervalov (menej ako 90 %).")
                      .arg(m.Valued)
                      .arg(m.Expected));

    // The year so far, a month a line; the columns as wide as their texts,
    // squeezed together only when the page is narrower than they are.
    QFont table = base;
    table.setPixelSize(std::max(1, base.pixelSize() * 9 / 10));
    const QString day = QStringLiteral("dd.MM. HH:mm");
    std::vector<QStringList> rows{
        {QStringLiteral("Mesiac"), QStringLiteral("Maximum"), QStringLiteral("Kedy"), QStringLiteral("Kapacita"),
         QStringLiteral("Prekročenie"), QStringLiteral("Za kapacitu"), QStringLiteral("Za prekročenie"),
         QStringLiteral("Spolu")},
        {QString(), QStringLiteral("kW"), QString(), QStringLiteral("kW"), QStringLiteral("kW"), currency, currency,
         currency}};
    // The columns the contract bills besides capacity and excess.
    const bool typed = c.TypedPrices || c.Rules == TCapacityRules::Cz;
    const bool mrk = c.MrkCentiKw > 0;
    const bool factor = c.PowerFactorMilli > 0;
    const bool capacitive = !c.Capacitive.empty();
    const auto extraHeads = [&](QStringList& head, QStringList& units) {
        if (typed) {
            head.insert(4, QStringLiteral("Typ"));
            units.insert(4, QString());
        }
        const auto add = [&](const QString& h, const QString& u) {
            head.insert(head.size() - 1, h);
            units.insert(units.size() - 1, u);
        };
        if (mrk)
            add(QStringLiteral("Nad MRK"), currency);
        if (factor) {
            add(QStringLiteral("Účinník"), QString());
            add(QStringLiteral("Prirážka"), currency);
        }
        if (capacitive)
            add(QStringLiteral("Kapacitná"), currency);
    };
    extraHeads(rows[0], rows[1]);
    const auto extras = [&](QStringList cells, const TMonthDemand& row) {
        if (typed)
            cells.insert(4, CapacityTypeText(row.CapacityType));
        const auto add = [&](const QString& text) { cells.insert(cells.size() - 1, text); };
        if (mrk)
            add(row.Demand ? Slovak(row.MrkExcessCharge) : QStringLiteral("-"));
        if (factor) {
            add(row.CosPhiMilli ? CosPhiText(*row.CosPhiMilli).replace(QLatin1Char('.'), QLatin1Char(','))
                                : QStringLiteral("-"));
            add(row.CosPhiMilli ? Slovak(row.Surcharge) : QStringLiteral("-"));
        }
        if (capacitive)
            add(row.CapacitiveCentiKvarh ? Slovak(row.CapacitiveCharge) : QStringLiteral("-"));
        return cells;
    };
    bool incomplete = false;
    for (const TMonthDemand& row : r.Year) {
        const QString name = QString::fromUtf8(MonthNames[row.Month % 12]) + (row.Complete ? QString() : QStringLiteral(" *"));
        incomplete = incomplete || !row.Complete;
        if (row.Demand)
            rows.push_back(extras({name, Slovak(row.Demand->CentiKw),
                                   QDateTime::fromSecsSinceEpoch(row.Demand->Utc + row.Demand->Offset, Qt::UTC)
                                       .toString(day),
                                   Kw(row.CapacityCentiKw), Slovak(row.ExcessCentiKw), Slovak(row.CapacityCharge),
                                   Slovak(row.ExcessCharge), Slovak(row.MonthTotal)},
                                  row));
        else
            rows.push_back(extras({name, QStringLiteral("-"), QString(), Kw(row.CapacityCentiKw), QStringLiteral("-"),
                                   Slovak(row.CapacityCharge), QStringLiteral("-"), QStringLiteral("-")},
                                  row));
    }
    const int columns = int(rows.front().size());
    const QFontMetrics full(table);
    std::vector<int> widths(size_t(columns), 0);
    for (const QStringList& row : rows)
        for (int i = 0; i < columns; ++i)
            widths[size_t(i)] = std::max(widths[size_t(i)], full.horizontalAdvance(row[i]));
    const int gap = 2 * full.horizontalAdvance(QLatin1Char('0'));
    int total = 0;
    for (const int w : widths)
        total += w + gap;
    total -= gap;
    if (total > area.width())
        table.setPixelSize(std::max(1, table.pixelSize() * area.width() / total));
    const double scale = total > area.width() ? double(area.width()) / total : 1.0;
    p.setFont(table);
    const QFontMetrics fm(table);
    y += fm.lineSpacing() / 3;
    for (size_t r0 = 0; r0 < rows.size(); ++r0) {
        int x = 0;
        for (int i = 0; i < columns; ++i) {
            const int width = int((widths[size_t(i)] + gap) * scale);
            const QString& text = rows[r0][i];
            // The month, the time and the type from the left, the numbers to
            // the right.
            const bool left = i == 0 || i == 2 || (typed && i == 4);
            const int at = left ? x : x + width - int(gap * scale) - fm.horizontalAdvance(text);
            p.drawText(area.left() + at, y + fm.ascent(), text);
            x += width;
        }
        y += fm.lineSpacing();
        if (r0 == 1) {
            p.fillRect(area.left(), y - fm.descent() / 2, std::min(area.width(), int(total * scale)),
                       std::max(1, fm.height() / 16), Qt::black);
            y += fm.height() / 4;
        }
    }
    if (incomplete)
        line(table, QStringLiteral("* mesiac s menej ako 90 % intervalov s hodnotou"));

    if (r.RecommendationDiffers()) {
        const TRecommendation& rec = *r.Recommendation;
        y += fm.lineSpacing() / 3;
        const QString months = rec.Months == 1 ? QStringLiteral("1 úplného mesiaca")
                                               : QStringLiteral("%1 úplných mesiacov").arg(rec.Months);
        paragraph(QStringLiteral("Podľa %1 do %2 by bola najvýhodnejšia rezervovaná kapacita %3 kW: "
                                 "%4 %5 namiesto %6 %5 pri %7 kW.")
                      .arg(months, MonthKey(m.Month), QString::number(rec.CapacityKw), Slovak(rec.Cost), currency,
                           Slovak(rec.CurrentCost), Kw(rec.CurrentCentiKw)));
    }
    p.setFont(base);
    return y - area.top();
}
