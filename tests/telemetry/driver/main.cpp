// The site service in miniature, for the telemetry tests and the CPU bench:
// an engine on a site folder's configuration polling as the service does,
// with MQTT and the metrics endpoint as configured, until SIGTERM or SIGINT
// (an orderly stop: "offline" on the broker). SIGHUP reads the configuration
// again and applies it. Log lines go to standard error, "READY" to standard
// output once everything is started.
//
// usage: qdr_telemetry_driver SITE_DIR [SILENCE_SECONDS]
// A regulator that has been mute for a minute counts as gone and gets a new
// engine, as the service gives one; SILENCE_SECONDS shortens that minute, so
// that a test need not wait that long.
#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"
#include "telemetry/Telemetry.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

namespace {
int SignalPipe[2] = {-1, -1};

void OnSignal(int signal)
{
    const char c = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(SignalPipe[1], &c, 1);
}

void Print(const TLogLine& line)
{
    std::fprintf(stderr, "%s\n", line.Line().toUtf8().constData());
    std::fflush(stderr);
}

TSettings ReadSettings(const QString& dir)
{
    TMIniFile ini(QDir(dir).filePath(QStringLiteral("qdrwin.ini")));
    return TSettings::Read(ini);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: qdr_telemetry_driver SITE_DIR [SILENCE_SECONDS]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    for (const int s : {SIGTERM, SIGINT, SIGHUP})
        std::signal(s, OnSignal);

    TSettings settings = ReadSettings(dir);
    const int silence = argc == 3 ? std::clamp(std::atoi(argv[2]), 11, 255) : 60;
    std::unique_ptr<TEngine> engine;
    std::unique_ptr<TTelemetry> telemetry;
    // A regulator gone silent gets an engine of its own, as the service
    // gives one when its port fails: the outputs follow the new one.
    std::function<void()> makeEngine = [&] {
        if (telemetry)
            telemetry->Follow(nullptr);
        if (engine)
            engine->Close();
        engine = std::make_unique<TEngine>(settings, 100, dir);
        engine->SetInformationEveryMs(60000);
        engine->SetSilenceSeconds(static_cast<uint8_t>(silence));
        engine->OnSilence = [&](void*) { QTimer::singleShot(0, &app, makeEngine); };
        if (telemetry)
            telemetry->Follow(engine.get());
    };
    makeEngine();
    telemetry = StartTelemetry(*engine, settings, Print);

    QSocketNotifier notifier(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char c = 0;
        while (::read(SignalPipe[0], &c, 1) == 1) {
            if (c != SIGHUP) {
                app.quit();
                continue;
            }
            settings = ReadSettings(dir);
            telemetry->Apply(settings);
            Print(TLogLine(QStringLiteral("config-reloaded")));
        }
    });
    std::printf("READY\n");
    std::fflush(stdout);
    app.exec();
    telemetry->Stop(1000);
    telemetry.reset();
    engine->Close();
    Print(TLogLine(QStringLiteral("stop")));
    return 0;
}
