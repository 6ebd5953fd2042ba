#include "ToolZone.h"
#include "Tool.h"

#include "app/Settings.h"
#include "output/RecordClock.h"

bool ReadToolZone(const TToolOptions& options, TSettings& settings, QTimeZone& zone)
{
    if (!ReadToolSettings(options.Value(QStringLiteral("config")), settings))
        return false;
    const QString name = options.Value(QStringLiteral("tz"), settings.TimeZone);
    zone = ZoneByName(name);
    if (!zone.isValid())
        Fail(QStringLiteral("unknown time zone '%1'").arg(name));
    return zone.isValid();
}
