// qdrtool probe: does the regulator answer, and who is it? Runs the engine's
// own schedule, so what it shows is what the client would see.
#include "Tool.h"

#include "app/Config.h"
#include "app/Engine.h"
#include "comm/SerialThread.h"
#include "core/TextFunctions.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace {

const QString ProbeUsage = QStringLiteral(
    "usage: qdrtool probe [--config FILE] [--timeout SECONDS] [--count N]\n"
    "\n"
    "Identifies the regulator the configuration points at and reads its information block,\n"
    "printing every exchange with its result code. With --count N it then keeps polling\n"
    "the live measurement N times and prints one line per reply.\n"
    "\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "  --timeout SECONDS  how long to wait for the regulator to answer (default 10); with\n"
    "                     --count, also the longest wait for each live reply\n"
    "  --count N          live replies to wait for after the information block (default 0)\n"
    "\n"
    "Exit status: 0 the regulator answered the identification and the information request;\n"
    "1 it did not within the time-out; 2 bad command line or configuration; 3 the port or\n"
    "socket cannot be used.");

QString Column(const QString& text, int width) { return text.leftJustified(width); }

QString Field(const QString& label, const QString& value) { return Column(label, 20) + value; }

QString StatusColumns(const TComBufQDR& buf, uint8_t code)
{
    const QString text = code == 0 ? QStringLiteral("ok") : buf.CodeText(code);
    return QStringLiteral("%1 %2  %3").arg(code, 2).arg(buf.CodeChar(code)).arg(Column(text, 30));
}

bool IsLive(uint8_t command) { return command == 2 || command == 8 || command == 10; }

QString LiveLine(const TLive& live)
{
    const QString dash = QStringLiteral("-");
    const QString power = live.HasPower ? QString::number(live.Power) : dash;
    const QString average = live.HasPower ? QString::number(live.Average) : dash;
    const QString stage = live.HasStage ? QString::number(live.Stage) : dash;
    const QString tariff = live.HasStage ? (live.Tariff == 0 ? QStringLiteral("VT") : live.Tariff == 1 ? QStringLiteral("NT") : QString::number(live.Tariff)) : dash;
    return QStringLiteral("           live  %1  P %2 kW  avg %3 kW  stage %4  tariff %5")
        .arg(Column(StampText(live.Time), 16))
        .arg(power, 5)
        .arg(average, 5)
        .arg(stage, 2)
        .arg(tariff, 2);
}

int RunProbe(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("timeout"), QStringLiteral("count")}, {})) {
        Fail(options.Error + QStringLiteral(" (try 'qdrtool help probe')"));
        return ExitUsage;
    }
    int timeoutSeconds = 10;
    int count = 0;
    if (!options.Integer(QStringLiteral("timeout"), 1, 3600, timeoutSeconds) ||
        !options.Integer(QStringLiteral("count"), 0, 1000000, count)) {
        Fail(options.IntegerError);
        return ExitUsage;
    }

    const QString configName = options.Value(QStringLiteral("config"));
    TMIniFile& ini = OpenIniFile(configName);
    if (!configName.isEmpty() && !ini.Loaded) {
        Fail(QStringLiteral("bad configuration: cannot read %1").arg(ini.FileName));
        return ExitUsage;
    }
    const TSettings settings = TSettings::Read(ini);
    if (!settings.Problem.isEmpty()) {
        Fail(QStringLiteral("bad configuration: ") + settings.Problem);
        return ExitUsage;
    }

    TEngine engine(settings);
    Out(Field(QStringLiteral("Configuration"), ini.Loaded ? ini.FileName : ini.FileName + QStringLiteral(" (not found, defaults used)")));
    Out(Field(QStringLiteral("Transport"), (settings.Serial() ? QStringLiteral("serial ") : QString()) + engine.Description()));
    Out(Field(QStringLiteral("Bus address"), QString::number(settings.Adr)));
    Out(QString());
    Out(QStringLiteral("  time [s]  request                       result                              ms"));

    QElapsedTimer clock;
    clock.start();
    QElapsedTimer exchange;
    int sentCommand = -1;
    bool portFailed = false;
    QString portError;
    int liveReplies = 0;
    bool informationShown = false;
    qint64 waitStart = 0;
    uint8_t lastCode = 0;
    QEventLoop loop;

    engine.OnSent = [&](uint8_t command) {
        sentCommand = command;
        exchange.start();
    };
    engine.OnStatus = [&](uint8_t code) {
        lastCode = code;
        const QString request = sentCommand < 0
            ? QStringLiteral("-")
            : QStringLiteral("%1  %2").arg(sentCommand, 2).arg(CommandName(static_cast<uint8_t>(sentCommand)));
        const qint64 ms = sentCommand < 0 ? 0 : exchange.elapsed();
        Out(QStringLiteral("%1  %2 %3 %4")
                .arg(double(clock.elapsed()) / 1000.0, 8, 'f', 2)
                .arg(Column(request, 29))
                .arg(StatusColumns(*engine.ComBuf, code))
                .arg(ms, 5));
        if (code == 0 && sentCommand >= 0 && IsLive(static_cast<uint8_t>(sentCommand)) && informationShown && engine.Live.Valid) {
            Out(LiveLine(engine.Live));
            ++liveReplies;
            waitStart = clock.elapsed();
        }
        if (code == 2 && !portFailed) {
            portFailed = true;
            if (settings.Serial()) {
                auto* root = dynamic_cast<TSerialInterface*>(engine.Root());
                const TSerialThread* thread = root ? root->SerialThread() : nullptr;
                portError = QStringLiteral("cannot open serial port %1").arg(thread ? thread->Device : settings.Device);
                if (thread && !thread->LastErrorText.isEmpty())
                    portError += QStringLiteral(": ") + thread->LastErrorText;
            } else {
                portError = QStringLiteral("cannot use the UDP socket to %1:%2").arg(settings.Host).arg(settings.UdpPort);
            }
        }
        sentCommand = -1;
        loop.quit();
    };

    const qint64 limit = qint64(timeoutSeconds) * 1000;
    int status = ExitOk;
    for (;;) {
        if (portFailed) {
            Fail(portError);
            status = ExitPort;
            break;
        }
        if (!informationShown && engine.Information.Valid && engine.Identification.Valid) {
            informationShown = true;
            waitStart = clock.elapsed();
            const TInformation& info = engine.Information;
            Out(QString());
            Out(Field(QStringLiteral("Identification"), engine.Identification.Text));
            Out(Field(QStringLiteral("Generation"), QString::number(engine.Generation)));
            Out(Field(QStringLiteral("Meters"), QString::number(info.Meters)));
            Out(Field(QStringLiteral("Stages"), QString::number(info.Stages)));
            Out(Field(QStringLiteral("Appliances"), QString::number(info.Appliances)));
            Out(Field(QStringLiteral("Regulated power"), QStringLiteral("VT %1 kW, NT %2 kW").arg(info.PregVT).arg(info.PregNT)));
            Out(Field(QStringLiteral("Initialised"), StampText(info.TimeInit)));
            Out(Field(QStringLiteral("Last power failure"), StampText(info.TimePowerFail)));
            Out(Field(QStringLiteral("Configured"), StampText(info.TimeConfig)));
            Out(Field(QStringLiteral("Last RESET"), StampText(info.TimeReset)));
            if (count > 0)
                Out(QString());
        }
        if (informationShown && liveReplies >= count)
            break;
        if (!informationShown && clock.elapsed() > limit) {
            const QString last = lastCode == 0 ? QString() : QStringLiteral(" (last result %1 %2)").arg(lastCode).arg(engine.ComBuf->CodeText(lastCode));
            if (engine.Identification.Valid)
                Fail(QStringLiteral("the regulator answered the identification but not the information request within %1 s%2").arg(timeoutSeconds).arg(last));
            else
                Fail(QStringLiteral("no answer from the regulator within %1 s%2").arg(timeoutSeconds).arg(last));
            status = ExitNoAnswer;
            break;
        }
        if (informationShown && clock.elapsed() - waitStart > limit) {
            // The regulator did answer; the shortfall is reported, not failed.
            Fail(QStringLiteral("only %1 of %2 live replies within %3 s of each other").arg(liveReplies).arg(count).arg(timeoutSeconds));
            break;
        }
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    engine.OnStatus = nullptr;
    engine.OnSent = nullptr;
    engine.Close();
    return status;
}

const TToolRegistration Registration({QStringLiteral("probe"),
                                      QStringLiteral("check that the regulator answers; show who it is"), ProbeUsage,
                                      RunProbe});

} // namespace
