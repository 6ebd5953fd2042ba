#pragma once
// The configuration and the zone of a subcommand that writes real times:
// --config, then --tz, else TimeZone of [INE], else the system's zone.
#include <QTimeZone>

struct TSettings;
class TToolOptions;

// False after telling why on stderr (exit 2 then).
bool ReadToolZone(const TToolOptions& options, TSettings& settings, QTimeZone& zone);
