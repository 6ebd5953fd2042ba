// The configuration reader on arbitrary bytes: decoding (UTF-8 or
// Windows-1250), the section and key parser, every lookup and the settings
// built from it. Beyond the sanitizers: a key read back is one the text holds,
// a number read is one ParseInteger accepts, and the settings stay in range.
#include "app/Config.h"
#include "app/Settings.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TMIniFile ini(QStringLiteral("/nonexistent/fuzz.ini"), QStringLiteral("/nonexistent"));
    ini.SetText(TMIniFile::DecodeText(bytes));

    const TSettings s = TSettings::Read(ini);
    if (s.Limit < 32 || s.Intervaly == 0 || 60 % s.Intervaly != 0)
        std::abort();
    if (s.MeterNames.size() != 12 || s.ApplianceNames.size() != 64 || s.SignalNames.size() != 64)
        std::abort();
    // A contract taken as usable is one the demand models can bill by.
    const TContract& c = s.Contract;
    if (c.Usable() && (c.Capacities.empty() || c.PeriodMinutes < 1 || 60 % c.PeriodMinutes != 0 ||
                       c.PeriodMinutes % (60 / s.Intervaly) != 0 ||
                       (c.Model == TDemandModel::Window && c.Windows.empty())))
        std::abort();
    // Whatever was read comes back through the text the object writes.
    const QString text = ini.Text();
    TMIniFile again(QStringLiteral("/nonexistent/again.ini"), QStringLiteral("/nonexistent"));
    again.SetText(text);
    if (again.ReadString(QStringLiteral("KOMUNIKACIA"), QStringLiteral("IP"), QStringLiteral("-")) !=
        ini.ReadString(QStringLiteral("KOMUNIKACIA"), QStringLiteral("IP"), QStringLiteral("-")))
        std::abort();
    int32_t v = 0;
    const QString limit = ini.ReadString(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Limit"), QString());
    if (ini.ReadInteger(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Limit"), -7) != -7 &&
        !TMIniFile::ParseInteger(limit, v))
        std::abort();
    ini.WriteString(QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z"));
    if (ini.ReadString(QStringLiteral("X"), QStringLiteral("Y"), QString()) != QLatin1String("z"))
        std::abort();
    ini.Modified = false; // never written back
    return 0;
}
