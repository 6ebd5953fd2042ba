#include "store/StoreSchema.h"

namespace {

// Version 1. Values are kept as the regulator gave them, 65535 as null; the
// month a value came from keys its interval length and meter kinds, so a
// site may change either from one month to the next.
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
    channel smallint NOT NULL,
    time timestamptz NOT NULL,
    value int CHECK (value BETWEEN 0 AND 65534),
    PRIMARY KEY (site_id, channel, time),
    FOREIGN KEY (site_id, month) REFERENCES qdr.month ON DELETE CASCADE
);
CREATE VIEW qdr.interval_values AS
SELECT s.name AS site, i.channel::int AS channel, coalesce(c.label, '') AS label,
       CASE WHEN i.channel > 0 AND (m.kind_mask >> (i.channel - 1)) & 1 = 1 THEN 'kVAr' ELSE 'kW' END AS unit,
       i.time, i.value
FROM qdr.reading i
JOIN qdr.site s ON s.site_id = i.site_id
JOIN qdr.month m ON m.site_id = i.site_id AND m.month = i.month
LEFT JOIN qdr.channel c ON c.site_id = i.site_id AND c.channel = i.channel;
CREATE VIEW qdr.daily_energy AS
SELECT s.name AS site, i.channel::int AS channel, (i.time AT TIME ZONE s.time_zone)::date AS day,
       trim_scale(sum(i.value::bigint * m.interval_minutes)::numeric / 60) AS kwh
FROM qdr.reading i
JOIN qdr.site s ON s.site_id = i.site_id
JOIN qdr.month m ON m.site_id = i.site_id AND m.month = i.month
GROUP BY s.name, i.channel, (i.time AT TIME ZONE s.time_zone)::date;
CREATE VIEW qdr.monthly_peak AS
SELECT DISTINCT ON (s.name, i.channel, i.month)
       s.name AS site, i.channel::int AS channel, i.month, i.value AS peak, i.time AS at
FROM qdr.reading i
JOIN qdr.site s ON s.site_id = i.site_id
WHERE i.value IS NOT NULL
ORDER BY s.name, i.channel, i.month, i.value DESC, i.time;
)SQL";

} // namespace

const std::vector<TSchemaStep>& SchemaSteps()
{
    static const std::vector<TSchemaStep> steps{{Version1}};
    return steps;
}
