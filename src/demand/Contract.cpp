#include "demand/Contract.h"

#include <QStringList>

#include <algorithm>

namespace {
const QString Section = QStringLiteral("ZMLUVA");

// A decimal number without a sign, with at most decimals places after a
// point (or a comma where allowed), as an integer of those places; false for
// anything else or for more than max.
bool ParseFixed(const QString& written, int decimals, bool comma, int64_t max, int64_t& value)
{
    const QString text = written.trimmed();
    int64_t v = 0;
    int places = -1;
    bool digits = false;
    for (const QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            if (places >= 0 && ++places > decimals)
                return false;
            v = v * 10 + (c.unicode() - '0');
            if (v > max * 1000000)
                return false;
            digits = true;
        } else if ((c == QLatin1Char('.') || (comma && c == QLatin1Char(','))) && places < 0) {
            places = 0;
        } else {
            return false;
        }
    }
    if (!digits)
        return false;
    for (int p = std::max(places, 0); p < decimals; ++p)
        v *= 10;
    int64_t limit = max;
    for (int p = 0; p < decimals; ++p)
        limit *= 10;
    if (v > limit)
        return false;
    value = v;
    return true;
}

bool ParseMonth(const QString& text, uint16_t& month)
{
    const QDate d = QDate::fromString(text.trimmed() + QStringLiteral("-01"), QStringLiteral("yyyy-MM-dd"));
    if (!d.isValid() || d.year() < 1990 || d.year() > 2200)
        return false;
    month = static_cast<uint16_t>(d.year() * 12 + d.month() - 1);
    return true;
}

// "07:00" as minutes of the day; 24:00 only where end allows it.
bool ParseClock(const QString& text, bool end, int& minutes)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    if (parts.size() != 2 || parts[0].isEmpty() || parts[0].size() > 2 || parts[1].size() != 2)
        return false;
    bool okH = false;
    bool okM = false;
    const int h = parts[0].toInt(&okH);
    const int m = parts[1].toInt(&okM);
    if (!okH || !okM || h < 0 || m < 0 || m > 59 || h > 24 || (h == 24 && (m != 0 || !end)))
        return false;
    minutes = h * 60 + m;
    return true;
}

// The Slovak day abbreviations; Štvrtok also without the háček, as "Stv".
int DayNumber(const QString& text)
{
    const QString t = text.trimmed().toLower();
    static const std::pair<const char*, int> names[] = {{"po", 1}, {"ut", 2}, {"st", 3}, {"št", 4}, {"štv", 4},
                                                        {"stv", 4}, {"pi", 5}, {"so", 6}, {"ne", 7}};
    for (const auto& [name, day] : names)
        if (t == QString::fromUtf8(name))
            return day;
    return 0;
}

// "Po-Pi 07:00-20:00": the days (one, or a range, which may wrap over the
// weekend) and the hours.
bool ParseWindow(const QString& text, TDemandWindow& window)
{
    const QStringList parts = text.simplified().split(QLatin1Char(' '));
    if (parts.size() != 2)
        return false;
    const QStringList days = parts[0].split(QLatin1Char('-'));
    if (days.size() > 2)
        return false;
    const int first = DayNumber(days.first());
    const int last = DayNumber(days.last());
    if (first == 0 || last == 0)
        return false;
    window.Days = 0;
    for (int d = first;; d = d % 7 + 1) {
        window.Days = static_cast<uint8_t>(window.Days | 1u << (d - 1));
        if (d == last)
            break;
    }
    const QStringList hours = parts[1].split(QLatin1Char('-'));
    return hours.size() == 2 && ParseClock(hours[0], false, window.From) && ParseClock(hours[1], true, window.To) &&
           window.From < window.To;
}

TCapacityType TypeNamed(const QString& text)
{
    const QString t = text.trimmed().toLower();
    for (const TCapacityType type : {TCapacityType::Monthly, TCapacityType::Quarterly, TCapacityType::Yearly})
        if (t == CapacityTypeName(type))
            return type;
    return TCapacityType::Any;
}

QString PlainKw(int64_t centi)
{
    return centi % 100 == 0 ? QString::number(centi / 100)
                            : QStringLiteral("%1.%2").arg(centi / 100).arg(centi % 100, 2, 10, QLatin1Char('0'));
}

QString MonthName(uint16_t month)
{
    return QStringLiteral("%1-%2").arg(month / 12).arg(month % 12 + 1, 2, 10, QLatin1Char('0'));
}

// "02,03": channels 1 to 12, each once.
bool ParseChannels(const QString& text, std::vector<uint8_t>& channels)
{
    channels.clear();
    for (const QString& part : text.split(QLatin1Char(','))) {
        bool ok = false;
        const int channel = part.trimmed().toInt(&ok);
        if (!ok || channel < 1 || channel > 12 ||
            std::find(channels.begin(), channels.end(), uint8_t(channel)) != channels.end())
            return false;
        channels.push_back(uint8_t(channel));
    }
    return !channels.empty();
}

class TReader {
public:
    TReader(const std::function<bool(const QString&, QString&)>& text, TContract& contract)
        : Text(text)
        , C(contract)
    {
    }
    bool Ok() const { return C.Problem.isEmpty(); }
    // The key's text; false (and nothing said) when it is not there.
    bool Get(const QString& key, QString& value) const
    {
        if (!Ok() || !Text(key, value))
            return false;
        value = value.trimmed();
        return true;
    }
    bool Require(const QString& key, const QString& what, QString& value)
    {
        if (Get(key, value))
            return true;
        if (Ok())
            C.Problem = QStringLiteral("V nastavení ZMLUVA chýba %1 (%2) !").arg(key, what);
        return false;
    }
    void Wrong(const QString& key, const QString& value, const QString& hint)
    {
        C.Problem = QStringLiteral("Nesprávne nastavenie ZMLUVA %1=%2 (%3) !").arg(key, value, hint);
    }

private:
    const std::function<bool(const QString&, QString&)>& Text;
    TContract& C;
};
// Entries [month:]kW[:type] in month order; only the first of a Kapacita
// may go without its month: it holds from the start. A cz yearly part is
// rocna whatever it says of itself, so it may say nothing else.
void ParseSteps(TReader& r, const QString& key, const QString& v, bool firstBare, TCapacityType fallback,
                std::vector<TCapacityStep>& steps)
{
    const QString hint = QStringLiteral("kW od mesiaca s typom, napr. 2026-01:400:rocna,2026-07:450:mesacna");
    const QStringList parts = v.split(QLatin1Char(','));
    for (qsizetype i = 0; i < parts.size() && r.Ok(); ++i) {
        QStringList fields = parts[i].split(QLatin1Char(':'));
        TCapacityStep step;
        step.Type = fallback;
        if (fields.size() > 1 && TypeNamed(fields.back()) != TCapacityType::Any) {
            step.Type = TypeNamed(fields.back());
            fields.removeLast();
        } else if (fields.size() == 3) {
            r.Wrong(key, v, hint);
            break;
        }
        const bool bare = fields.size() == 1;
        if (fields.size() > 2 || (bare ? !firstBare || i > 0 : !ParseMonth(fields.front(), step.FromMonth)) ||
            (fallback != TCapacityType::Any && step.Type != fallback) ||
            !ParseFixed(fields.back(), 2, false, 1000000, step.CentiKw) ||
            (!steps.empty() && step.FromMonth <= steps.back().FromMonth)) {
            r.Wrong(key, v, hint + QStringLiteral(", mesiace po poradí"));
            break;
        }
        steps.push_back(step);
    }
}
} // namespace

QString CapacityTypeName(TCapacityType type)
{
    switch (type) {
    case TCapacityType::Monthly: return QStringLiteral("mesacna");
    case TCapacityType::Quarterly: return QStringLiteral("trojmesacna");
    case TCapacityType::Yearly: return QStringLiteral("rocna");
    case TCapacityType::Any: break;
    }
    return QString();
}

int CapacityTypeMonths(TCapacityType type)
{
    return type == TCapacityType::Yearly ? 12 : type == TCapacityType::Quarterly ? 3 : 1;
}

const TCapacityStep* TContract::StepIn(uint16_t month) const
{
    const TCapacityStep* found = nullptr;
    for (const TCapacityStep& s : Capacities)
        if (s.FromMonth <= month)
            found = &s;
    return found;
}

int64_t TContract::TopUpIn(uint16_t month) const
{
    int64_t topUp = 0;
    for (const TCapacityStep& s : TopUps)
        if (s.FromMonth <= month)
            topUp = s.CentiKw;
    return topUp;
}

int64_t TContract::PriceOf(TCapacityType type) const { return TypedPrices ? TypePrice[int(type)] : CapacityPrice; }

int64_t TContract::ExcessPriceOf(TCapacityType type) const
{
    return ExcessMultipleCenti > 0 ? (PriceOf(type) * ExcessMultipleCenti + 50) / 100 : ExcessPrice;
}

int64_t TContract::SurchargeAt(int milli) const
{
    if (PowerFactorMilli == 0 || milli >= PowerFactorMilli || Bands.empty())
        return 0;
    for (const TPowerFactorBand& b : Bands)
        if (b.Milli <= milli)
            return b.PercentCenti;
    return Bands.back().PercentCenti;
}

QString ModelName(TDemandModel model)
{
    switch (model) {
    case TDemandModel::TopN: return QStringLiteral("topn");
    case TDemandModel::Window: return QStringLiteral("window");
    case TDemandModel::Rolling: return QStringLiteral("rolling");
    case TDemandModel::Max: break;
    }
    return QStringLiteral("max");
}

bool TContract::CapacityIn(uint16_t month, int64_t& centiKw) const
{
    const TCapacityStep* step = StepIn(month);
    if (!step)
        return false;
    centiKw = step->CentiKw + TopUpIn(month);
    return true;
}

bool TContract::PureDemandTariff() const
{
    return std::all_of(Capacities.begin(), Capacities.end(), [](const TCapacityStep& s) { return s.CentiKw == 0; });
}

TContract ParseContract(bool present, const std::function<bool(const QString& key, QString& text)>& text,
                        int intervalMinutes)
{
    TContract c;
    c.Configured = present;
    if (!present)
        return c;
    TReader r(text, c);
    QString v;
    constexpr int64_t MaxKw = 1000000;    // a gigawatt
    constexpr int64_t MaxPrice = 1000000; // per kW

    if (r.Get(QStringLiteral("Perioda"), v)) {
        bool ok = false;
        const int p = v.toInt(&ok);
        if (!ok || p < 1 || p > 60 || 60 % p != 0 || intervalMinutes < 1 || p % intervalMinutes != 0)
            r.Wrong(QStringLiteral("Perioda"), v,
                    QStringLiteral("minúty, ktoré delia hodinu a skladajú sa z %1-minútových intervalov regulátora")
                        .arg(intervalMinutes));
        else
            c.PeriodMinutes = p;
    } else if (r.Ok() && intervalMinutes > 0 && c.PeriodMinutes % intervalMinutes != 0) {
        c.Problem = QStringLiteral("V nastavení ZMLUVA chýba Perioda: %1-minútové intervaly regulátora netvoria "
                                   "15-minútové periódy !")
                        .arg(intervalMinutes);
    }

    if (r.Get(QStringLiteral("Model"), v)) {
        const QString m = v.toLower();
        if (m == QLatin1String("max"))
            c.Model = TDemandModel::Max;
        else if (m == QLatin1String("topn"))
            c.Model = TDemandModel::TopN;
        else if (m == QLatin1String("window"))
            c.Model = TDemandModel::Window;
        else if (m == QLatin1String("rolling"))
            c.Model = TDemandModel::Rolling;
        else
            r.Wrong(QStringLiteral("Model"), v, QStringLiteral("max, topn, window alebo rolling"));
    }
    if (r.Get(QStringLiteral("N"), v)) {
        bool ok = false;
        const int n = v.toInt(&ok);
        if (!ok || n < 1 || n > 31)
            r.Wrong(QStringLiteral("N"), v, QStringLiteral("počet dní od 1 do 31"));
        else
            c.TopN = n;
    }
    const bool window = c.Model == TDemandModel::Window;
    if (window ? r.Require(QStringLiteral("Okno"), QStringLiteral("napr. Po-Pi 07:00-20:00"), v)
               : r.Get(QStringLiteral("Okno"), v)) {
        c.WindowText = v;
        for (const QString& part : v.split(QLatin1Char(','))) {
            TDemandWindow w;
            if (!ParseWindow(part, w)) {
                r.Wrong(QStringLiteral("Okno"), v,
                        QStringLiteral("dni a hodiny, napr. Po-Pi 07:00-20:00, viac okien oddelených čiarkou"));
                break;
            }
            c.Windows.push_back(w);
        }
    }
    if (r.Get(QStringLiteral("Sviatky"), v) && !v.isEmpty()) {
        for (const QString& part : v.split(QLatin1Char(','))) {
            const QDate d = QDate::fromString(part.trimmed(), QStringLiteral("yyyy-MM-dd"));
            if (!d.isValid()) {
                r.Wrong(QStringLiteral("Sviatky"), v, QStringLiteral("dátumy RRRR-MM-DD oddelené čiarkou"));
                break;
            }
            c.Holidays.push_back(d);
        }
        std::sort(c.Holidays.begin(), c.Holidays.end());
    }
    if (r.Get(QStringLiteral("Minimum"), v) && !ParseFixed(v, 2, true, MaxKw, c.MinimumCentiKw))
        r.Wrong(QStringLiteral("Minimum"), v, QStringLiteral("kW, najviac dve desatinné miesta"));

    if (r.Get(QStringLiteral("Pravidla"), v)) {
        if (v.toLower() == QLatin1String("sk"))
            c.Rules = TCapacityRules::Sk;
        else if (v.toLower() == QLatin1String("cz"))
            c.Rules = TCapacityRules::Cz;
        else
            r.Wrong(QStringLiteral("Pravidla"), v, QStringLiteral("sk alebo cz"));
    }
    const bool cz = c.Rules == TCapacityRules::Cz;
    if (r.Require(QStringLiteral("Kapacita"), QStringLiteral("rezervovaná kapacita v kW"), v))
        ParseSteps(r, QStringLiteral("Kapacita"), v, true, cz ? TCapacityType::Yearly : TCapacityType::Any,
                   c.Capacities);
    if (r.Get(QStringLiteral("KapacitaMesacna"), v)) {
        if (!cz)
            r.Wrong(QStringLiteral("KapacitaMesacna"), v, QStringLiteral("mesačné navýšenie platí len pri Pravidla=cz"));
        else
            ParseSteps(r, QStringLiteral("KapacitaMesacna"), v, false, TCapacityType::Monthly, c.TopUps);
    }
    if (r.Require(QStringLiteral("CenaKapacity"), QStringLiteral("cena za kW kapacity a mesiac"), v)) {
        const QString hint = QStringLiteral("cena za kW a mesiac, napr. 4.50, alebo podľa typu, napr. "
                                            "mesacna:5.20,trojmesacna:4.90,rocna:4.50");
        if (v.contains(QLatin1Char(':'))) {
            c.TypedPrices = true;
            for (const QString& part : v.split(QLatin1Char(','))) {
                const qsizetype colon = part.indexOf(QLatin1Char(':'));
                const TCapacityType type = TypeNamed(part.left(colon));
                int64_t price = 0;
                if (colon < 0 || type == TCapacityType::Any || c.TypePrice[int(type)] != 0 ||
                    !ParseFixed(part.mid(colon + 1), 6, false, MaxPrice, price) || price == 0) {
                    r.Wrong(QStringLiteral("CenaKapacity"), v, hint);
                    break;
                }
                c.TypePrice[int(type)] = price;
            }
        } else if (!ParseFixed(v, 6, true, MaxPrice, c.CapacityPrice)) {
            r.Wrong(QStringLiteral("CenaKapacity"), v, hint);
        }
    }
    if (r.Ok() && c.TypedPrices) {
        // Every capacity contracted needs the price of its type.
        for (const auto* steps : {&c.Capacities, &c.TopUps})
            for (const TCapacityStep& s : *steps)
                if (s.Type == TCapacityType::Any || c.TypePrice[int(s.Type)] == 0) {
                    c.Problem = QStringLiteral("Nastavenie ZMLUVA %1 potrebuje pri cenách podľa typu typ a cenu "
                                               "každej kapacity (mesacna, trojmesacna, rocna) !")
                                    .arg(steps == &c.Capacities ? QStringLiteral("Kapacita")
                                                                : QStringLiteral("KapacitaMesacna"));
                    break;
                }
    }
    if (r.Require(QStringLiteral("CenaPrekrocenia"), QStringLiteral("cena za kW prekročenia"), v)) {
        const bool multiple = v.endsWith(QLatin1Char('x')) || v.endsWith(QLatin1Char('X'));
        if (multiple ? !ParseFixed(v.chopped(1), 2, true, 100, c.ExcessMultipleCenti) || c.ExcessMultipleCenti == 0
                     : !ParseFixed(v, 6, true, MaxPrice, c.ExcessPrice))
            r.Wrong(QStringLiteral("CenaPrekrocenia"), v,
                    QStringLiteral("cena za kW prekročenia, napr. 25.00, alebo násobok ceny kapacity, napr. 3x"));
    }
    if (r.Get(QStringLiteral("MRK"), v) && (!ParseFixed(v, 2, true, MaxKw, c.MrkCentiKw) || c.MrkCentiKw == 0))
        r.Wrong(QStringLiteral("MRK"), v, QStringLiteral("maximálna rezervovaná kapacita v kW"));
    if (r.Get(QStringLiteral("MinKapacita"), v)) {
        int64_t percent = 0;
        if (v.endsWith(QLatin1Char('%'))) {
            if (!ParseFixed(v.chopped(1), 2, true, 100, percent))
                r.Wrong(QStringLiteral("MinKapacita"), v, QStringLiteral("percento MRK, napr. 20%, alebo kW"));
            else if (c.MrkCentiKw == 0)
                r.Wrong(QStringLiteral("MinKapacita"), v, QStringLiteral("percento MRK potrebuje kľúč MRK"));
            else // Up to a whole kW: a capacity is contracted in whole kW.
                c.MinCapacityCentiKw = (c.MrkCentiKw * percent / 10000 + 99) / 100 * 100;
        } else if (!ParseFixed(v, 2, true, MaxKw, c.MinCapacityCentiKw)) {
            r.Wrong(QStringLiteral("MinKapacita"), v, QStringLiteral("percento MRK, napr. 20%, alebo kW"));
        }
    }
    if (r.Get(QStringLiteral("CenaPrekroceniaMRK"), v)) {
        if (c.MrkCentiKw == 0)
            r.Wrong(QStringLiteral("CenaPrekroceniaMRK"), v, QStringLiteral("potrebuje kľúč MRK"));
        else if (!ParseFixed(v, 6, true, MaxPrice, c.MrkExcessPrice))
            r.Wrong(QStringLiteral("CenaPrekroceniaMRK"), v, QStringLiteral("cena za kW nad MRK a mesiac, napr. 40.00"));
    }
    if (r.Ok()) {
        // Each month's capacity between the minimum and the maximum; for cz
        // the yearly part with the top-up of every month it holds in.
        std::vector<uint16_t> changes;
        for (const auto* steps : {&c.Capacities, &c.TopUps})
            for (const TCapacityStep& s : *steps)
                changes.push_back(s.FromMonth);
        for (const uint16_t m : changes) {
            int64_t total = 0;
            const TCapacityStep* step = c.StepIn(m);
            if (!step || !c.CapacityIn(m, total))
                continue;
            const bool topUp = c.TopUpIn(m) > 0;
            if (c.MrkCentiKw > 0 && total > c.MrkCentiKw) {
                c.Problem = QStringLiteral("Nastavenie ZMLUVA %1 prekračuje MRK=%2 kW v mesiaci %3 !")
                                .arg(topUp ? QStringLiteral("Kapacita a KapacitaMesacna") : QStringLiteral("Kapacita"),
                                     PlainKw(c.MrkCentiKw), MonthName(m));
                break;
            }
            if (step->CentiKw < c.MinCapacityCentiKw) {
                c.Problem = QStringLiteral("Nastavenie ZMLUVA Kapacita je pod MinKapacita=%1 kW v mesiaci %2 !")
                                .arg(PlainKw(c.MinCapacityCentiKw), MonthName(m));
                break;
            }
        }
    }
    if (r.Get(QStringLiteral("Ucinnik"), v)) {
        int64_t milli = 0;
        if (!ParseFixed(v, 3, true, 1, milli) || milli == 0)
            r.Wrong(QStringLiteral("Ucinnik"), v, QStringLiteral("zmluvný účinník, napr. 0.95"));
        else
            c.PowerFactorMilli = int(milli);
    }
    if (r.Get(QStringLiteral("Jalove"), v) && !ParseChannels(v, c.Inductive))
        r.Wrong(QStringLiteral("Jalove"), v, QStringLiteral("kanály jalovej energie 01 až 12 oddelené čiarkou, napr. 02"));
    if (r.Get(QStringLiteral("JaloveKapacitne"), v) && !ParseChannels(v, c.Capacitive))
        r.Wrong(QStringLiteral("JaloveKapacitne"), v,
                QStringLiteral("kanály kapacitnej jalovej energie 01 až 12 oddelené čiarkou, napr. 03"));
    if (c.PowerFactorMilli > 0 && c.Inductive.empty())
        r.Require(QStringLiteral("Jalove"), QStringLiteral("kanály jalovej energie k účinníku"), v);
    if (r.Get(QStringLiteral("UcinnikPrirazka"), v)) {
        const QString hint = QStringLiteral("pásma účinníka zostupne s percentom prirážky, napr. 0.94:2,0.90:5,0.85:10");
        if (c.PowerFactorMilli == 0)
            r.Wrong(QStringLiteral("UcinnikPrirazka"), v, QStringLiteral("potrebuje kľúč Ucinnik"));
        for (const QString& part : v.split(QLatin1Char(','))) {
            if (!r.Ok())
                break;
            const QStringList pair = part.split(QLatin1Char(':'));
            TPowerFactorBand band;
            int64_t milli = 0;
            if (pair.size() != 2 || !ParseFixed(pair[0], 3, false, 1, milli) ||
                !ParseFixed(pair[1], 2, false, 1000, band.PercentCenti) || milli >= c.PowerFactorMilli ||
                (!c.Bands.empty() && milli >= c.Bands.back().Milli)) {
                r.Wrong(QStringLiteral("UcinnikPrirazka"), v, hint);
                break;
            }
            band.Milli = int(milli);
            c.Bands.push_back(band);
        }
    } else if (c.PowerFactorMilli > 0) {
        r.Require(QStringLiteral("UcinnikPrirazka"), QStringLiteral("pásma prirážky za účinník"), v);
    }
    if (r.Get(QStringLiteral("CenaKapacitnej"), v)) {
        if (c.Capacitive.empty())
            r.Wrong(QStringLiteral("CenaKapacitnej"), v, QStringLiteral("potrebuje kľúč JaloveKapacitne"));
        else if (!ParseFixed(v, 6, true, MaxPrice, c.CapacitivePrice))
            r.Wrong(QStringLiteral("CenaKapacitnej"), v, QStringLiteral("cena za kvarh, napr. 0.02"));
    } else if (!c.Capacitive.empty()) {
        r.Require(QStringLiteral("CenaKapacitnej"), QStringLiteral("cena za kvarh kapacitnej jalovej energie"), v);
    }
    if (r.Get(QStringLiteral("Mena"), v)) {
        if (v.isEmpty() || v.size() > 8)
            r.Wrong(QStringLiteral("Mena"), v, QStringLiteral("skratka meny, napr. EUR"));
        else
            c.Currency = v;
    }
    return c;
}
