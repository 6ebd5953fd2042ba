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
} // namespace

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
    bool found = false;
    for (const TCapacityStep& s : Capacities)
        if (s.FromMonth <= month) {
            centiKw = s.CentiKw;
            found = true;
        }
    return found;
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

    if (r.Require(QStringLiteral("Kapacita"), QStringLiteral("rezervovaná kapacita v kW"), v)) {
        const QString hint = QStringLiteral("kW, napr. 400, alebo od mesiaca, napr. 2026-01:400,2026-07:450");
        const QStringList parts = v.split(QLatin1Char(','));
        for (qsizetype i = 0; i < parts.size() && r.Ok(); ++i) {
            TCapacityStep step;
            QString amount = parts[i];
            const qsizetype colon = amount.indexOf(QLatin1Char(':'));
            // Only the first may go without its month: it holds from the start.
            if (colon < 0 ? i > 0 : !ParseMonth(amount.left(colon), step.FromMonth)) {
                r.Wrong(QStringLiteral("Kapacita"), v, hint);
                break;
            }
            if (colon >= 0)
                amount = amount.mid(colon + 1);
            if (!ParseFixed(amount, 2, false, MaxKw, step.CentiKw) ||
                (!c.Capacities.empty() && step.FromMonth <= c.Capacities.back().FromMonth)) {
                r.Wrong(QStringLiteral("Kapacita"), v, hint + QStringLiteral(", mesiace po poradí"));
                break;
            }
            c.Capacities.push_back(step);
        }
    }
    if (r.Require(QStringLiteral("CenaKapacity"), QStringLiteral("cena za kW kapacity a mesiac"), v) &&
        !ParseFixed(v, 6, true, MaxPrice, c.CapacityPrice))
        r.Wrong(QStringLiteral("CenaKapacity"), v, QStringLiteral("cena za kW a mesiac, napr. 4.50"));
    if (r.Require(QStringLiteral("CenaPrekrocenia"), QStringLiteral("cena za kW prekročenia"), v) &&
        !ParseFixed(v, 6, true, MaxPrice, c.ExcessPrice))
        r.Wrong(QStringLiteral("CenaPrekrocenia"), v, QStringLiteral("cena za kW prekročenia, napr. 25.00"));
    if (r.Get(QStringLiteral("Mena"), v)) {
        if (v.isEmpty() || v.size() > 8)
            r.Wrong(QStringLiteral("Mena"), v, QStringLiteral("skratka meny, napr. EUR"));
        else
            c.Currency = v;
    }
    return c;
}
