// qdrtool probe: does the regulator answer, and who is it? Runs the engine's
// own schedule, so what it shows is what the client would see.
#include "Tool.h"

#include "app/Config.h"
#include "app/Engine.h"
#include "comm/ComInterface.h"
#include "comm/ComThread.h"
#include "comm/SerialThread.h"
#include "core/TextFunctions.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace {

const QString ProbeUsage = QStringLiteral(
    "usage: qdrtool probe [--config FILE] [--timeout SECONDS] [--count N [--allow-fewer]]\n"
    "\n"
    "Identifies the regulator the configuration points at and reads its information block,\n"
    "printing every exchange with its result code. With --count N it then keeps polling\n"
    "the live measurement N times and prints one line per reply.\n"
    "\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "  --timeout SECONDS  how long to wait for the regulator to answer (default 10), trying\n"
    "                     again through a noisy line or a network that is not up yet; with\n"
    "                     --count, also the longest wait for each live reply\n"
    "  --count N          live replies to wait for after the information block (default 0)\n"
    "  --allow-fewer      exit 0 even when fewer than N live replies came\n"
    "\n"
    "Exit status: 0 the regulator answered the identification, the information request and\n"
    "all N live replies; 1 it did not within the time-out (fewer live replies than N\n"
    "included, unless --allow-fewer); 2 bad command line or configuration; 3 the port or\n"
    "socket cannot be used (a serial port at once, a noisy line or a socket when it still\n"
    "fails at the time-out).");

QString Column(const QString& text, int width) { return text.leftJustified(width); }

QString Field(const QString& label, const QString& value) { return Column(label, 20) + value; }

QString StatusColumns(const TComBufQDR& buf, uint8_t code)
{
    const QString text = code == 0 ? QStringLiteral("ok") : buf.CodeText(code);
    return QStringLiteral("%1 %2  %3").arg(code, 2).arg(buf.CodeChar(code)).arg(Column(text, 30));
}

bool IsLive(uint8_t command) { return command == 2 || command == 8 || command == 10; }

bool NoisyLine(const TEngine& engine)
{
    const auto* root = dynamic_cast<const TComThreadInterface*>(engine.Root());
    return root && root->Thread && root->Thread->LineNoisy.load();
}

// A value's text as the window would show it, "-" while it is missing.
QString Shown(const TValue* v)
{
    const QString text = v ? v->GetDisplay() : QString();
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QStringList LiveLines(const TEngine& engine)
{
    const TInterfaceME& me = *engine.InterfaceME;
    QStringList lines;
    lines << QStringLiteral("           live  %1  P %2 kW  avg %3 kW  stage %4  tariff %5")
                 .arg(Column(Shown(me.TimeStamp), 16))
                 .arg(Shown(me.Power), 5)
                 .arg(Shown(me.AveragePower), 5)
                 .arg(Shown(engine.ValueRs), 2)
                 .arg(Shown(engine.ValueTa), 2);
    if (engine.ValuePmV->IsValid() || engine.ValuePmN->IsValid())
        lines << QStringLiteral("                 max VT %1 kW at %2  max NT %3 kW at %4")
                     .arg(Shown(engine.ValuePmV), 5)
                     .arg(Column(Shown(engine.ValueTmV), 16))
                     .arg(Shown(engine.ValuePmN), 5)
                     .arg(Shown(engine.ValueTmN));
    const TValueGridEm& grid = *engine.GridEm;
    if (grid.IsValid()) {
        for (int row = 1; row <= TValueGridEm::Meters; ++row) {
            if (!grid.IsRowShown(0, row))
                continue;
            QString cells[4];
            for (int col = 0; col < 4; ++col) {
                int alignment = 2;
                grid.GetCellText(col, row, cells[col], alignment);
            }
            // The unit cell is laid out for the window's grid, "[kW  ]".
            const QString unit = cells[3].remove(QLatin1Char('[')).remove(QLatin1Char(']')).trimmed();
            lines << QStringLiteral("                 meter %1  %2 %3  avg %4 %5")
                         .arg(Column(cells[0], 24))
                         .arg(cells[1], 5)
                         .arg(Column(unit, 4))
                         .arg(cells[2], 5)
                         .arg(unit);
        }
    }
    return lines;
}

int RunProbe(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("timeout"), QStringLiteral("count")},
                       {QStringLiteral("allow-fewer")})) {
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

    TSettings settings;
    if (!ReadToolSettings(options.Value(QStringLiteral("config")), settings))
        return ExitUsage;

    TEngine engine(settings);
    // A probe looks; it does not download the archive into the folder.
    engine.SetDownload(false);
    const TMIniFile& ini = IniFile();
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
        if (code == 0 && sentCommand >= 0 && IsLive(static_cast<uint8_t>(sentCommand)) && informationShown) {
            for (const QString& line : LiveLines(engine))
                Out(line);
            ++liveReplies;
            waitStart = clock.elapsed();
        }
        // A serial port that cannot be opened stays so; a line that is
        // noisy for a while, or a network that is not up yet, may answer at
        // the next exchange, so only the time-out ends those.
        if (code == 2 && !portFailed && settings.Serial() && !NoisyLine(engine)) {
            portFailed = true;
            portError = PortProblem(engine, settings);
        }
        sentCommand = -1;
        loop.quit();
    };

    const qint64 limit = qint64(timeoutSeconds) * 1000;
    int status = ExitOk;
    // The loop has nothing to look at between the end of one exchange and
    // the next, so it sleeps until one ends or a limit runs out.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    for (;;) {
        if (portFailed) {
            Fail(portError);
            status = ExitPort;
            break;
        }
        if (!informationShown && engine.ValueKem->IsValid() && engine.ValueId->IsValid()) {
            informationShown = true;
            waitStart = clock.elapsed();
            Out(QString());
            Out(Field(QStringLiteral("Identification"), engine.ValueId->GetDisplay()));
            Out(Field(QStringLiteral("Generation"), QString::number(engine.Generation())));
            Out(Field(QStringLiteral("Meters"), Shown(engine.ValueKem)));
            Out(Field(QStringLiteral("Stages"), Shown(engine.ValueKrs)));
            Out(Field(QStringLiteral("Appliances"), Shown(engine.ValueKso)));
            Out(Field(QStringLiteral("Regulated power"), QStringLiteral("VT %1 kW, NT %2 kW").arg(Shown(engine.ValuePregV), Shown(engine.ValuePregN))));
            Out(Field(QStringLiteral("Initialised"), engine.ValueTini->GetDisplay()));
            Out(Field(QStringLiteral("Last power failure"), engine.ValueTnmi->GetDisplay()));
            Out(Field(QStringLiteral("Configured"), engine.ValueTcfg->GetDisplay()));
            Out(Field(QStringLiteral("Last RESET"), engine.ValueTres->GetDisplay()));
            if (count > 0)
                Out(QString());
        }
        if (informationShown && liveReplies >= count)
            break;
        if (!informationShown && clock.elapsed() > limit && lastCode == 2) {
            Fail(PortProblem(engine, settings));
            status = ExitPort;
            break;
        }
        if (!informationShown && clock.elapsed() > limit) {
            const QString last = lastCode == 0 ? QString() : QStringLiteral(" (last result %1 %2)").arg(lastCode).arg(engine.ComBuf->CodeText(lastCode));
            if (engine.ValueId->IsValid())
                Fail(QStringLiteral("the regulator answered the identification but not the information request within %1 s%2").arg(timeoutSeconds).arg(last));
            else
                Fail(QStringLiteral("no answer from the regulator within %1 s%2").arg(timeoutSeconds).arg(last));
            status = ExitNoAnswer;
            break;
        }
        if (informationShown && clock.elapsed() - waitStart > limit) {
            // A script asking for N replies learns that it got fewer.
            Fail(QStringLiteral("only %1 of %2 live replies within %3 s of each other").arg(liveReplies).arg(count).arg(timeoutSeconds));
            if (!options.Has(QStringLiteral("allow-fewer")))
                status = ExitNoAnswer;
            break;
        }
        const qint64 left = (informationShown ? waitStart : 0) + limit - clock.elapsed();
        deadline.start(int(std::clamp<qint64>(left + 1, 1, limit + 1)));
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
