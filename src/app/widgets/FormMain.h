#pragma once
// The main window: the pages over one engine. It owns the engine and the
// displays that bind the pages' controls to the engine's values; all the
// decoding and scheduling is the engine's, the window only shows.
#include <QMainWindow>
#include <QString>

#include <array>
#include <memory>

class QCloseEvent;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class TDispArch;
class TDisps;
class TEngine;
class TEngineObserver;
class TFolderLock;
class TFormDebug;
class TFrameCom;
class TFrameME;
class TPageArchive;
class TPageInformation;
class TPageMeasurement;
class TPageRecord;
class TPanelPreg;
struct TSettings;

class TAdvExcel;
class TAlerts;
struct TAlert;
class TFrameProjection;
class TMailClient;

class TFormMain : public QMainWindow {
    Q_OBJECT
public:
    // The designed size: the window never gets smaller.
    static constexpr int DesignedWidth = 640;
    static constexpr int DesignedHeight = 480;

    // timerPeriod and archiveFolder go to the engine (0: no timer, the
    // caller ticks; empty folder: the current directory).
    explicit TFormMain(const TSettings& settings, uint16_t timerPeriod = 100,
                       const QString& archiveFolder = QString(), QWidget* parent = nullptr);
    ~TFormMain() override;
    TFormMain(const TFormMain&) = delete;
    TFormMain& operator=(const TFormMain&) = delete;

    // Freed before the engine, whose values its rows may show.
    std::unique_ptr<TFormDebug> DebugView;
    QString SavedCaption;
    std::unique_ptr<TEngine> Engine;
    // Follows the engine's link state; removed before the engine goes.
    std::unique_ptr<TEngineObserver> Follower;
    std::unique_ptr<TDisps> Disps;
    // The archive view: freed before the engine, whose archive it holds a
    // file of.
    std::unique_ptr<TDispArch> DispArch;
    // A measurement output runs: neither the page nor the window may change.
    bool OutputBusy = false;
    std::unique_ptr<TMailClient> MailClient;
    // The alerts over the engine: freed before it. The projection shows on
    // MERANIE and in ODBER's VYHODNOTENIE, the other alerts in PanelInf.
    std::unique_ptr<TAlerts> Alerts;
    TFrameProjection* FrameProjection = nullptr;
    // The newest alert in force, as the status line says it.
    QString AlertNotice;
    // The alerts in force changed: the status line and INFORMÁCIE follow.
    void ShowAlerts();
    // "14:32 text", with the date when it was not today.
    static QString AlertLine(const TAlert& alert);
    std::unique_ptr<TAdvExcel> Excel;

    QTabWidget* PageControl = nullptr;
    TPageMeasurement* PageM = nullptr;
    TPageInformation* PageI = nullptr;
    TPageRecord* PageZ = nullptr;
    QWidget* TabSheetA = nullptr;
    TPageArchive* PageA = nullptr;
    QWidget* TabSheetO = nullptr;
    TFrameME* FrameME = nullptr;
    TPanelPreg* PanelPreg = nullptr;
    TFrameCom* FrameCom = nullptr;
    QPushButton* BitBtnK = nullptr;
    // The communication log over the pages: its buttons and the lines.
    QWidget* PanelCom = nullptr;
    QPushButton* ButtonComBack = nullptr;
    QPushButton* ButtonComSave = nullptr;
    QPlainTextEdit* MemoCom = nullptr;
    QLabel* PanelInf = nullptr;
    // The status line: the link and the download (StatusText), the last
    // word about a written output and about a monthly file, the newest alert
    // in force. Its hint holds all of it in full, since the line may be cut.
    void ShowInf(const QString& status);
    QString FileNotice;
    QString FileDetail;
    QString OutputNotice;
    // One program downloads into a folder at a time: the window holds the
    // folder it downloads into, and on a folder another program holds it
    // shows the live values and the files but downloads nothing, saying why
    // (FolderNotice). It tries again every few seconds, and follows the
    // file chooser to another folder.
    std::unique_ptr<TFolderLock> FolderLock;
    QString LockedFolder;
    QString FolderNotice;
    qint64 FolderTriedAt = 0;
    void HoldFolder();

    // The window's part of every tick: repaint what changed.
    void Tick();
    // What the link and the download are doing, for the status line and
    // for ARCHÍV: "Regulátor neodpovedá od 14:32:05", "2026NOV: zostáva
    // 2862 záznamov", "2026NOV stiahnutý" for a minute after the end.
    QString StatusText() const;
    QString ArchiveStatusText() const;
    // Shown by the tick: at once when the link, the month or the kind of
    // news changes, otherwise at most once a second, since the count falls
    // with every record of a bulk download.
    bool StatusPending = false;
    qint64 StatusShownAt = 0;
    QString StatusShownKey;
    void ShowDownloadStatus();
    // The month whose download was last seen running, and the word that it
    // ended (shown until FinishedAt + FinishedShowMs).
    static constexpr qint64 FinishedShowMs = 60000;
    uint16_t CountingMonth = 0;
    QString FinishedText;
    qint64 FinishedAt = 0;
    void FollowDownload();
    // The engine's link state changed.
    void LinkChanged();
    // SIGTERM and SIGINT: closes as soon as a running output has been
    // stopped and has wound down.
    void Shutdown();
    // An output runs or is still winding down after STOP.
    bool OutputActive() const;
    // Whether the active page may be left now.
    bool PageChangeAllowed() const;
    // The file name a page's screenshot gets, without folder.
    static QString PageFileName(int page);
    // Shows every visible page for dwellMs (the schedule asks for what the
    // page shows) and grabs it into dir as a PNG file; false when one could
    // not be written.
    bool SaveScreenshots(const QString& dir, int dwellMs = 2500);

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int CurrentPage = 0;
    bool Painted = false;
    void CreatePages();
    void CreateOutputs(const TSettings& settings);
    void ReadMailConfig(const TSettings& settings);
    void CreateAlerts(const TSettings& settings);
    void CreateDisplays();
    void PlaceWindow();
    void PageChanged(int index);
    void ShowDebugView();
};
