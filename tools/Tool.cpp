#include "Tool.h"

#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"
#include "comm/SerialThread.h"
#include "comm/UDPThread.h"
#include "core/SafeFile.h"

#include <QFileInfo>

#include <csignal>
#include <cstdio>

namespace {
volatile std::sig_atomic_t Stop = 0;

void OnStopSignal(int sig) { Stop = sig; }
} // namespace

void CatchStopSignals()
{
    Stop = 0;
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int StopSignal() { return Stop; }

int ExitFor(int signal) { return 128 + signal; }

QString OutputProblem(const QString& output, const QString& input)
{
    if (SameFile(output, input) || QFileInfo(output).absoluteFilePath() == QFileInfo(input).absoluteFilePath())
        return QStringLiteral("will not write over the monthly file %1").arg(input);
    if (QFileInfo(output).suffix().compare(QLatin1String("qdr"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("will not write %1: a .qdr name is a monthly file's").arg(output);
    return NotRegularProblem(output);
}

std::vector<TToolCommand>& ToolCommands()
{
    static std::vector<TToolCommand> commands;
    return commands;
}

void Out(const QString& line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Fail(const QString& reason)
{
    std::fflush(stdout);
    std::fputs(("qdrtool: " + reason).toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool TToolOptions::Parse(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions,
                         int maxPositional, const std::map<QString, QString>& shortNames)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        QString name;
        if (a.startsWith(QLatin1String("--"))) {
            name = a.mid(2);
        } else if (a.size() == 2 && a.at(0) == QLatin1Char('-') && shortNames.count(a.mid(1))) {
            name = shortNames.at(a.mid(1));
        } else if (Positional.size() < maxPositional && !(a.startsWith(QLatin1Char('-')) && a.size() > 1)) {
            Positional << a;
            continue;
        } else {
            Error = QStringLiteral("unexpected argument '%1'").arg(a);
            return false;
        }
        QString value;
        bool inlineValue = false;
        const qsizetype eq = name.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inlineValue = true;
        }
        if (flagOptions.contains(name) && !inlineValue) {
            Values[name] = QString();
        } else if (valueOptions.contains(name)) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    Error = QStringLiteral("option --%1 needs a value").arg(name);
                    return false;
                }
                value = args[++i];
            }
            Values[name] = value;
        } else {
            Error = QStringLiteral("unknown option '%1'").arg(a);
            return false;
        }
    }
    return true;
}

QString TToolOptions::Value(const QString& name, const QString& def) const
{
    const auto it = Values.find(name);
    return it == Values.end() ? def : it->second;
}

bool TToolOptions::Integer(const QString& name, int min, int max, int& value) const
{
    const auto it = Values.find(name);
    if (it == Values.end())
        return true;
    bool ok = false;
    const int v = it->second.toInt(&ok);
    if (!ok || v < min || v > max) {
        IntegerError = QStringLiteral("--%1 wants a whole number from %2 to %3, not '%4'")
                           .arg(name)
                           .arg(min)
                           .arg(max)
                           .arg(it->second);
        return false;
    }
    value = v;
    return true;
}

QString PortProblem(const TEngine& engine, const TSettings&)
{
    return engine.PortProblem();
}

bool ReadToolSettings(const QString& configName, TSettings& settings)
{
    TMIniFile& ini = OpenIniFile(configName);
    // A file that is there but cannot be read is no reason to fall back on
    // serial port 1 unsaid.
    if (!ini.Problem.isEmpty()) {
        Fail(QStringLiteral("bad configuration: ") + ini.Problem);
        return false;
    }
    if (!configName.isEmpty() && !ini.Loaded) {
        Fail(QStringLiteral("bad configuration: cannot read %1").arg(ini.FileName));
        return false;
    }
    settings = TSettings::Read(ini);
    if (!settings.Problem.isEmpty()) {
        Fail(QStringLiteral("bad configuration: ") + settings.Problem);
        return false;
    }
    for (const QString& note : settings.Notes)
        Fail(QStringLiteral("configuration: ") + note);
    return true;
}
