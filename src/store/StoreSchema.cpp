#include "store/StoreSchema.h"

namespace {

// Version 1. A reading is one record: its instant and the values of its
// channels as an array (channel c at index c + 1), as the regulator gave
// them with 65535 as null; a row per record rather than per value keeps a
// month's store to a few thousand rows. The month a reading came from keys
// its interval length and meter kinds, so a site may change either from one
// month to the next.
const char* const Version1 = R"SQL(
CREATE TABLE qdr.site (
    site_id serial PRIMARY KEY,
    name text NOT NULL UNIQUE,
    time_zone text NOT NULL
);
CREATE TABLE qdr.month (
    site_id int NOT NULL REFERENCES qdr.site ON DELETE CASCADE,
    month date NOT NULL CHECK (extract(day FROM month) = 1),
    interval_minutes smallint NOT NULL CHECK (interval_minutes BETWEEN 1 AND 60),
    kind_mask int NOT NULL,
    channels smallint NOT NULL,
    source text NOT NULL,
    PRIMARY KEY (site_id, month)
);
CREATE TABLE qdr.channel (
    site_id int NOT NULL REFERENCES qdr.site ON DELETE CASCADE,
    channel smallint NOT NULL,
    label text NOT NULL,
    PRIMARY KEY (site_id, channel)
);
CREATE TABLE qdr.reading (
    site_id int NOT NULL,
    month date NOT NULL,
    time timestamptz NOT NULL,
    value int[] NOT NULL CHECK (0 <= ALL (value) AND 65534 >= ALL (value)),
    PRIMARY KEY (site_id, time),
    FOREIGN KEY (site_id, month) REFERENCES qdr.month ON DELETE CASCADE
);
CREATE VIEW qdr.interval_values AS
SELECT s.name AS site, (v.n - 1)::int AS channel, coalesce(c.label, '') AS label,
       CASE WHEN v.n > 1 AND (m.kind_mask >> (v.n::int - 2)) & 1 = 1 THEN 'kVAr' ELSE 'kW' END AS unit,
       r.time, v.value
FROM qdr.reading r
JOIN qdr.site s ON s.site_id = r.site_id
JOIN qdr.month m ON m.site_id = r.site_id AND m.month = r.month
CROSS JOIN LATERAL unnest(r.value) WITH ORDINALITY AS v(value, n)
LEFT JOIN qdr.channel c ON c.site_id = r.site_id AND c.channel = v.n - 1;
CREATE VIEW qdr.daily_energy AS
SELECT s.name AS site, (v.n - 1)::int AS channel, (r.time AT TIME ZONE s.time_zone)::date AS day,
       trim_scale(sum(v.value::bigint * m.interval_minutes)::numeric / 60) AS kwh
FROM qdr.reading r
JOIN qdr.site s ON s.site_id = r.site_id
JOIN qdr.month m ON m.site_id = r.site_id AND m.month = r.month
CROSS JOIN LATERAL unnest(r.value) WITH ORDINALITY AS v(value, n)
GROUP BY s.name, v.n, (r.time AT TIME ZONE s.time_zone)::date;
CREATE VIEW qdr.monthly_peak AS
SELECT DISTINCT ON (s.name, v.n, r.month)
       s.name AS site, (v.n - 1)::int AS channel, r.month, v.value AS peak, r.time AS at
FROM qdr.reading r
JOIN qdr.site s ON s.site_id = r.site_id
CROSS JOIN LATERAL unnest(r.value) WITH ORDINALITY AS v(value, n)
WHERE v.value IS NOT NULL
ORDER BY s.name, v.n, r.month, v.value DESC, r.time;
)SQL";

// Version 2. A month fetched again in another record size (a meter added)
// replaces the readings the new file holds; those it no longer holds keep
// their old array. So each reading carries the layout it was stored in (its
// meter kinds and interval length) and the views read that, not the
// month's latest. A version 1 row whose array no longer matches its month's
// channel count was stored in a layout nobody recorded: its kinds stay
// unknown (null), and so does the unit the view gives its meters.
const char* const Version2 = R"SQL(
ALTER TABLE qdr.reading
    ADD COLUMN kind_mask int,
    ADD COLUMN interval_minutes smallint CHECK (interval_minutes BETWEEN 1 AND 60);
UPDATE qdr.reading r
SET kind_mask = CASE WHEN array_length(r.value, 1) = m.channels THEN m.kind_mask END,
    interval_minutes = m.interval_minutes
FROM qdr.month m
WHERE m.site_id = r.site_id AND m.month = r.month;
ALTER TABLE qdr.reading ALTER COLUMN interval_minutes SET NOT NULL;
CREATE OR REPLACE VIEW qdr.interval_values AS
SELECT s.name AS site, (v.n - 1)::int AS channel, coalesce(c.label, '') AS label,
       CASE WHEN v.n = 1 THEN 'kW'
            WHEN r.kind_mask IS NULL THEN NULL
            WHEN (r.kind_mask >> (v.n::int - 2)) & 1 = 1 THEN 'kVAr'
            ELSE 'kW' END AS unit,
       r.time, v.value
FROM qdr.reading r
JOIN qdr.site s ON s.site_id = r.site_id
CROSS JOIN LATERAL unnest(r.value) WITH ORDINALITY AS v(value, n)
LEFT JOIN qdr.channel c ON c.site_id = r.site_id AND c.channel = v.n - 1;
CREATE OR REPLACE VIEW qdr.daily_energy AS
SELECT s.name AS site, (v.n - 1)::int AS channel, (r.time AT TIME ZONE s.time_zone)::date AS day,
       trim_scale(sum(v.value::bigint * r.interval_minutes)::numeric / 60) AS kwh
FROM qdr.reading r
JOIN qdr.site s ON s.site_id = r.site_id
CROSS JOIN LATERAL unnest(r.value) WITH ORDINALITY AS v(value, n)
GROUP BY s.name, v.n, (r.time AT TIME ZONE s.time_zone)::date;
)SQL";

// Version 3: the billing demand of every stored month for the fleet, as
// `qdrtool demand` bills it with Model=max and Perioda=15: the intervals of
// measurement 00 averaged into quarter hours of the clock (a quarter hour
// with an interval missing or without a value has none), the month's highest
// rounded to 0.01 kW, and the start of the first quarter hour that reached
// it. Built on interval_values, so it reads whatever layout the readings
// have. A month whose interval does not divide 15 minutes has no row.
const char* const Version3 = R"SQL(
CREATE OR REPLACE VIEW qdr.billing_demand AS
WITH quarter AS (
    SELECT v.site, (date_trunc('month', v.time AT TIME ZONE s.time_zone))::date AS month,
           date_bin('15 minutes', v.time, TIMESTAMPTZ '2000-01-01 00:00:00+00') AS at,
           avg(v.value) AS kw, count(v.value) AS n, m.interval_minutes
    FROM qdr.interval_values v
    JOIN qdr.site s ON s.name = v.site
    JOIN qdr.month m ON m.site_id = s.site_id
                    AND m.month = (date_trunc('month', v.time AT TIME ZONE s.time_zone))::date
    WHERE v.channel = 0
    GROUP BY v.site, 2, 3, m.interval_minutes
)
SELECT DISTINCT ON (site, month) site, month, round(kw, 2) AS demand_kw, at
FROM quarter
WHERE 15 % interval_minutes = 0 AND n = 15 / interval_minutes
ORDER BY site, month, kw DESC, at;
)SQL";

} // namespace

const std::vector<TSchemaStep>& SchemaSteps()
{
    // A later version is one more constant above and one more entry here;
    // a step never changes once released.
    static const std::vector<TSchemaStep> steps{{Version1}, {Version2}, {Version3}};
    return steps;
}
