// qdrtool: command-line front end of the client's engine, for technicians and
// scripts. Each subcommand lives in its own file and registers itself.
#include "Tool.h"

#include <QCoreApplication>

namespace {
void Usage()
{
    Out(QStringLiteral("usage: qdrtool COMMAND [OPTIONS]"));
    Out(QString());
    Out(QStringLiteral("Commands:"));
    for (const TToolCommand& c : ToolCommands())
        Out(QStringLiteral("  %1%2").arg(c.Name.leftJustified(10)).arg(c.Summary));
    Out(QStringLiteral("  %1%2").arg(QStringLiteral("help").leftJustified(10), QStringLiteral("this text, or the help of one command")));
    Out(QString());
    Out(QStringLiteral("Every command reads qdrwin.ini from the current directory, else from beside the program;"));
    Out(QStringLiteral("--config FILE names another file. 'qdrtool help COMMAND' explains a command;"));
    Out(QStringLiteral("'qdrtool --version' prints the version."));
}

const TToolCommand* Find(const QString& name)
{
    for (const TToolCommand& c : ToolCommands())
        if (c.Name == name)
            return &c;
    return nullptr;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QDR_VERSION));
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty()) {
        Usage();
        return ExitUsage;
    }
    const QString name = args.takeFirst();
    if (name == QLatin1String("--version")) {
        Out(QStringLiteral("qdrtool ") + QCoreApplication::applicationVersion());
        return ExitOk;
    }
    if (name == QLatin1String("help") || name == QLatin1String("--help") || name == QLatin1String("-h")) {
        if (!args.isEmpty()) {
            const TToolCommand* c = Find(args.first());
            if (!c) {
                Fail(QStringLiteral("unknown command '%1' (try 'qdrtool help')").arg(args.first()));
                return ExitUsage;
            }
            Out(c->Usage);
            return ExitOk;
        }
        Usage();
        return ExitOk;
    }
    const TToolCommand* c = Find(name);
    if (!c) {
        Fail(QStringLiteral("unknown command '%1' (try 'qdrtool help')").arg(name));
        return ExitUsage;
    }
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        Out(c->Usage);
        return ExitOk;
    }
    return c->Run(args);
}
