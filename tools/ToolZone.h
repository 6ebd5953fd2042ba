#pragma once
// The configuration and the zone of a subcommand that writes real times:
// --config, then --tz, else TimeZone of [INE], else the system's zone.
#include <QTimeZone>

struct TSettings;
class TToolOptions;

// False after telling why on stderr (exit 2 then). Every zone of the
// system's zone database is taken (Etc/GMT-1 and Etc/UTC too) and, unless
// databaseOnly (for a database that names its zones as the zone database
// does), a fixed offset such as UTC+01:00.
bool ReadToolZone(const TToolOptions& options, TSettings& settings, QTimeZone& zone, bool databaseOnly = false);
