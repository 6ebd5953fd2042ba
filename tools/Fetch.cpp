// qdrtool fetch: copies the regulator's archive (this month and the last) into
// the monthly files, unattended. A site runs it from cron or a timer so that
// no month is lost while nobody has the window open. It runs the engine's own
// schedule on the archive page, so it downloads exactly as the window would;
// the files on disk are the progress, so a second run fetches only what is new.
#include "Tool.h"

#include "app/ArchiveProgress.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "comm/ComInterface.h"
#include "comm/ComThread.h"
#include "core/FolderLock.h"
#include "core/TextFunctions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

const QString FetchUsage = QStringLiteral(
    "usage: qdrtool fetch [--config FILE] [--dir DIR] [--timeout SECONDS] [--fast]\n"
    "\n"
    "Copies the regulator's archive (this month and the last) into the monthly files\n"
    "(2026nov.qdr, ...) and exits when every month the regulator reports is filed. Run again,\n"
    "it fetches only what is new. On a terminal it shows one updating progress line, otherwise\n"
    "a plain line every 2 seconds and one per finished month; the last line reads\n"
    "'done: <month> <n> records, ...'. Interrupted (SIGINT, SIGTERM), it saves what it has.\n"
    "\n"
    "  --config FILE      configuration file (default qdrwin.ini, current directory first,\n"
    "                     then beside the program)\n"
    "  --dir DIR          folder of the monthly files (default: the current directory)\n"
    "  --timeout SECONDS  the longest time without any successful reply, or without a record\n"
    "                     filed while the regulator answers, before giving up (default 30)\n"
    "  --fast             the next archive request goes out as soon as the last exchange ended,\n"
    "                     not at the next cycle: the line's own speed (as KOMUNIKACIA Rychlo=1).\n"
    "                     A regulator that leaves 5 fast requests in a row unanswered while it\n"
    "                     answers at the usual pace is asked at the usual pace for the rest of\n"
    "                     the run, and a line says so\n"
    "\n"
    "A month whose records change size (a meter added or removed) is kept as\n"
    "<month>.qdr.recordsize and fetched anew in the new size. A month the regulator now\n"
    "counts fewer records of than its file holds (once the regulator was identified again),\n"
    "or whose regulator identifies itself otherwise than the one it was filled from, is kept\n"
    "as <month>.qdr.replaced (.1, .2, ...) and fetched anew, and a line says so. The month\n"
    "being fetched is saved with its first record, then every 30 s and at the end. A\n"
    "monthly file that cannot be read whole is kept as <name>.unreadable (.1, .2, ...)\n"
    "before its month starts afresh, and this is said. A monthly file name that is a link,\n"
    "FIFO, device or folder is refused: nothing is read from it or written through it.\n"
    "\n"
    "One program downloads into a folder at a time: the run holds the folder (the lock\n"
    "file .qdrwin.lock) until it ends, and a run in a folder that the window or another\n"
    "run holds ends at once with status 3, naming the holder.\n"
    "\n"
    "Exit status: 0 done; 1 the regulator does not answer, or the download makes no\n"
    "progress (the last line names the month, the record and why); 2 bad command line or\n"
    "configuration; 3 the port or socket cannot be used, or another program holds the\n"
    "folder; 4 the folder or a monthly file cannot be written (said at once, naming the\n"
    "file and the reason), or a month whose records changed size cannot be moved aside;\n"
    "130/143 interrupted by SIGINT/SIGTERM (what was fetched is saved).");

// Writes and removes a file of its own in the folder; the reason when it cannot.
QString FolderProblem(const QString& dir)
{
    const QFileInfo info(dir);
    if (!info.exists())
        return QStringLiteral("folder %1 does not exist").arg(dir);
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder").arg(dir);
    QFile probe(QDir(dir).filePath(QStringLiteral(".qdrtool-fetch-%1.tmp").arg(::getpid())));
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return QStringLiteral("cannot write to folder %1: %2").arg(dir, probe.errorString());
    const bool written = probe.write("x", 1) == 1 && probe.flush();
    const QString error = probe.errorString();
    probe.close();
    probe.remove();
    return written ? QString() : QStringLiteral("cannot write to folder %1: %2").arg(dir, error);
}

QString Duration(double seconds)
{
    if (seconds < 0)
        return QStringLiteral("?");
    const auto s = static_cast<long long>(seconds + 0.5);
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// The serial line's last exchange gave up on a line that never went quiet:
// that may pass, unlike a port that cannot be opened.
bool NoisyLine(const TEngine& engine)
{
    const TComThreadInterface* root = dynamic_cast<const TComThreadInterface*>(engine.Root());
    return root && root->Thread && root->Thread->LineNoisy.load();
}

class TFetch : public TEngineObserver {
public:
    TFetch(TEngine& engine, const TSettings& settings, int timeoutSeconds)
        : Engine(engine)
        , Settings(settings)
        , Progress(*engine.Archive)
        , TimeoutMs(qint64(timeoutSeconds) * 1000)
        , Terminal(::isatty(::fileno(stdout)) != 0)
    {
    }

    int Run();
    void FastFellBack(const TEngine&) override { Line(QStringLiteral("fast download off: ") + TEngine::FastFallbackReason()); }

private:
    void ShowProgress(bool force);
    void MonthsFinished();
    void Line(const QString& text);
    // Ends an updating terminal line before anything else is printed.
    void EndLine();
    QString DoneLine();
    bool Save();
    // Saves on the way out, telling a file that could not be written.
    void SaveAtEnd();
    void Notice(const TFileNotice& notice);

    TEngine& Engine;
    const TSettings& Settings;
    TArchiveProgress Progress;
    qint64 TimeoutMs;
    bool Terminal;
    bool LineOpen = false;
    int LastLength = 0;

    QElapsedTimer Clock;
    qint64 LastSuccess = 0;
    qint64 LastShown = -1000000;
    bool TableSeen = false;
    bool PortFailed = false;
    uint8_t LastCode = 0;
    // The first monthly file that cannot be written, and why.
    QString WriteProblem;
    // Why the month that cannot be moved aside waits.
    QString BlockedProblem;
    // Rate of the month in progress: when it began in this run, and its
    // records done then.
    int RateEntry = -1;
    uint16_t RateMonth = 0;
    qint64 RateStart = 0;
    uint32_t RateDone = 0;
    bool Finished[2] = {false, false};
};

void TFetch::Line(const QString& text)
{
    EndLine();
    Out(text);
}

void TFetch::EndLine()
{
    if (LineOpen) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
        LineOpen = false;
        LastLength = 0;
    }
}

void TFetch::Notice(const TFileNotice& notice)
{
    EndLine();
    switch (notice.Kind) {
    case TFileNotice::Rejected:
        Fail(notice.Detail + QStringLiteral("; the file is kept and its month starts afresh"));
        break;
    case TFileNotice::MovedAside:
        Fail(QStringLiteral("%1 could not be read whole and is kept as %2").arg(notice.FileName, notice.Detail));
        break;
    case TFileNotice::Refused:
    case TFileNotice::SaveFailed:
        if (WriteProblem.isEmpty())
            WriteProblem = notice.Kind == TFileNotice::Refused ? QStringLiteral("refused: ") + notice.Detail
                                                               : notice.Detail;
        break;
    }
}

void TFetch::SaveAtEnd()
{
    if (!Save() && !WriteProblem.isEmpty())
        Fail(WriteProblem);
}

bool TFetch::Save()
{
    Engine.Archive->SaveAll();
    return Engine.Archive->SaveErrors() == 0;
}

void TFetch::ShowProgress(bool force)
{
    const int i = Progress.Active();
    if (i < 0)
        return;
    uint32_t done = 0;
    uint32_t total = 0;
    Progress.Entry(static_cast<uint8_t>(i), done, total);
    const qint64 now = Clock.elapsed();
    const uint16_t month = Engine.Archive->MonthEntry(static_cast<uint8_t>(i)).Month;
    if (RateEntry != i || RateMonth != month || done < RateDone) {
        RateEntry = i;
        RateMonth = month;
        RateStart = now;
        RateDone = done;
    }
    if (!force && now - LastShown < (Terminal ? 200 : 2000))
        return;
    LastShown = now;
    const double seconds = double(now - RateStart) / 1000.0;
    const double rate = seconds > 0.5 ? double(done - RateDone) / seconds : 0.0;
    const QString left = rate > 0 ? Duration(double(total - done) / rate) : QStringLiteral("?");
    const QString text = QStringLiteral("%1  %2/%3 records  %4 rec/s  %5 left")
                             .arg(MonthText(month))
                             .arg(done)
                             .arg(total)
                             .arg(rate, 0, 'f', 1)
                             .arg(left);
    if (Terminal) {
        const int length = static_cast<int>(text.size());
        QString shown = text;
        if (length < LastLength)
            shown += QString(LastLength - length, QLatin1Char(' '));
        std::fputs(("\r" + shown).toUtf8().constData(), stdout);
        std::fflush(stdout);
        LineOpen = true;
        LastLength = length;
    } else {
        Out(text);
    }
}

void TFetch::MonthsFinished()
{
    // The older month first, as the download goes.
    for (uint8_t i : {uint8_t(1), uint8_t(0)}) {
        if (Finished[i] || !Progress.EntryComplete(i))
            continue;
        const TMonthEntry& e = Engine.Archive->MonthEntry(i);
        uint32_t done = 0;
        uint32_t total = 0;
        Progress.Entry(i, done, total);
        Finished[i] = true;
        Line(QStringLiteral("%1  %2/%3 records  complete").arg(MonthText(e.Month)).arg(done).arg(total));
    }
}

QString TFetch::DoneLine()
{
    QStringList parts;
    TArchiveQDR& archive = *Engine.Archive;
    for (int i = 1; i >= 0; --i) {
        const TMonthEntry& e = archive.MonthEntry(static_cast<uint8_t>(i));
        if (!TArchiveProgress::Named(e.Month))
            continue;
        TFileMem* file = archive.OpenMonth(e.Month);
        const uint32_t held = file ? file->Held() : 0;
        archive.Release(file);
        parts << QStringLiteral("%1 %2 records").arg(MonthText(e.Month)).arg(held);
    }
    if (parts.isEmpty())
        parts << QStringLiteral("no month reported");
    const double seconds = double(Clock.elapsed()) / 1000.0;
    return QStringLiteral("done: %1, %2 fetched in %3 s").arg(parts.join(QStringLiteral(", "))).arg(Engine.ArchiveReplies->Stored).arg(seconds, 0, 'f', 1);
}

int TFetch::Run()
{
    Clock.start();
    QEventLoop loop;
    Engine.SetActivePage(TEngine::PageArchive);
    Engine.OnStatus = [&](uint8_t code) {
        LastCode = code;
        // An acknowledgement without data (no records to give) is an answer too.
        if (code == 0)
            LastSuccess = Clock.elapsed();
        // A serial port that fails stays failed; a socket whose network is
        // not up yet may work at the next exchange, so only the time-out ends that.
        if (code == 2 && Settings.Serial() && !NoisyLine(Engine))
            PortFailed = true;
    };
    Engine.OnReply = [&](uint8_t, uint8_t command, uint8_t, const uint8_t*) {
        const uint8_t c = command & 0x7F;
        // The engine takes no month table from a block that may be a late
        // answer of another kind until a second one agrees.
        if ((c == 2 || c == 8 || c == 10) && Engine.GridAr->IsValid())
            TableSeen = true;
    };
    Engine.SetStallMs(static_cast<uint32_t>(TimeoutMs));
    Engine.OnMovedAside = [&](const TArchiveQDR::TMovedAside& moved) {
        if (moved.Reason == QLatin1String(TArchiveQDR::ReplacedReason)) {
            const QString who = moved.Was != moved.Now
                ? QStringLiteral("the regulator changed (was \"%1\", now \"%2\")").arg(moved.Was, moved.Now)
                : QStringLiteral("the regulator (\"%1\") counts only %2 records, fewer than filed").arg(moved.Now).arg(moved.Reported);
            if (moved.Aside.isEmpty()) {
                BlockedProblem = QStringLiteral("%1: %2 and the month's file cannot be moved aside: %3; nothing more of that month is fetched")
                                     .arg(MonthText(moved.Month), who, moved.Why);
                Line(QStringLiteral("%1  %2; the month's file cannot be moved aside: %3").arg(MonthText(moved.Month), who, moved.Why));
            } else
                Line(QStringLiteral("%1  %2; the %3 positions filed are kept in %4, the month is fetched anew")
                         .arg(MonthText(moved.Month), who).arg(moved.Records).arg(QFileInfo(moved.Aside).fileName()));
            return;
        }
        if (moved.Aside.isEmpty()) {
            BlockedProblem = QStringLiteral("%1: records are now %2 bytes (were %3) and the month's file cannot be moved aside: %4; nothing more of that month is fetched")
                                 .arg(MonthText(moved.Month)).arg(moved.NewSize).arg(moved.OldSize).arg(moved.Why);
            Line(QStringLiteral("%1  records are now %2 bytes (were %3); the month's file cannot be moved aside: %4")
                     .arg(MonthText(moved.Month)).arg(moved.NewSize).arg(moved.OldSize).arg(moved.Why));
        } else
            Line(QStringLiteral("%1  records are now %2 bytes (were %3); the %4 positions filed are kept in %5, the month is fetched anew")
                     .arg(MonthText(moved.Month)).arg(moved.NewSize).arg(moved.OldSize).arg(moved.Records)
                     .arg(QFileInfo(moved.Aside).fileName()));
    };

    Engine.Archive->OnNotice = [this](const TFileNotice& notice) { Notice(notice); };
    Engine.AddObserver(this);
    int status = ExitOk;
    for (;;) {
        if (StopSignal()) {
            EndLine();
            Engine.Close();
            SaveAtEnd();
            Fail(QStringLiteral("interrupted; %1 records fetched are saved").arg(Engine.ArchiveReplies->Stored));
            status = ExitFor(StopSignal());
            break;
        }
        if (Engine.Stall().Stalled) {
            EndLine();
            Engine.Close();
            SaveAtEnd();
            Fail(QStringLiteral("download stalled at %1 record %2: %3 (no progress for %4 s)")
                     .arg(MonthText(Engine.Stall().Month)).arg(Engine.Stall().Record).arg(Engine.StallReason()).arg(TimeoutMs / 1000));
            status = ExitNoAnswer;
            break;
        }
        if (!TableSeen && LastSuccess != 0 && Clock.elapsed() > TimeoutMs) {
            EndLine();
            Engine.Close();
            Fail(QStringLiteral("the regulator answers but reports no archive month table within %1 s").arg(TimeoutMs / 1000));
            status = ExitNoAnswer;
            break;
        }
        if (PortFailed) {
            EndLine();
            Engine.Close();
            SaveAtEnd();
            Fail(PortProblem(Engine, Settings));
            status = ExitPort;
            break;
        }
        if (Clock.elapsed() - LastSuccess > TimeoutMs) {
            EndLine();
            Engine.Close();
            SaveAtEnd();
            const QString last = LastCode == 0 ? QString()
                                               : QStringLiteral(" (last result %1 %2)").arg(LastCode).arg(Engine.ComBuf->CodeText(LastCode));
            const qint64 seconds = TimeoutMs / 1000;
            if (LastCode == 2) {
                Fail(PortProblem(Engine, Settings));
                status = ExitPort;
                break;
            }
            if (LastSuccess == 0)
                Fail(QStringLiteral("no answer from the regulator within %1 s%2").arg(seconds).arg(last));
            else
                Fail(QStringLiteral("the regulator stopped answering: no reply for %1 s%2").arg(seconds).arg(last));
            status = ExitNoAnswer;
            break;
        }
        if (TableSeen && Engine.Schedule().PollStep() != 0) {
            ShowProgress(false);
            MonthsFinished();
            // The archive saves the month being filled on its own schedule,
            // the first record at once: a file that cannot be written is
            // known before the download has gone any further.
            if (!WriteProblem.isEmpty()) {
                EndLine();
                Engine.Close();
                Save();
                Fail(WriteProblem);
                status = ExitFolder;
                break;
            }
            if (Progress.Complete()) {
                EndLine();
                Engine.Close();
                if (!Save()) {
                    Fail(WriteProblem.isEmpty() ? QStringLiteral("cannot save the monthly files in %1").arg(Engine.Archive->Folder())
                                                : WriteProblem);
                    status = ExitFolder;
                    break;
                }
                MonthsFinished();
                Out(DoneLine());
                if (Engine.Archive->BlockedMonth != 0) {
                    Fail(BlockedProblem.isEmpty() ? QStringLiteral("%1 cannot be fetched: its file cannot be moved aside")
                                                        .arg(MonthText(Engine.Archive->BlockedMonth))
                                                  : BlockedProblem);
                    status = ExitFolder;
                }
                break;
            }
        }
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    Engine.RemoveObserver(this);
    Engine.OnStatus = nullptr;
    Engine.OnReply = nullptr;
    Engine.Archive->OnNotice = nullptr;
    return status;
}

int RunFetch(const QStringList& args)
{
    TToolOptions options;
    if (!options.Parse(args, {QStringLiteral("config"), QStringLiteral("dir"), QStringLiteral("timeout")},
                       {QStringLiteral("fast")})) {
        Fail(options.Error + QStringLiteral(" (try 'qdrtool help fetch')"));
        return ExitUsage;
    }
    int timeoutSeconds = 30;
    if (!options.Integer(QStringLiteral("timeout"), 1, 86400, timeoutSeconds)) {
        Fail(options.IntegerError);
        return ExitUsage;
    }
    TSettings settings;
    if (!ReadToolSettings(options.Value(QStringLiteral("config")), settings))
        return ExitUsage;
    const QString dir = QDir(options.Value(QStringLiteral("dir"), QStringLiteral("."))).absolutePath();
    if (const QString problem = FolderProblem(dir); !problem.isEmpty()) {
        Fail(problem);
        return ExitFolder;
    }

    // One program downloads into a folder at a time: two would each save
    // their own copy of a month over the other's.
    TFolderLock lock;
    switch (lock.Take(dir, QStringLiteral("qdrtool fetch"))) {
    case TFolderLock::Taken:
        break;
    case TFolderLock::Held:
        Fail(QStringLiteral("folder %1 is in use by %2; only one program downloads into a folder at a time").arg(dir, lock.Holder));
        return ExitPort;
    case TFolderLock::Failed:
        Fail(lock.Error);
        return ExitFolder;
    }

    CatchStopSignals();
    TEngine engine(settings, 100, dir);
    // A meter added while the run goes on changes the records' size: the
    // information block tells, so it is asked for again every minute.
    engine.SetInformationEveryMs(60000);
    if (options.Has(QStringLiteral("fast")))
        engine.SetFast(true);
    TFetch fetch(engine, settings, timeoutSeconds);
    return fetch.Run();
}

const TToolRegistration Registration({QStringLiteral("fetch"),
                                      QStringLiteral("copy the regulator's archive into the monthly files"), FetchUsage,
                                      RunFetch});

} // namespace
