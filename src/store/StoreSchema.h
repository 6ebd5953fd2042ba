#pragma once
// The database side of the store: schema qdr, created on first use and
// numbered so that a later release can migrate what an earlier one made.
// Step n brings a database from version n to version n + 1; qdr.version
// holds the number reached.
//
// Tables: site (name and zone), month (what a stored file said about its
// month: interval length, meter kinds), channel (the label of a site's
// measurement), reading (the values of one record per site and instant: the
// key that makes storing a month again change nothing; each row keeps the
// meter kinds and interval length it was stored with). Views for the fleet:
// interval_values, daily_energy, monthly_peak, billing_demand.
#include <vector>

struct TSchemaStep {
    const char* Sql;
};

// The steps in order; their count is the version this release writes.
const std::vector<TSchemaStep>& SchemaSteps();
