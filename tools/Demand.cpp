// qdrtool demand: the billing demand of months under the contract of
// section ZMLUVA, what it costs, and the capacity worth contracting, from
// monthly files or from the PostgreSQL store.
#include "MonthFile.h"
#include "Tool.h"
#include "ToolZone.h"

#include "app/Settings.h"
#include "demand/DemandText.h"
#include "demand/FolderDemand.h"
#include "demand/Plan.h"
#include "regulator/DispArch.h"
#include "store/PgStore.h"

#include <cstdio>
#include <map>

namespace {

const QString DemandUsage = QStringLiteral(
    "usage: qdrtool demand MONTHFILE... [--format text|csv] [--recommend | --plan] [--tz ZONE]\n"
    "                      [--config FILE]\n"
    "       qdrtool demand --db CONNINFO --site NAME [--months N] [--format text|csv]\n"
    "                      [--recommend | --plan]\n"
    "                      [--config FILE]\n"
    "\n"
    "The billing demand of each month under the contract of section ZMLUVA of the\n"
    "configuration (period, model, reserved capacity and prices), one row a month:\n"
    "month, model, demand_kw, at (the start of the period that set it, ISO 8601 with the\n"
    "offset; for topn the first of its days), capacity_kw, excess_kw, capacity_charge,\n"
    "excess_charge, total (capacity and excess), complete (false below 90% of the month's\n"
    "intervals); then capacity_type, topup_kw (cz), mrk_excess_kw and mrk_excess_charge (above\n"
    "MRK, on top of the excess), cos_phi, pf_surcharge_percent and pf_surcharge (empty without\n"
    "Ucinnik or without reactive data in the month), capacitive_kvarh and capacitive_charge,\n"
    "month_total (every charge).\n"
    "Missing values and empty records never count as zero demand. The rolling model takes\n"
    "the months before from the other files given, or from the store.\n"
    "\n"
    "  --format text|csv  a Slovak table for people (default), or CSV: the columns in\n"
    "                     that order, RFC 4180, decimal points, charges rounded to the cent\n"
    "  --recommend        instead of the rows: the capacity in whole kW that makes capacity\n"
    "                     and excess charges over the complete months lowest, as key=value\n"
    "                     lines (recommended_capacity_kw, cost, current_capacity_kw,\n"
    "                     current_cost, saving); incomplete months are left out and named\n"
    "  --plan             instead of the rows: the contract for the 12 months after the\n"
    "                     last complete one that would have cost least by the rules of\n"
    "                     Pravidla (sk: a capacity a month with its type, a rocna one held\n"
    "                     12 months, a trojmesacna one 3; cz: the yearly part, only raised,\n"
    "                     and a top-up a month), whole kW from MinKapacita to MRK, each month\n"
    "                     bringing what it did a year before; lines month,type,capacity_kw,\n"
    "                     topup_kw,charge, then total, current_total (the contract as it\n"
    "                     stands) and saving; the 12 months up to it must all be complete\n"
    "  --tz ZONE          the regulator clock's zone (default TimeZone of [INE], else the\n"
    "                     system's); the store keeps each site's own\n"
    "  --db CONNINFO      read the months of --site from the PostgreSQL store instead\n"
    "  --site NAME        the site in the store\n"
    "  --months N         the latest N stored months (default 12)\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "\n"
    "Exit status: 0 done; 2 bad command line, configuration (the ZMLUVA key is named),\n"
    "zone or monthly file, unknown site, or nothing to recommend or plan from; 5 the\n"
    "database could not be reached or refused.");

int Usage(const QString& why)
{
    Fail(why + QStringLiteral(" (try 'qdrtool help demand')"));
    return ExitUsage;
}

// The months from the files given, each read whole; -1 when all is well.
int FromFiles(const QStringList& files, const TSettings& settings, const QTimeZone& zone,
              std::vector<TMonthIntervals>& months)
{
    std::map<uint16_t, QString> seen;
    for (const QString& file : files) {
        TToolMonth month;
        if (!month.Open(file, settings)) {
            Fail(month.Error);
            return ExitUsage;
        }
        const uint16_t number = month.View->Month();
        if (const auto it = seen.find(number); it != seen.end()) {
            Fail(it->second == file ? QStringLiteral("%1 is given twice").arg(file)
                                    : QStringLiteral("%1 and %2 are both %3").arg(it->second, file, MonthKey(number)));
            return ExitUsage;
        }
        seen[number] = file;
        int invalid = 0;
        months.push_back(ViewIntervals(*month.View, zone, settings.Contract, &invalid));
        if (invalid > 0)
            Fail(QStringLiteral("%1: records whose time is not in the month, left out: %2").arg(file).arg(invalid));
    }
    std::sort(months.begin(), months.end(),
              [](const TMonthIntervals& a, const TMonthIntervals& b) { return a.Month < b.Month; });
    return -1;
}

int RunDemand(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args,
                       {QStringLiteral("config"), QStringLiteral("format"), QStringLiteral("tz"), QStringLiteral("db"),
                        QStringLiteral("site"), QStringLiteral("months")},
                       {QStringLiteral("recommend"), QStringLiteral("plan")}, 1000))
        return Usage(options.Error);
    const bool store = options.Has(QStringLiteral("db"));
    if (store ? !options.Positional.isEmpty() || options.Value(QStringLiteral("site")).trimmed().isEmpty()
              : options.Positional.isEmpty())
        return Usage(store ? QStringLiteral("--db goes with --site NAME and no monthly file")
                           : QStringLiteral("name at least one monthly file, or --db and --site"));
    if (!store && (options.Has(QStringLiteral("site")) || options.Has(QStringLiteral("months"))))
        return Usage(QStringLiteral("--site and --months go with --db"));
    if (store && options.Has(QStringLiteral("tz")))
        return Usage(QStringLiteral("--tz does not go with --db: the store keeps the site's zone"));
    const QString format = options.Value(QStringLiteral("format"), QStringLiteral("text"));
    if (format != QLatin1String("text") && format != QLatin1String("csv"))
        return Usage(QStringLiteral("--format is text or csv, not '%1'").arg(format));
    const bool recommend = options.Has(QStringLiteral("recommend"));
    if (recommend && options.Has(QStringLiteral("format")))
        return Usage(QStringLiteral("--recommend writes key=value lines; --format does not go with it"));
    const bool plan = options.Has(QStringLiteral("plan"));
    if (plan && (recommend || options.Has(QStringLiteral("format"))))
        return Usage(QStringLiteral("--plan writes its own lines; --recommend and --format do not go with it"));
    int count = 12;
    if (!options.Integer(QStringLiteral("months"), 1, 240, count))
        return Usage(options.IntegerError);

    TSettings settings;
    QTimeZone zone;
    if (store ? !ReadToolSettings(options.Value(QStringLiteral("config")), settings)
              : !ReadToolZone(options, settings, zone))
        return ExitUsage;
    const TContract& contract = settings.Contract;
    if (!contract.Configured) {
        Fail(QStringLiteral("bad configuration: no section ZMLUVA (Kapacita, CenaKapacity, CenaPrekrocenia) to bill "
                            "the demand by"));
        return ExitUsage;
    }
    if (!contract.Problem.isEmpty()) {
        Fail(QStringLiteral("bad configuration: ") + contract.Problem);
        return ExitUsage;
    }

    std::vector<TMonthIntervals> months;
    // The rolling model averages the 11 months before each one shown.
    const bool rolling = contract.Model == TDemandModel::Rolling;
    if (store) {
        TPgStore db;
        // As store's default: a stalled database cannot hold a timer's run.
        db.SetTimeout(300);
        if (TPgStore::HasPassword(options.Value(QStringLiteral("db"))))
            Fail(QStringLiteral("warning: the password in --db can be read by every user of this machine; "
                                "keep it in ~/.pgpass or PGPASSWORD"));
        bool unknownSite = false;
        if (!db.Connect(options.Value(QStringLiteral("db"))) ||
            !db.ReadMonths(options.Value(QStringLiteral("site")).trimmed(), count + (rolling ? 11 : 0), months, zone,
                           unknownSite)) {
            Fail(QStringLiteral("database: ") + db.Error);
            return unknownSite ? ExitUsage : ExitDatabase;
        }
        if (months.empty()) {
            Fail(QStringLiteral("the store holds no month of site '%1'").arg(options.Value(QStringLiteral("site"))));
            return ExitUsage;
        }
    } else if (const int exit = FromFiles(options.Positional, settings, zone, months); exit >= 0) {
        return exit;
    }

    std::map<uint16_t, TMonthFigures> figures;
    for (const TMonthIntervals& m : months) {
        QString problem;
        if (!MonthFigures(m, contract, figures[m.Month], problem)) {
            Fail(QStringLiteral("bad configuration: ") + problem);
            return ExitUsage;
        }
    }
    // From the store, the months before the ones asked for only feed the
    // rolling average.
    const size_t shownFrom = store && months.size() > size_t(count) ? months.size() - size_t(count) : 0;
    std::vector<TMonthDemand> rows;
    QStringList shortAverages;
    for (size_t i = shownFrom; i < months.size(); ++i) {
        TMonthDemand bill;
        QString problem;
        if (!BillMonth(figures[months[i].Month], figures, contract, bill, problem)) {
            Fail(QStringLiteral("bad configuration: ") + problem);
            return ExitUsage;
        }
        if (rolling && bill.Demand && bill.RollingMonths < 12)
            shortAverages << QStringLiteral("%1 (%2)").arg(MonthKey(bill.Month)).arg(bill.RollingMonths);
        rows.push_back(bill);
    }
    if (!shortAverages.isEmpty())
        Fail(QStringLiteral("rolling averages of fewer than 12 months (the months before are not %1): %2")
                 .arg(store ? QStringLiteral("stored") : QStringLiteral("given"), shortAverages.join(QStringLiteral(", "))));

    if (plan) {
        std::vector<TPlanMonth> planned;
        TPlan p;
        QString problem;
        if (!PlanMonths(rows, planned, problem) || !PlanContract(planned, contract, p, problem)) {
            Fail(problem);
            return ExitUsage;
        }
        for (const QString& line : PlanLines(p))
            Out(line);
        return ExitOk;
    }
    if (recommend) {
        TRecommendation r;
        QString problem;
        if (!Recommend(rows, contract, r, problem)) {
            Fail(problem);
            return ExitUsage;
        }
        if (!r.LeftOut.isEmpty())
            Fail(QStringLiteral("left out, incomplete or without a value: ") + r.LeftOut.join(QStringLiteral(", ")));
        if (r.Months < 12)
            Fail(QStringLiteral("the recommendation weighs %1 complete month%2; it is meant for the last 12")
                     .arg(r.Months)
                     .arg(r.Months == 1 ? QString() : QStringLiteral("s")));
        for (const QString& line : RecommendationLines(r))
            Out(line);
        return ExitOk;
    }
    if (format == QLatin1String("csv")) {
        const QByteArray csv = DemandCsv(rows);
        if (std::fwrite(csv.constData(), 1, size_t(csv.size()), stdout) != size_t(csv.size()) ||
            std::fflush(stdout) != 0) {
            Fail(QStringLiteral("cannot write to standard output"));
            return ExitFolder;
        }
        return ExitOk;
    }
    Out(QStringLiteral("Fakturačné maximum: ") + ModelText(contract));
    for (const QString& line : DemandTable(rows, contract.Currency))
        Out(line);
    return ExitOk;
}

const TToolRegistration Registration({QStringLiteral("demand"),
                                      QStringLiteral("billing demand, its charges and the capacity to contract"),
                                      DemandUsage, RunDemand});

} // namespace
