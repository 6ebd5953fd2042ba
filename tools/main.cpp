// qdrtool: command-line front end of the client's engine, for technicians and
// scripts. Each subcommand lives in its own file and registers itself.
#include "Tool.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

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
    // The report lays out text and draws, which takes the fonts of a GUI
    // application; from a timer there is no display, so it needs none.
    std::unique_ptr<QCoreApplication> app;
    if (argc > 1 && std::strcmp(argv[1], "report") == 0) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        // A timer has no session, hence no runtime folder; Qt's remark on
        // that would land in the site's log every month.
        const QtMessageHandler previous = qInstallMessageHandler(nullptr);
        static QtMessageHandler forward = previous;
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
                return;
            if (forward)
                forward(type, context, text);
            else
                std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
        });
        app = std::make_unique<QGuiApplication>(argc, argv);
        qInstallMessageHandler(previous);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
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
