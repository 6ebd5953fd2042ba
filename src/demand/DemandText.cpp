#include "demand/DemandText.h"

#include "core/TextFunctions.h"
#include "output/RecordClock.h"

#include <QDateTime>

QString CentiText(int64_t centi, bool slovak)
{
    const bool negative = centi < 0;
    const uint64_t v = negative ? uint64_t(-centi) : uint64_t(centi);
    QString whole = QString::number(v / 100);
    if (slovak)
        for (qsizetype at = whole.size() - 3; at > 0; at -= 3)
            whole.insert(at, QChar(0x00A0));
    return (negative ? QStringLiteral("-") : QString()) + whole + QLatin1Char(slovak ? ',' : '.') +
           QStringLiteral("%1").arg(v % 100, 2, 10, QLatin1Char('0'));
}

QString PlainCentiText(int64_t centi)
{
    QString text = CentiText(centi);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

QString SlovakKwText(int64_t centi)
{
    const QString text = CentiText(centi, true);
    return centi % 100 == 0 ? text.chopped(3) : text;
}

QString CapacityTypeText(TCapacityType type)
{
    switch (type) {
    case TCapacityType::Monthly: return QStringLiteral("mesačná");
    case TCapacityType::Quarterly: return QStringLiteral("trojmesačná");
    case TCapacityType::Yearly: return QStringLiteral("ročná");
    case TCapacityType::Any: break;
    }
    return QString();
}

QString CapacityText(const TMonthDemand& m)
{
    QString text = SlovakKwText(m.CapacityCentiKw) + QStringLiteral(" kW");
    if (m.TopUpCentiKw > 0)
        return text + QStringLiteral(" (%1 %2 + mesačná %3)")
                          .arg(CapacityTypeText(m.CapacityType), SlovakKwText(m.CapacityCentiKw - m.TopUpCentiKw),
                               SlovakKwText(m.TopUpCentiKw));
    const QString type = CapacityTypeText(m.CapacityType);
    return type.isEmpty() ? text : text + QLatin1Char(' ') + type;
}

QString SlovakPriceText(int64_t millionths)
{
    QString text = QString::number(millionths / 1000000) + QLatin1Char(',') +
                   QStringLiteral("%1").arg(millionths % 1000000, 6, 10, QLatin1Char('0'));
    while (text.endsWith(QLatin1Char('0')) && text.indexOf(QLatin1Char(',')) < text.size() - 3)
        text.chop(1);
    return text;
}

QString PowerFactorText(const TMonthDemand& m)
{
    if (!m.PowerFactorBilled)
        return QString();
    if (!m.CosPhiMilli)
        return QStringLiteral("bez údajov o jalovej energii");
    QString text = CosPhiText(*m.CosPhiMilli).replace(QLatin1Char('.'), QLatin1Char(','));
    if (m.SurchargePercentCenti > 0)
        text += QStringLiteral(" (prirážka %1 %)").arg(PlainCentiText(m.SurchargePercentCenti).replace(QLatin1Char('.'), QLatin1Char(',')));
    return text;
}

QString CosPhiText(int milli) { return QStringLiteral("%1.%2").arg(milli / 1000).arg(milli % 1000, 3, 10, QLatin1Char('0')); }

QString PeakIso(const TDemandPeak& peak) { return IsoTime(TTimedRecord{0, peak.Utc, peak.Offset}); }

QString PeakText(const TDemandPeak& peak)
{
    return QDateTime::fromSecsSinceEpoch(peak.Utc + peak.Offset, Qt::UTC).toString(QStringLiteral("dd.MM.yyyy HH:mm"));
}

QByteArray DemandCsv(const std::vector<TMonthDemand>& rows)
{
    QByteArray out = "month,model,demand_kw,at,capacity_kw,excess_kw,capacity_charge,excess_charge,total,complete,"
                     "capacity_type,topup_kw,mrk_excess_kw,mrk_excess_charge,cos_phi,pf_surcharge_percent,"
                     "pf_surcharge,capacitive_kvarh,capacitive_charge,month_total\r\n";
    for (const TMonthDemand& r : rows) {
        // No field can hold a comma, a quote or a line break: none is quoted.
        QStringList f{MonthKey(r.Month), ModelName(r.Model)};
        if (r.Demand)
            f << CentiText(r.Demand->CentiKw) << PeakIso(*r.Demand);
        else
            f << QString() << QString();
        f << CentiText(r.CapacityCentiKw);
        if (r.Demand)
            f << CentiText(r.ExcessCentiKw) << CentiText(r.CapacityCharge) << CentiText(r.ExcessCharge)
              << CentiText(r.Total);
        else
            f << QString() << CentiText(r.CapacityCharge) << QString() << QString();
        f << (r.Complete ? QStringLiteral("true") : QStringLiteral("false"));
        f << CapacityTypeName(r.CapacityType) << CentiText(r.TopUpCentiKw);
        if (r.Demand)
            f << CentiText(r.MrkExcessCentiKw) << CentiText(r.MrkExcessCharge);
        else
            f << QString() << QString();
        // Without a power factor in the contract, or without reactive data
        // in the month, its three columns stay empty.
        if (r.CosPhiMilli)
            f << CosPhiText(*r.CosPhiMilli) << PlainCentiText(r.SurchargePercentCenti) << CentiText(r.Surcharge);
        else
            f << QString() << QString() << QString();
        if (r.CapacitiveCentiKvarh)
            f << CentiText(*r.CapacitiveCentiKvarh) << CentiText(r.CapacitiveCharge);
        else
            f << QString() << QString();
        f << (r.Demand ? CentiText(r.MonthTotal) : QString());
        out += f.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    return out;
}

QStringList DemandTable(const std::vector<TMonthDemand>& rows, const QString& currency)
{
    const auto cell = [](const QString& text, int width) {
        QString s = text;
        PadLeft(s, width);
        return s;
    };
    QStringList lines;
    lines << QStringLiteral("Mesiac   Model     Odber kW  Kedy              Kapacita kW  Prekročenie kW  "
                            "Za kapacitu  Za prekročenie      Spolu  Úplný       Typ kapacity      Nad MRK  "
                            "Účinník                           Celkom");
    for (const TMonthDemand& r : rows) {
        QString model = ModelName(r.Model);
        PadRight(model, 7);
        QString line = MonthKey(r.Month) + QStringLiteral("  ") + model;
        line += cell(r.Demand ? CentiText(r.Demand->CentiKw, true) : QStringLiteral("-"), 11);
        QString at = r.Demand ? PeakText(*r.Demand) : QString();
        PadRight(at, 16);
        line += QStringLiteral("  ") + at;
        line += cell(CentiText(r.CapacityCentiKw, true), 13);
        line += cell(r.Demand ? CentiText(r.ExcessCentiKw, true) : QStringLiteral("-"), 16);
        line += cell(CentiText(r.CapacityCharge, true), 13);
        line += cell(r.Demand ? CentiText(r.ExcessCharge, true) : QStringLiteral("-"), 16);
        line += cell(r.Demand ? CentiText(r.Total, true) : QStringLiteral("-"), 11);
        QString complete = r.Complete ? QStringLiteral("áno")
                                      : QStringLiteral("nie (%1 %)").arg(r.Expected > 0 ? r.Valued * 100 / r.Expected : 0);
        PadRight(complete, 10);
        line += QStringLiteral("  ") + complete;
        // What the contract bills besides: the capacity's type (with a cz
        // top-up), the excess over MRK, the power factor, every charge.
        QString type = CapacityTypeText(r.CapacityType);
        if (r.TopUpCentiKw > 0)
            type += QStringLiteral(" + ") + SlovakKwText(r.TopUpCentiKw);
        PadRight(type, 16);
        line += QStringLiteral("  ") + type;
        line += cell(r.Demand ? CentiText(r.MrkExcessCharge, true) : QStringLiteral("-"), 9);
        QString factor = PowerFactorText(r);
        PadRight(factor, 28);
        line += QStringLiteral("  ") + factor;
        line += cell(r.Demand ? CentiText(r.MonthTotal, true) : QStringLiteral("-"), 11);
        lines << line;
    }
    lines << QStringLiteral("Sumy v %1; Spolu za kapacitu a prekročenie, Celkom so všetkými poplatkami; mesiac je "
                            "úplný s aspoň 90 % intervalov s hodnotou.")
                 .arg(currency);
    return lines;
}

QStringList RecommendationLines(const TRecommendation& r)
{
    return {QStringLiteral("recommended_capacity_kw=%1").arg(r.CapacityKw),
            QStringLiteral("cost=") + CentiText(r.Cost),
            QStringLiteral("current_capacity_kw=") + PlainCentiText(r.CurrentCentiKw),
            QStringLiteral("current_cost=") + CentiText(r.CurrentCost),
            QStringLiteral("saving=") + CentiText(r.Saving())};
}

QString ModelText(const TContract& c)
{
    const QString period = QStringLiteral("%1-minútová perióda").arg(c.PeriodMinutes);
    switch (c.Model) {
    case TDemandModel::TopN:
        return QStringLiteral("priemer %1 najvyšších denných maxím (%2)").arg(c.TopN).arg(period);
    case TDemandModel::Window:
        return QStringLiteral("najvyššia %1 v okne %2").arg(period, c.WindowText);
    case TDemandModel::Rolling:
        return QStringLiteral("priemer 12 mesačných maxím, každé aspoň %1 kW (%2)")
            .arg(CentiText(c.MinimumCentiKw, true), period);
    case TDemandModel::Max: break;
    }
    return QStringLiteral("najvyššia ") + period;
}
