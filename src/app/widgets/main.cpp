// qdrwin: the window of the client. Reads qdrwin.ini (the current directory
// first, then beside the program; --config FILE names another) and runs
// until the window is closed, by the user or by SIGTERM/SIGINT.
//
// --screenshots DIR [--after SECONDS]: after SECONDS (default 5) of polling,
// writes a PNG of every page into DIR and closes the window the usual way.
// --version and --help answer without a display.
#include "FormMain.h"
#include "ShutdownSignals.h"
#include "Translation.h"
#include "app/Config.h"
#include "app/Settings.h"
#include "core/widgets/Dialogs.h"
#include "core/widgets/Windows.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

const char* const UsageLine = "usage: qdrwin [--config FILE] [--screenshots DIR [--after SECONDS]]\n"
                              "       qdrwin --version | --help\n";

int Usage(const char* problem)
{
    std::fprintf(stderr, "qdrwin: %s\n%s", problem, UsageLine);
    return 2;
}

// Looked for before the application exists: that needs a display, and a
// package check or a terminal over ssh may have none.
int InfoOption(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("qdrwin %s\n", QDR_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%sSee man qdrwin.\n", UsageLine);
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (const int info = InfoOption(argc, argv); info >= 0)
        return info;
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(QDR_VERSION));
    CareForWindows(app);
    if (!InstallSlovakTranslation(app))
        std::fprintf(stderr, "qdrwin: the toolkit's Slovak translation (qt6-translations-l10n) is missing; "
                             "its standard texts stay English\n");
    QString config;
    QString shots;
    double after = 5;
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (i + 1 >= args.size())
            return Usage("an option without its value, or an unknown argument");
        if (a == QLatin1String("--config")) {
            config = args[++i];
        } else if (a == QLatin1String("--screenshots")) {
            shots = args[++i];
        } else if (a == QLatin1String("--after")) {
            bool ok = false;
            after = args[++i].toDouble(&ok);
            if (!ok || after < 0 || after > 86400)
                return Usage("--after wants a number of seconds");
        } else {
            return Usage("unknown argument");
        }
    }

    TMIniFile& ini = OpenIniFile(config);
    if (!ini.Problem.isEmpty())
        std::fprintf(stderr, "qdrwin: %s\n", ini.Problem.toLocal8Bit().constData());
    if (!config.isEmpty() && !ini.Loaded)
        return Usage("cannot read the configuration file");
    int result = 0;
    {
        const TSettings settings = TSettings::Read(ini);
        TFormMain window(settings);
        // What the file could not give is said before the window works
        // with something else (an unreadable file means serial port 1).
        QStringList said = settings.Notes;
        if (!ini.Problem.isEmpty())
            said.prepend(ini.Problem + QStringLiteral(" – použijú sa predvolené nastavenia (sériový port COM1)"));
        for (const QString& note : settings.Notes)
            std::fprintf(stderr, "qdrwin: configuration: %s\n", note.toLocal8Bit().constData());
        if (!said.isEmpty() && shots.isEmpty())
            QTimer::singleShot(0, &window, [said] {
                TDialogs::Message(QStringLiteral("Konfigurácia:\n") + said.join(QLatin1Char('\n')));
            });
        TShutdownSignals shutdown;
        shutdown.OnSignal = [&window](int) { window.Shutdown(); };
        window.show();
        if (!shots.isEmpty()) {
            QTimer::singleShot(int(after * 1000), &window, [&window, &shots, &result] {
                if (!window.SaveScreenshots(shots))
                    result = 1;
                window.close();
            });
        }
        const int loop = app.exec();
        if (result == 0)
            result = loop;
    }
    CloseIniFile();
    return result;
}
