#include "service/SiteService.h"

#include "app/ArchiveProgress.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "comm/ComInterface.h"
#include "comm/SerialThread.h"
#include "core/FolderLock.h"
#include "core/LogLine.h"
#include "core/SafeFile.h"
#include "files/FileMem.h"
#include "core/TextFunctions.h"
#include "core/Tick.h"
#include "service/ServicePart.h"
#include "service/SignalPipe.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

// Whatever the link and the engine's own values are built from: a change of
// any of it needs a new engine (a reopened link).
bool SameLink(const TSettings& a, const TSettings& b)
{
    return a.Merania == b.Merania && a.Jal == b.Jal && a.JalPlus == b.JalPlus && a.JalMinus == b.JalMinus &&
        a.Limit == b.Limit && a.IP == b.IP && a.Host == b.Host && a.UdpPort == b.UdpPort && a.Com == b.Com &&
        a.Device == b.Device && a.Adr == b.Adr && a.PauseW == b.PauseW && a.PauseD == b.PauseD &&
        a.Timeout == b.Timeout && a.Intervaly == b.Intervaly && a.Rychlo == b.Rychlo;
}

bool SameMail(const TMailSettings& a, const TMailSettings& b)
{
    return a.Host == b.Host && a.Port == b.Port && a.User == b.User && a.FromName == b.FromName &&
        a.FromAdr == b.FromAdr && a.ToAdr == b.ToAdr && a.Security == b.Security && a.Login == b.Login &&
        a.Password == b.Password && a.CAFile == b.CAFile && a.Problem == b.Problem;
}

// What a reload changed, by what it concerns; never a value (a password may
// be among them).
QStringList Changes(const TSettings& a, const TSettings& b)
{
    QStringList changed;
    if (!SameLink(a, b))
        changed << QStringLiteral("link");
    if (a.Miesto != b.Miesto || a.TimeZone != b.TimeZone)
        changed << QStringLiteral("site");
    if (a.MeterNames != b.MeterNames || a.ApplianceNames != b.ApplianceNames || a.SignalNames != b.SignalNames)
        changed << QStringLiteral("names");
    if (a.Password != b.Password)
        changed << QStringLiteral("password");
    if (!SameMail(a.Mail, b.Mail))
        changed << QStringLiteral("mail");
    if (!(a.Mqtt == b.Mqtt))
        changed << QStringLiteral("mqtt");
    if (!(a.Metrics == b.Metrics))
        changed << QStringLiteral("metrics");
    if (!(a.Alerts == b.Alerts))
        changed << QStringLiteral("alerts");
    if (!(a.Contract == b.Contract))
        changed << QStringLiteral("contract");
    return changed;
}

QString LinkText(const TSettings& s)
{
    if (!s.Serial())
        return QStringLiteral("%1:%2").arg(s.Host).arg(s.UdpPort);
    return s.Device.isEmpty() ? SerialDeviceName(s.Com) : s.Device;
}

QString SignalName(int signal)
{
    switch (signal) {
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGHUP: return QStringLiteral("SIGHUP");
    default: return QString::number(signal);
    }
}

const TSerialThread* SerialOf(const TEngine& engine)
{
    const auto* root = dynamic_cast<const TSerialInterface*>(engine.Root());
    return root ? root->SerialThread() : nullptr;
}

// The port cannot be used: a serial port that could not be opened (it is
// reported once, then every exchange just times out) or exchanges that end
// with the interface's error.
bool PortFailing(const TEngine& engine)
{
    const TSerialThread* serial = SerialOf(engine);
    return (serial && !serial->Serial->IsOpen()) || engine.LastStatus() == 2;
}

// Why the link is down, in a few words.
QString LinkProblem(const TEngine& engine)
{
    const TSerialThread* serial = SerialOf(engine);
    if (serial && !serial->Serial->IsOpen())
        return engine.PortProblem();
    QString reason = engine.LinkReason();
    if (reason.isEmpty())
        reason = QStringLiteral("no valid reply for %1 s").arg(TEngine::LinkDownMs / 1000);
    return reason;
}

} // namespace

TSiteService::TSiteService(TServiceOptions options)
    : Options(std::move(options))
{
    if (Options.Folder.isEmpty())
        Options.Folder = QStringLiteral(".");
}

TSiteService::~TSiteService()
{
    if (Engine)
        DropEngine();
}

void TSiteService::AddPart(TServicePart* part)
{
    if (part && std::find(Parts.begin(), Parts.end(), part) == Parts.end())
        Parts.push_back(part);
}

void TSiteService::Log(const TLogLine& line)
{
    if (OnLog) {
        OnLog(line.Line());
        return;
    }
    std::fputs(line.Line().toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool TSiteService::ReadSettings(const TMIniFile& ini, TSettings& settings, QStringList& notes, QString& why)
{
    if (!ini.Problem.isEmpty()) {
        why = ini.Problem;
        return false;
    }
    // A file named on the command line, or one that was there at start, must
    // be there: its absence is no reason to try serial port 1.
    if (!ini.Loaded && (!Options.ConfigName.isEmpty() || ConfigLoaded)) {
        why = QStringLiteral("cannot read %1").arg(ini.FileName);
        return false;
    }
    TSettings read = TSettings::Read(ini, Options.Folder);
    if (!read.Problem.isEmpty()) {
        why = read.Problem;
        return false;
    }
    notes = read.Notes;
    settings = read;
    ConfigLoaded = ConfigLoaded || ini.Loaded;
    ConfigHasLink = ini.SectionExists(QStringLiteral("KOMUNIKACIA"));
    return true;
}

QString TSiteService::PartsRefuse(const TSettings& settings) const
{
    for (const TServicePart* part : Parts)
        if (const QString why = part->Check(settings); !why.isEmpty())
            return part->Name() + QStringLiteral(": ") + why;
    return {};
}

int TSiteService::Run()
{
    Loop = std::make_unique<QEventLoop>();
    // A log reader that went away (a journal restarted, a closed pipe) is no
    // reason to end: the write fails and the service goes on.
    std::signal(SIGPIPE, SIG_IGN);
    // Caught first, so that a stop sent while starting is not lost.
    Signals = std::make_unique<TSignalPipe>();
    Signals->OnSignal = [this](int signal) { OnSignal(signal); };
    if (!Signals->Ok())
        Log(TLogLine(QStringLiteral("signals-failed")).Add(QStringLiteral("reason"), Signals->Error));

    QStringList notes;
    QString why;
    const TMIniFile ini(Options.ConfigName);
    ConfigPath = ini.FileName;
    if (!ReadSettings(ini, Settings, notes, why) || !(why = PartsRefuse(Settings)).isEmpty()) {
        Log(TLogLine(QStringLiteral("config-refused")).Add(QStringLiteral("reason"), why));
        return ExitConfig;
    }
    const QFileInfo folder(Options.Folder);
    if (!folder.isDir()) {
        const QString reason = folder.exists() ? QStringLiteral("%1 is not a folder").arg(Options.Folder)
                                               : QStringLiteral("folder %1 does not exist").arg(Options.Folder);
        Log(TLogLine(QStringLiteral("config-refused")).Add(QStringLiteral("reason"), reason));
        return ExitConfig;
    }
    Log(TLogLine(QStringLiteral("start"))
            .Add(QStringLiteral("version"), Options.Version)
            .Add(QStringLiteral("folder"), folder.absoluteFilePath())
            .Add(QStringLiteral("config"), ConfigLoaded ? ConfigPath : QStringLiteral("none"))
            .Add(QStringLiteral("link"), LinkText(Settings)));
    for (const QString& note : notes)
        Log(TLogLine(QStringLiteral("config-note")).Add(QStringLiteral("note"), note));
    for (TServicePart* part : Parts)
        part->Apply(Settings);

    Chores = std::make_unique<QTimer>();
    QObject::connect(Chores.get(), &QTimer::timeout, [this] { Housekeeping(); });
    Chores->start(1000);
    ReloadTimer = std::make_unique<QTimer>();
    ReloadTimer->setSingleShot(true);
    QObject::connect(ReloadTimer.get(), &QTimer::timeout, [this] { FinishReload(); });
    if (const uint64_t usec = TSystemdNotify::WatchdogUsec(); usec != 0) {
        WatchdogTimer = std::make_unique<QTimer>();
        QObject::connect(WatchdogTimer.get(), &QTimer::timeout, [this] { WatchdogBeat(); });
        WatchdogTimer->start(int(std::clamp<uint64_t>(usec / 2000, 10, 3600000)));
    }

    Lock = std::make_unique<TFolderLock>();
    LockTried.start();
    if (TakeFolder())
        MakeEngine();
    if (!Stopping) {
        // Held and configured: a port that is missing does not hold this up.
        if (Lock->Holds()) {
            Ready = true;
            Notify.Ready();
        }
        Notify.Status(StatusText());
        Loop->exec();
    }

    Notify.Stopping();
    Chores.reset();
    WatchdogTimer.reset();
    ReloadTimer.reset();
    if (Engine)
        DropEngine();
    SaveParked();
    for (TServicePart* part : Parts)
        part->Stop(500);
    Lock->Release();
    Signals.reset();
    // The last line: everything is saved (or said not to be) by now.
    if (StopSignal != 0)
        Log(TLogLine(QStringLiteral("stop")).Add(QStringLiteral("signal"), SignalName(StopSignal)));
    return ExitStatus;
}

bool TSiteService::TakeFolder()
{
    switch (Lock->Take(Options.Folder, QStringLiteral("qdrtool run"))) {
    case TFolderLock::Taken:
        if (!LockProblem.isEmpty())
            Log(TLogLine(QStringLiteral("write-resumed")).Add(QStringLiteral("file"), Lock->Path));
        LockProblem.clear();
        return true;
    case TFolderLock::Held:
        Log(TLogLine(QStringLiteral("folder-held"))
                .Add(QStringLiteral("folder"), QFileInfo(Options.Folder).absoluteFilePath())
                .Add(QStringLiteral("holder"), Lock->Holder));
        Stop(ExitHeld);
        return false;
    case TFolderLock::Failed:
        // Said once; tried again until it works, without touching a file meanwhile.
        if (Lock->Error != LockProblem)
            Log(TLogLine(QStringLiteral("write-failed")).Add(QStringLiteral("file"), Lock->Path).Add(QStringLiteral("reason"), Lock->Error));
        LockProblem = Lock->Error;
        return false;
    }
    return false;
}

void TSiteService::MakeEngine()
{
    Busy = true;
    if (Engine)
        DropEngine();
    Busy = true;
    Engine = std::make_unique<TEngine>(Settings, 100, Options.Folder);
    TEngine& e = *Engine;
    e.SetInformationEveryMs(InformationEveryMs);
    // As if MERANIE were shown: block 5 (tariff, stage, appliances) is read.
    e.SetActivePage(TEngine::PageMeasurement);
    e.AddObserver(this);
    for (TServicePart* part : Parts)
        if (TEngineObserver* o = part->Observer())
            e.AddObserver(o);
    for (TServicePart* part : Parts)
        part->Follow(&e);
    e.OnTicked = [this](void*) { LastTick.restart(); };
    e.OnMovedAside = [this](const TArchiveQDR::TMovedAside& moved) {
        const bool replaced = moved.Reason == QLatin1String(TArchiveQDR::ReplacedReason);
        TLogLine line(replaced ? QStringLiteral("regulator-changed") : QStringLiteral("recordsize-changed"));
        if (replaced)
            line.Add(QStringLiteral("was"), moved.Was).Add(QStringLiteral("now"), moved.Now);
        else
            line.Add(QStringLiteral("month"), MonthText(moved.Month))
                .Add(QStringLiteral("was"), qlonglong(moved.OldSize))
                .Add(QStringLiteral("now"), qlonglong(moved.NewSize));
        if (moved.Aside.isEmpty())
            line.Add(QStringLiteral("reason"), QStringLiteral("the month's file cannot be moved aside: ") + moved.Why);
        else
            line.Add(QStringLiteral("kept"), QFileInfo(moved.Aside).fileName());
        if (replaced)
            line.Add(QStringLiteral("month"), MonthText(moved.Month)).Add(QStringLiteral("reported"), qlonglong(moved.Reported));
        Log(line);
    };
    e.Archive->OnNotice = [this](const TFileNotice& notice) { Notice(notice); };
    AdoptParked();
    EngineAge.start();
    LastTick.start();
    PortTried.start();
    StallTold = false;
    IdentPending = false;
    Busy = false;
    if (QString why; PortHeld(why)) {
        Log(TLogLine(QStringLiteral("port-held")).Add(QStringLiteral("port"), LinkText(Settings)).Add(QStringLiteral("reason"), why));
        Stop(ExitHeld);
    }
}

void TSiteService::DropEngine()
{
    Busy = true;
    TEngine& e = *Engine;
    e.Close(1000);
    ParkHeld();
    // Whatever the archive says from here on (its own save on the way out
    // repeats the one just made) is nobody's business.
    e.Archive->OnNotice = nullptr;
    e.OnMovedAside = nullptr;
    e.OnTicked = nullptr;
    e.RemoveObserver(this);
    for (TServicePart* part : Parts) {
        part->Follow(nullptr);
        if (TEngineObserver* o = part->Observer())
            e.RemoveObserver(o);
    }
    Engine.reset();
    Busy = false;
}

bool TSiteService::PortHeld(QString& why) const
{
    const TSerialThread* serial = Engine ? SerialOf(*Engine) : nullptr;
    if (!serial || serial->LastError != EBUSY)
        return false;
    why = serial->LastErrorText;
    return true;
}

void TSiteService::Stop(int status)
{
    if (Stopping)
        return;
    Stopping = true;
    ExitStatus = status;
    if (Loop)
        Loop->quit();
}

void TSiteService::OnSignal(int signal)
{
    if (signal == SIGHUP) {
        // One reload at a time: a part's Apply or an engine's Close may run
        // the event loop, and a second reload there would free what the
        // first is still using. The signals meanwhile make one more reload.
        if (Busy || ReloadState != TReload::Idle)
            ReloadPending = true;
        else
            BeginReload();
        return;
    }
    if (Stopping)
        return;
    StopSignal = signal;
    Stop(ExitStopped);
}

void TSiteService::BeginReload()
{
    if (Stopping)
        return;
    if (!ReloadTimer) {
        // Still starting: the chores take it up once they run.
        ReloadPending = true;
        return;
    }
    ReloadState = TReload::Settling;
    Notify.Reloading();
    ReloadBytes.clear();
    ReloadProblem.clear();
    qint64 size = 0;
    if (ReadRegularFile(ConfigPath, TMIniFile::SizeLimit, ReloadBytes, size, ReloadProblem) == TFileRead::Read &&
        size > TMIniFile::SizeLimit)
        ReloadProblem = QStringLiteral("%1 is larger than %2 bytes").arg(ConfigPath).arg(TMIniFile::SizeLimit);
    ReloadTimer->start(ReloadSettleMs);
}

bool TSiteService::ReloadedIni(std::unique_ptr<TMIniFile>& ini, QString& why)
{
    QByteArray again;
    QString problem;
    qint64 size = 0;
    const TFileRead read = ReadRegularFile(ConfigPath, TMIniFile::SizeLimit, again, size, problem);
    if (!ReloadProblem.isEmpty() || !problem.isEmpty()) {
        why = ReloadProblem.isEmpty() ? problem : ReloadProblem;
        return false;
    }
    if (read == TFileRead::Missing) {
        why = QStringLiteral("cannot read %1").arg(ConfigPath);
        return false;
    }
    if (again != ReloadBytes || size > TMIniFile::SizeLimit) {
        why = QStringLiteral("%1 changed while it was read (being saved?)").arg(ConfigPath);
        return false;
    }
    ini = std::make_unique<TMIniFile>(TMIniFile::TGiven::Bytes, ConfigPath, again);
    if (ConfigHasLink && !ini->SectionExists(QStringLiteral("KOMUNIKACIA"))) {
        why = QStringLiteral("%1 has no section KOMUNIKACIA").arg(ConfigPath);
        return false;
    }
    return true;
}

void TSiteService::FinishReload()
{
    if (Stopping)
        return;
    if (Busy) {
        // An engine is being made (the port's retry): the change waits for it.
        ReloadTimer->start(100);
        return;
    }
    ReloadState = TReload::Applying;
    std::unique_ptr<TMIniFile> ini;
    TSettings settings;
    QStringList notes;
    QString why;
    if (!ReloadedIni(ini, why) || !ReadSettings(*ini, settings, notes, why) || !(why = PartsRefuse(settings)).isEmpty()) {
        Log(TLogLine(QStringLiteral("config-refused")).Add(QStringLiteral("reason"), why + QStringLiteral("; the configuration in use is kept")));
    } else {
        for (const QString& note : notes)
            Log(TLogLine(QStringLiteral("config-note")).Add(QStringLiteral("note"), note));
        const QStringList changed = Changes(Settings, settings);
        const bool reopen = !SameLink(Settings, settings);
        Settings = settings;
        if (Engine) {
            if (reopen) {
                // The new link's state is news, whatever the old one's was.
                LinkTold = TTold::Nothing;
                MakeEngine();
            } else {
                Engine->ApplyNames(Settings);
            }
        }
        for (TServicePart* part : Parts)
            if (!Stopping)
                part->Apply(Settings);
        Log(TLogLine(QStringLiteral("config-reloaded"))
                .Add(QStringLiteral("changed"), changed.isEmpty() ? QStringLiteral("nothing") : changed.join(QLatin1Char(','))));
    }
    ReloadState = TReload::Idle;
    if (Stopping)
        return;
    if (Ready)
        Notify.Ready();
    Notify.Status(StatusText());
    if (ReloadPending) {
        ReloadPending = false;
        BeginReload();
    }
}

void TSiteService::Housekeeping()
{
    if (Stopping || Busy || ReloadState == TReload::Applying)
        return;
    if (ReloadPending && ReloadState == TReload::Idle) {
        ReloadPending = false;
        BeginReload();
    }
    if (!Lock->Holds()) {
        if (LockTried.elapsed() >= LockRetryMs) {
            LockTried.restart();
            if (TakeFolder()) {
                MakeEngine();
                if (!Stopping && !Ready) {
                    Ready = true;
                    Notify.Ready();
                }
            }
        }
        Notify.Status(StatusText());
        return;
    }
    if (!Engine)
        return;
    // A port that cannot be used (gone, unplugged, never there) is opened
    // afresh now and then; a port another program holds ends the run.
    if (!Engine->LinkUp() && PortFailing(*Engine) && PortTried.elapsed() >= PortRetryMs) {
        MakeEngine();
        if (Stopping)
            return;
    }
    RetryWrites();
    WatchMonths();
    Notify.Status(StatusText());
}

void TSiteService::WatchdogBeat()
{
    if (!Stopping && Alive())
        Notify.Watchdog();
}

bool TSiteService::Alive() const
{
    // Waiting for the folder, the main loop is all there is to be alive.
    if (!Engine)
        return true;
    if (LastTick.elapsed() > WedgedMs)
        return false;
    const auto* root = dynamic_cast<const TComThreadInterface*>(Engine->Root());
    if (!root || !root->Thread)
        return true;
    const uint32_t pass = root->Thread->PassStamp.load(std::memory_order_relaxed);
    if (pass == 0)
        return EngineAge.elapsed() < WedgedMs;
    return GetTick() - pass < uint32_t(WedgedMs);
}

void TSiteService::Notice(const TFileNotice& notice)
{
    const QString name = QFileInfo(notice.FileName).fileName();
    switch (notice.Kind) {
    case TFileNotice::SaveFailed: {
        if (Letting) {
            // The engine is going: the file leaves it with its records
            // (ParkHeld) for the next engine to hold.
            if (std::find(Unsaved.begin(), Unsaved.end(), notice.FileName) == Unsaved.end())
                Unsaved.push_back(notice.FileName);
        }
        THeld& held = Held[notice.FileName];
        // The records stay in memory, held open, until a save takes them.
        if (!held.File && !Letting && Engine) {
            held.File = Engine->Archive->Open(notice.FileName);
            if (Held.size() == 1)
                WriteTried.start();
        }
        if (held.Problem != notice.Detail) {
            held.Problem = notice.Detail;
            Log(TLogLine(QStringLiteral("write-failed")).Add(QStringLiteral("file"), name).Add(QStringLiteral("reason"), notice.Detail));
        }
        if (!held.File && !Letting)
            Held.erase(notice.FileName);
        break;
    }
    case TFileNotice::Rejected:
        Log(TLogLine(QStringLiteral("file-unreadable"))
                .Add(QStringLiteral("file"), name)
                .Add(QStringLiteral("reason"), notice.Detail + QStringLiteral("; kept, its month starts afresh")));
        break;
    case TFileNotice::MovedAside:
        Log(TLogLine(QStringLiteral("file-kept")).Add(QStringLiteral("file"), name).Add(QStringLiteral("as"), QFileInfo(notice.Detail).fileName()));
        break;
    case TFileNotice::Refused:
        Log(TLogLine(QStringLiteral("file-refused")).Add(QStringLiteral("file"), name).Add(QStringLiteral("reason"), notice.Detail));
        break;
    }
}

void TSiteService::RetryWrites()
{
    if (Held.empty() || WriteTried.elapsed() < WriteRetryMs)
        return;
    WriteTried.restart();
    for (auto it = Held.begin(); it != Held.end();) {
        TFileMem* file = it->second.File;
        file->SetModified();
        if (file->Save()) {
            Log(TLogLine(QStringLiteral("write-resumed")).Add(QStringLiteral("file"), QFileInfo(it->first).fileName()));
            Engine->Archive->Release(file);
            it = Held.erase(it);
            continue;
        }
        if (file->SaveProblem() != it->second.Problem) {
            it->second.Problem = file->SaveProblem();
            Log(TLogLine(QStringLiteral("write-failed"))
                    .Add(QStringLiteral("file"), QFileInfo(it->first).fileName())
                    .Add(QStringLiteral("reason"), it->second.Problem));
        }
        ++it;
    }
}

void TSiteService::ParkHeld()
{
    // A last save of everything; each month that cannot be saved, held
    // before or failing now, leaves the engine with its records in memory.
    TArchiveQDR& archive = *Engine->Archive;
    Letting = true;
    Unsaved.clear();
    for (auto& [name, held] : Held)
        if (held.File)
            held.File->SetModified();
    archive.SaveAll();
    for (const auto& [name, held] : Held)
        if (held.File && std::find(Unsaved.begin(), Unsaved.end(), name) == Unsaved.end())
            Log(TLogLine(QStringLiteral("write-resumed")).Add(QStringLiteral("file"), QFileInfo(name).fileName()));
    for (const QString& name : Unsaved) {
        std::unique_ptr<TFileMem> file = archive.TakeOut(name);
        if (file)
            Parked.push_back(TParked{std::move(file), Held[name].Problem});
    }
    Unsaved.clear();
    Held.clear();
    Letting = false;
}

void TSiteService::AdoptParked()
{
    std::vector<TParked> parked;
    parked.swap(Parked);
    for (TParked& p : parked) {
        const QString name = p.File->FileName();
        if (TFileMem* file = Engine->Archive->Adopt(std::move(p.File))) {
            if (Held.empty())
                WriteTried.start();
            Held[name] = THeld{file, p.Problem};
        }
    }
}

void TSiteService::SaveParked()
{
    // The service ends: what still cannot be saved is said; the regulator
    // holds those records for the next run to fetch.
    for (TParked& p : Parked) {
        p.File->SetModified();
        if (!p.File->Save())
            Log(TLogLine(QStringLiteral("write-failed"))
                    .Add(QStringLiteral("file"), QFileInfo(p.File->FileName()).fileName())
                    .Add(QStringLiteral("reason"), p.File->SaveProblem() + QStringLiteral("; not saved at the stop")));
    }
    Parked.clear();
}

void TSiteService::OlderGone()
{
    // The regulator dropped the older month of its table (the month turned)
    // before all of it was filed: what its file lacks is gone for good.
    TArchiveQDR& archive = *Engine->Archive;
    TFileMem* opened = archive.OpenMonth(OlderMonth);
    const auto* file = dynamic_cast<const TFileArch*>(opened);
    const uint16_t filed = file ? std::max(file->ArchCount(), OlderLost) : OlderLost;
    archive.Release(opened);
    if (OlderCount <= filed)
        return;
    Log(TLogLine(QStringLiteral("records-lost"))
            .Add(QStringLiteral("month"), MonthText(OlderMonth))
            .Add(QStringLiteral("count"), qlonglong(OlderCount - filed)));
}

void TSiteService::WatchMonths()
{
    const TArchiveQDR& archive = *Engine->Archive;
    const TArchiveProgress progress(archive);
    if (const TMonthEntry& older = archive.MonthEntry(1); TArchiveProgress::Named(older.Month)) {
        if (older.Month != OlderMonth && TArchiveProgress::Named(OlderMonth) && OlderMonth != archive.MonthEntry(0).Month &&
            std::find(MonthsTold.begin(), MonthsTold.end(), OlderMonth) == MonthsTold.end())
            OlderGone();
        OlderMonth = older.Month;
        OlderCount = older.Count;
        OlderLost = older.Lost;
    }
    // The month before the current one is whole once every record the
    // regulator holds of it is filed.
    // Told once it is on disk, not while its save is failing.
    const TMonthEntry& last = archive.MonthEntry(1);
    if (progress.EntryComplete(1) && std::find(MonthsTold.begin(), MonthsTold.end(), last.Month) == MonthsTold.end() &&
        Held.count(archive.FullName(archive.MonthFileName(last.Month))) == 0) {
        MonthsTold.push_back(last.Month);
        uint32_t done = 0;
        uint32_t total = 0;
        progress.Entry(1, done, total);
        Log(TLogLine(QStringLiteral("month-filed")).Add(QStringLiteral("month"), MonthText(last.Month)).Add(QStringLiteral("records"), qlonglong(done)));
    }
    // Records the regulator no longer holds that the month's file lacks: a
    // gap after what was filed (the service was off, or the link down, for
    // longer than the regulator keeps them).
    const auto* file = dynamic_cast<const TFileArch*>(archive.Current());
    if (!file || file->Held() == 0)
        return;
    for (uint8_t i = 0; i < 2; ++i) {
        const TMonthEntry& e = archive.MonthEntry(i);
        if (e.Month != file->Month() || e.Lost <= file->ArchCount())
            continue;
        const auto lost = static_cast<uint16_t>(e.Lost - file->ArchCount());
        uint16_t& told = LostTold[e.Month];
        if (lost > told) {
            Log(TLogLine(QStringLiteral("records-lost"))
                    .Add(QStringLiteral("month"), MonthText(e.Month))
                    .Add(QStringLiteral("count"), qlonglong(lost - told)));
            told = lost;
        }
    }
}

void TSiteService::LinkChanged(const TEngine& engine)
{
    if (&engine != Engine.get())
        return;
    if (engine.LinkUp()) {
        if (LinkTold != TTold::Up)
            Log(TLogLine(QStringLiteral("link-up")));
        LinkTold = TTold::Up;
    } else if (engine.Link().State == TEngine::TLinkState::Down) {
        if (LinkTold != TTold::Down) {
            Log(TLogLine(QStringLiteral("link-down")).Add(QStringLiteral("reason"), LinkProblem(engine)));
        }
        LinkTold = TTold::Down;
    }
    Notify.Status(StatusText());
}

void TSiteService::FastFellBack(const TEngine& engine)
{
    if (&engine == Engine.get())
        Log(TLogLine(QStringLiteral("fast-fallback")).Add(QStringLiteral("reason"), TEngine::FastFallbackReason()));
}

void TSiteService::Identified(const TEngine& engine)
{
    if (&engine == Engine.get())
        IdentPending = true;
}

void TSiteService::InformationArrived(const TEngine& engine)
{
    if (&engine != Engine.get() || !IdentPending)
        return;
    // Said once the meters are known, which the information block tells.
    IdentPending = false;
    Log(TLogLine(QStringLiteral("identified"))
            .Add(QStringLiteral("ident"), engine.ValueId->Text.trimmed())
            .Add(QStringLiteral("generation"), qlonglong(engine.Generation()))
            .Add(QStringLiteral("meters"), qlonglong(engine.ValueKem->Value)));
}

void TSiteService::DownloadChanged(const TEngine& engine)
{
    if (&engine != Engine.get())
        return;
    if (engine.Stall().Stalled && !StallTold) {
        Log(TLogLine(QStringLiteral("stall"))
                .Add(QStringLiteral("month"), MonthText(engine.Stall().Month))
                .Add(QStringLiteral("record"), qlonglong(engine.Stall().Record))
                .Add(QStringLiteral("reason"), engine.StallReason()));
    }
    StallTold = engine.Stall().Stalled;
    // The first request of a month is worked out from its file: the moment
    // a gap before it is known.
    WatchMonths();
}

QString TSiteService::StatusText() const
{
    QStringList parts;
    if (!Lock || !Lock->Holds()) {
        parts << (LockProblem.isEmpty() ? QStringLiteral("waiting for the folder") : LockProblem + QStringLiteral(", retrying"));
    } else if (Engine) {
        const TEngine& e = *Engine;
        if (!e.LinkUp() && PortFailing(e)) {
            const TSerialThread* serial = SerialOf(e);
            if (serial && !serial->Serial->IsOpen() && !QFileInfo::exists(serial->Device))
                parts << QStringLiteral("port %1 missing, retrying").arg(serial->Device);
            else
                parts << e.PortProblem() + QStringLiteral(", retrying");
        } else {
            switch (e.Link().State) {
            case TEngine::TLinkState::Up:
                parts << QStringLiteral("live");
                break;
            case TEngine::TLinkState::Starting:
                parts << QStringLiteral("connecting to %1").arg(LinkText(Settings));
                break;
            case TEngine::TLinkState::Down:
                parts << QStringLiteral("no reply since %1").arg(e.Link().Since.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
                break;
            }
        }
        const TArchiveQDR& archive = *e.Archive;
        const TArchiveProgress progress(archive);
        if (e.Stall().Stalled) {
            parts << QStringLiteral("download stalled at %1 record %2: %3").arg(MonthText(e.Stall().Month)).arg(e.Stall().Record).arg(e.StallReason());
        } else {
            const int active = progress.Active();
            const auto i = static_cast<uint8_t>(active < 0 ? 0 : active);
            if (TArchiveProgress::Named(archive.MonthEntry(i).Month)) {
                uint32_t done = 0;
                uint32_t total = 0;
                progress.Entry(i, done, total);
                parts << QStringLiteral("%1 %2/%3 records").arg(MonthText(archive.MonthEntry(i).Month)).arg(done).arg(total);
            }
        }
        if (!Held.empty())
            parts << QStringLiteral("cannot write %1: %2, retrying").arg(QFileInfo(Held.begin()->first).fileName(), Held.begin()->second.Problem);
    }
    for (const TServicePart* part : Parts)
        if (const QString s = part->Status(); !s.isEmpty())
            parts << part->Name() + QStringLiteral(" ") + s;
    const QString text = parts.join(QStringLiteral(", "));
    return Settings.Miesto.isEmpty() ? text : Settings.Miesto + QStringLiteral(": ") + text;
}
