#include "ToolZone.h"
#include "Tool.h"

#include "app/Settings.h"
#include "output/RecordClock.h"

#include <QFileInfo>

bool ReadToolZone(const TToolOptions& options, TSettings& settings, QTimeZone& zone, bool databaseOnly)
{
    if (!ReadToolSettings(options.Value(QStringLiteral("config")), settings))
        return false;
    const QString name = options.Value(QStringLiteral("tz"), settings.TimeZone);
    zone = ZoneByName(name);
    if (!zone.isValid()) {
        Fail(QStringLiteral("unknown time zone '%1'").arg(name));
        return false;
    }
    // A zone the name checks let through names a file of the database (no
    // '.' can reach the folder above); a fixed offset names none.
    if (databaseOnly && !name.isEmpty() &&
        !QFileInfo(QStringLiteral("/usr/share/zoneinfo/") + name).isFile()) {
        Fail(QStringLiteral("time zone '%1' is no zone of the zone database (standard time all year is "
                            "Etc/GMT-1 for UTC+01:00)")
                 .arg(name));
        zone = QTimeZone();
        return false;
    }
    return true;
}
