#pragma once
// The site service: follows one regulator for as long as it runs, without a
// window. It owns the site's folder (the folder lock), runs the engine as
// the window does with MERANIE shown (so block 5 is read) and the
// information block asked again every minute, files the archive as records
// appear and saves as the window does. What happens is told one line per
// event (link up and down, identified, a month filed, a stall, a file that
// cannot be written, a configuration read again or refused, the stop), and
// to systemd through the notification socket (ready, status, watchdog,
// reloading, stopping).
//
// It survives what a site does to it: a regulator off for hours, a port
// that goes away and comes back (opened again every PortRetryMs), a full
// disk (the records stay in memory and the save is tried again), a month
// turn, a restart or a record-size change of the regulator. Run ends on its
// own only for a configuration it cannot use (2) or a folder or port another
// program holds (3); SIGTERM and SIGINT end it within 2 s with the files
// saved (0); SIGHUP reads qdrwin.ini again.
#include "app/EngineObserver.h"
#include "app/Settings.h"
#include "service/SystemdNotify.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QEventLoop;
class QTimer;
class TEngine;
class TFileMem;
class TFolderLock;
class TLogLine;
class TMIniFile;
class TServicePart;
class TSignalPipe;
struct TFileNotice;

struct TServiceOptions {
    QString Folder;     // the site's folder (monthly files, lock); empty: the current directory
    QString ConfigName; // the configuration as named on the command line; empty: the default lookup
    QString Version;    // told in the start line
};

class TSiteService : public TEngineObserver {
public:
    enum TExit : int { ExitStopped = 0, ExitConfig = 2, ExitHeld = 3 };

    // A port that cannot be used is opened again after this long.
    static constexpr int PortRetryMs = 10000;
    // A folder whose lock file cannot be made is tried again after this long.
    static constexpr int LockRetryMs = 10000;
    // A monthly file that could not be saved is tried again after this long.
    static constexpr int WriteRetryMs = 30000;
    // The information block is asked again this often.
    static constexpr uint32_t InformationEveryMs = 60000;
    // A tick or a worker pass older than this stops the watchdog's keep-alive.
    static constexpr int WedgedMs = 10000;
    // A reload reads the configuration twice this far apart and takes it only
    // when both reads agree: a file being saved is never taken half-written.
    static constexpr int ReloadSettleMs = 1000;

    explicit TSiteService(TServiceOptions options);
    ~TSiteService() override;
    TSiteService(const TSiteService&) = delete;
    TSiteService& operator=(const TSiteService&) = delete;

    // A part goes with the service (see ServicePart.h); not owned. Before Run.
    void AddPart(TServicePart* part);
    // Runs until a stop signal; the exit status (TExit).
    int Run();

    // Where each log line goes; standard error, flushed, when not set.
    std::function<void(const QString& line)> OnLog;
    // One line of the service's log; the parts log through it too.
    void Log(const TLogLine& line);

    // TEngineObserver
    void LinkChanged(const TEngine& engine) override;
    void Identified(const TEngine& engine) override;
    void InformationArrived(const TEngine& engine) override;
    void DownloadChanged(const TEngine& engine) override;
    void FastFellBack(const TEngine& engine) override;

private:
    // The configuration read into settings; false with why when it cannot
    // be used. notes: numbers the file gives that were corrected.
    bool ReadSettings(const TMIniFile& ini, TSettings& settings, QStringList& notes, QString& why);
    QString PartsRefuse(const TSettings& settings) const;
    bool TakeFolder();
    void MakeEngine();
    void DropEngine();
    bool PortHeld(QString& why) const;

    void OnSignal(int signal);
    // A reload runs in two steps (the first read, then, ReloadSettleMs later,
    // the second read and the change); reloads run one after another, and the
    // SIGHUPs that come meanwhile make one more.
    void BeginReload();
    void FinishReload();
    bool ReloadedIni(std::unique_ptr<TMIniFile>& ini, QString& why);
    void Housekeeping();
    void WatchdogBeat();
    bool Alive() const;
    void Stop(int status);

    void Notice(const TFileNotice& notice);
    void RetryWrites();
    void WatchMonths();
    QString StatusText() const;

    TServiceOptions Options;
    std::vector<TServicePart*> Parts;
    TSettings Settings;
    QString ConfigPath;  // the file read at start, read again on SIGHUP
    bool ConfigLoaded = false;
    // The configuration in use names a link: a reload must too (a file
    // emptied or garbled is no reason to try serial port 1).
    bool ConfigHasLink = false;

    std::unique_ptr<TSignalPipe> Signals;
    std::unique_ptr<TFolderLock> Lock;
    std::unique_ptr<TEngine> Engine;
    std::unique_ptr<QEventLoop> Loop;
    std::unique_ptr<QTimer> Chores;
    std::unique_ptr<QTimer> WatchdogTimer;
    TSystemdNotify Notify;
    int ExitStatus = ExitStopped;
    int StopSignal = 0;
    bool Stopping = false;
    // An engine is being made or let go: its Close runs the event loop, and
    // whatever comes meanwhile (a SIGHUP, the chores' timer) waits for the end.
    bool Busy = false;
    // A reload is under way; Applying: its settings are being handed out (a
    // part's Apply may run the event loop).
    enum class TReload : uint8_t { Idle, Settling, Applying };
    TReload ReloadState = TReload::Idle;
    bool ReloadPending = false;
    std::unique_ptr<QTimer> ReloadTimer;
    QByteArray ReloadBytes; // the first read
    QString ReloadProblem;  // why the first read failed
    bool Ready = false;
    QString LockProblem;
    QElapsedTimer LockTried;

    // The engine's health as the watchdog sees it.
    QElapsedTimer EngineAge;
    QElapsedTimer LastTick;
    QElapsedTimer PortTried;

    // What the log has said, so that each event is said once.
    enum class TTold : uint8_t { Nothing, Up, Down };
    TTold LinkTold = TTold::Nothing;
    bool IdentPending = false;
    bool StallTold = false;
    std::map<uint16_t, uint16_t> LostTold; // month: records told lost
    std::vector<uint16_t> MonthsTold;      // months told filed
    // The older month of the regulator's table as last seen.
    uint16_t OlderMonth = 0;
    uint16_t OlderCount = 0;
    uint16_t OlderLost = 0;
    void OlderGone();

    // Monthly files whose save failed: held open (records in memory) and
    // saved again every WriteRetryMs. File always points into the engine in
    // use: when that engine goes, the held files (and those whose save fails
    // as it goes) are taken out of it with their records and parked, and
    // the next engine adopts them.
    struct THeld {
        TFileMem* File = nullptr;
        QString Problem;
    };
    std::map<QString, THeld> Held;
    struct TParked {
        std::unique_ptr<TFileMem> File;
        QString Problem;
    };
    std::vector<TParked> Parked;
    std::vector<QString> Unsaved; // saves that failed while the engine was let go
    bool Letting = false;
    void ParkHeld();
    void AdoptParked();
    void SaveParked();
    QElapsedTimer WriteTried;
};
