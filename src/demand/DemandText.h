#pragma once
// The bills of months as people and programs read them: CSV for machines
// (decimal points, ISO 8601 times with the offset), a Slovak table for
// people, the recommendation as key=value lines, and the texts the report
// and the window share.
#include "demand/Demand.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// 412.33 of hundredths 41233; comma: with a decimal comma and the
// thousands apart ("1 980,00"), as Slovak text has them.
QString CentiText(int64_t centi, bool slovak = false);
// The shortest exact form: 400, 412.5.
QString PlainCentiText(int64_t centi);
// kW for people: whole ones without decimals, others with two (400, 412,33).
QString SlovakKwText(int64_t centi);

// The type of a capacity for people: mesačná, trojmesačná, ročná; empty for
// a contract of one price.
QString CapacityTypeText(TCapacityType type);
// The capacity of a month for people: "250,50 kW", "400 kW ročná",
// "450 kW (ročná 400 + mesačná 50)".
QString CapacityText(const TMonthDemand& month);
// A price in millionths for people: 4,567 (at least the cents, the places
// it was given beyond them).
QString SlovakPriceText(int64_t millionths);
// What the power factor did to a month, in Slovak: "0,928 (prirážka 5 %)",
// or that the month has no reactive data; empty when it is not billed.
QString PowerFactorText(const TMonthDemand& month);

// cos phi of thousandths: 0.930.
QString CosPhiText(int milli);

// The start of a period as ISO 8601 with its offset.
QString PeakIso(const TDemandPeak& peak);
// "14.01.2026 10:15" as the site's clock read it.
QString PeakText(const TDemandPeak& peak);

// month,model,demand_kw,at,capacity_kw,excess_kw,capacity_charge,
// excess_charge,total,complete, then capacity_type,topup_kw,mrk_excess_kw,
// mrk_excess_charge,cos_phi,pf_surcharge_percent,pf_surcharge,
// capacitive_kvarh,capacitive_charge,month_total; RFC 4180 with CR LF.
// total is the capacity and excess charges, month_total every charge. A
// month without a value leaves its demand, time, excesses and totals empty.
QByteArray DemandCsv(const std::vector<TMonthDemand>& rows);
// The same as a table for people, in Slovak.
QStringList DemandTable(const std::vector<TMonthDemand>& rows, const QString& currency);
// recommended_capacity_kw=, cost=, current_capacity_kw=, current_cost=, saving=.
QStringList RecommendationLines(const TRecommendation& recommendation);

// What the model bills, in a few Slovak words: "najvyššia 15-minútová perióda".
QString ModelText(const TContract& contract);
