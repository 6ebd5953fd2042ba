#include "FormMain.h"

#include "AlertView.h"
#include "DebugRows.h"
#include "alerts/Alerts.h"
#include "FrameME.h"
#include "PageArchive.h"
#include "PanelMail.h"
#include "SheetMeasurements.h"
#include "output/AdvExcel.h"
#include "output/MailClient.h"
#include "output/SheetServer.h"
#include "regulator/DispArch.h"
#include "PageInformation.h"
#include "PageMeasurement.h"
#include "PageRecord.h"
#include "PanelPreg.h"
#include "app/Engine.h"
#include "app/EngineObserver.h"
#include "app/Settings.h"
#include "core/TextFunctions.h"
#include "comm/ComInterface.h"
#include "comm/SerialThread.h"
#include "comm/widgets/FrameCom.h"
#include "core/FolderLock.h"
#include "core/SafeFile.h"
#include "core/widgets/Dialogs.h"
#include "core/widgets/DrawGrid.h"
#include "core/widgets/DrawList.h"
#include "core/widgets/PaintBox.h"
#include "files/widgets/FormOpenFile.h"
#include "regulator/widgets/DispGrid.h"
#include "regulator/widgets/DispListIO.h"
#include "regulator/widgets/DispListQ.h"
#include "values/widgets/DispString.h"
#include "values/widgets/Disps.h"
#include "values/widgets/FormDebug.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QFileInfo>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <chrono>
#include <cstdio>

namespace {
// Hands the engine's link changes to the window.
class TLinkFollower : public TEngineObserver {
public:
    explicit TLinkFollower(TFormMain& window)
        : Window(window)
    {
    }
    void LinkChanged(const TEngine&) override { Window.LinkChanged(); }

private:
    TFormMain& Window;
};

// "14:32:05", or with its date when it was not today.
QString SinceText(const QDateTime& at)
{
    if (at.date() != QDate::currentDate())
        return at.toString(QStringLiteral("d.M.yyyy HH:mm:ss"));
    return at.toString(QStringLiteral("HH:mm:ss"));
}
} // namespace

TFormMain::TFormMain(const TSettings& settings, uint16_t timerPeriod, const QString& archiveFolder, QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QStringLiteral("QDRWin"));
    DebugView = std::make_unique<TFormDebug>();
    CreatePages();
    SavedCaption = windowTitle();

    // The archive, the link and its events, the consumption interface and
    // the values, in the order the engine creates them.
    Engine = std::make_unique<TEngine>(settings, timerPeriod, archiveFolder);
    PageControl->setTabVisible(TEngine::PageConsumption, Engine->Merania() != 0);
    // A meter added while the window runs changes the records' size: the
    // information block tells, so it is asked for again every minute.
    Engine->SetInformationEveryMs(60000);
    FolderLock = std::make_unique<TFolderLock>();
    HoldFolder();

    FrameCom->Bind(Engine->ComBuf.get(), MemoCom, QStringLiteral("com.log"));
    FrameCom->LogView = PanelCom;
    Follower = std::make_unique<TLinkFollower>(*this);
    Engine->AddObserver(Follower.get());
    if (!settings.Problem.isEmpty()) {
        // Said once at start-up and kept in the status frame's hint; the link
        // does not guess a port.
        const QString problem = QStringLiteral("KOMUNIKACIA IP=%1: port nie je číslo od 1 do 65535").arg(settings.IP);
        FrameCom->SetProblem(problem);
        QTimer::singleShot(0, this, [problem] {
            TDialogs::Error(QStringLiteral("Nastavenie sa nedá použiť: %1.\nSpojenie s regulátorom nepracuje, kým sa "
                                           "nastavenie neopraví.").arg(problem),
                            QStringLiteral("CHYBA !"));
        });
    }
    PanelPreg = new TPanelPreg(*Engine, PageI->PanelPregPlace);
    PageI->PanelPregPlace->layout()->addWidget(PanelPreg);
    connect(PageI->ButtonPreg, &QPushButton::clicked, this, [this] { PanelPreg->ButtonPregClick(); });
    PageI->OnIdClick = [this] { ShowDebugView(); };
    FrameME->Bind(Engine->InterfaceME.get());
    CreateAlerts(settings);
    // The archive view over the engine's archive, and its page.
    DispArch = std::make_unique<TDispArch>(Engine->Archive.get(), Engine->InterfaceME->IntervalMinutes);
    PageA = new TPageArchive(*Engine->Archive, *DispArch, OutputBusy, TabSheetA);
    TabSheetA->layout()->addWidget(PageA);
    // KOMUNIKACIA Rychlo is where it starts; the box sets it for this run.
    PageA->CheckBoxFast->setChecked(Engine->Fast());
    connect(PageA->CheckBoxFast, &QCheckBox::toggled, this, [this](bool on) { Engine->SetFast(on); });
    CreateOutputs(settings);
    // Sized once every page holds its controls.
    PlaceWindow();

    CreateDisplays();

    Engine->OnTicked = [this](void*) { Tick(); };
    Engine->OnDownloadStatus = [this](const QString&) { FollowDownload(); };
    // A monthly file the archive could not read whole, would not touch or
    // could not save is said where the download speaks, and stays said.
    Engine->Archive->OnNotice = [this](const TFileNotice& notice) {
        const QString name = QFileInfo(notice.FileName).fileName();
        switch (notice.Kind) {
        case TFileNotice::Rejected:
            FileNotice = QStringLiteral("Súbor %1 sa nedá prečítať celý; ponechá sa").arg(name);
            break;
        case TFileNotice::MovedAside:
            FileNotice = QStringLiteral("Súbor %1 sa nedal prečítať celý; je uložený ako %2")
                             .arg(name, QFileInfo(notice.Detail).fileName());
            break;
        case TFileNotice::Refused:
            FileNotice = QStringLiteral("%1 nie je obyčajný súbor; nič sa doň nezapíše").arg(name);
            break;
        case TFileNotice::SaveFailed:
            FileNotice = QStringLiteral("Súbor %1 sa nepodarilo uložiť").arg(name);
            break;
        }
        // A failed save says why in Slovak, whole in the hint.
        FileDetail = notice.Kind == TFileNotice::SaveFailed && notice.Error.Failed() ? SlovakFileError(notice.Error)
                                                                                      : notice.Detail;
        ShowInf(StatusText());
    };
    Engine->OnArchiveChanged = [this](uint16_t month) { PageA->ArchiveRecordsArrived(month); };
    // A month started anew in another record size: the view counts its
    // channels again.
    Engine->OnMovedAside = [this](const TArchiveQDR::TMovedAside& moved) { PageA->ArchiveRecordsArrived(moved.Month); };
    Engine->OnRegulatedPower = [this](uint16_t vt, uint16_t nt) {
        DispArch->SetRegulatedPower(0, vt);
        DispArch->SetRegulatedPower(1, nt);
        PageA->UpdateGraphSize();
    };
    DebugView->setWindowTitle(SavedCaption + QStringLiteral(" – ladiace okno"));
    // The debug view lists every single figure the pages show; while it is
    // shown they all stay current, whatever page is chosen.
    AddDebugRows(*DebugView, *Engine);
    DebugView->OnShownChanged = [this](bool shown) { Engine->SetWatchAll(shown); };
}

void TFormMain::ShowInf(const QString& status)
{
    QStringList parts;
    for (const QString& part : {FolderNotice, status, OutputNotice, FileNotice, AlertNotice})
        if (!part.isEmpty())
            parts << part;
    PanelInf->setText(parts.join(QStringLiteral("  –  ")));
    // The hint: every part whole, one a line, and every alert in force.
    QStringList hint;
    for (const QString& part : {FolderNotice, status, OutputNotice, FileNotice, FileDetail})
        if (!part.isEmpty())
            hint << part;
    if (Alerts)
        for (auto a = Alerts->InForce().rbegin(); a != Alerts->InForce().rend(); ++a)
            hint << AlertLine(*a);
    PanelInf->setToolTip(hint.join(QLatin1Char('\n')));
}

QString TFormMain::AlertLine(const TAlert& alert)
{
    const QDateTime at = alert.At.toLocalTime();
    const QString format = at.date() == QDate::currentDate() ? QStringLiteral("HH:mm") : QStringLiteral("d.M. HH:mm");
    return QStringLiteral("%1 %2").arg(at.toString(format), alert.Text);
}

void TFormMain::ShowAlerts()
{
    QStringList lines;
    for (auto a = Alerts->InForce().rbegin(); a != Alerts->InForce().rend(); ++a)
        lines << AlertLine(*a);
    PageI->SetAlerts(lines);
    AlertNotice = lines.isEmpty() ? QString() : lines.front();
    ShowInf(StatusText());
}

void TFormMain::HoldFolder()
{
    FolderTriedAt = QDateTime::currentMSecsSinceEpoch();
    const QString given = Engine->Archive->Folder();
    const QString folder = QDir(given.isEmpty() ? QDir::currentPath() : given).absolutePath();
    QString notice;
    if (!FolderLock->Holds() || folder != LockedFolder) {
        FolderLock->Release();
        LockedFolder = folder;
        switch (FolderLock->Take(folder, QStringLiteral("qdrwin"))) {
        case TFolderLock::Taken:
            break;
        case TFolderLock::Held:
            notice = QStringLiteral("Archív sa nesťahuje: priečinok %1 používa %2").arg(folder, FolderLock->Holder);
            // The program that holds the folder holds the serial port too.
            if (const auto* serial = dynamic_cast<const TSerialInterface*>(Engine->Root());
                serial && !serial->SerialThread()->Serial->IsOpen())
                notice += QStringLiteral("; sériový port: %1").arg(Engine->PortProblem());
            break;
        case TFolderLock::Failed:
            notice = QStringLiteral("Archív sa nesťahuje: %1").arg(FolderLock->Error);
            break;
        }
    }
    Engine->SetDownload(FolderLock->Holds());
    if (Alerts)
        Alerts->SetMayMail(FolderLock->Holds());
    if (notice != FolderNotice) {
        FolderNotice = notice;
        ShowInf(StatusText());
    }
}

void TFormMain::CreateAlerts(const TSettings& settings)
{
    Alerts = std::make_unique<TAlerts>();
    // An alert is shown while it holds, not until the next one.
    Alerts->OnInForceChanged = [this] { ShowAlerts(); };
    Alerts->OnLog = [](const QString& line) { std::fprintf(stderr, "qdrwin: %s\n", line.toLocal8Bit().constData()); };
    Alerts->Apply(settings);
    // Only the program that holds the site folder mails: beside a running
    // service the window only shows.
    Alerts->SetMayMail(FolderLock->Holds());
    Alerts->Follow(Engine.get());
    FrameProjection = new TFrameProjection(FrameME->TabEvaluation);
    auto* layout = new QVBoxLayout(FrameME->TabEvaluation);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FrameProjection);
}

TFormMain::~TFormMain()
{
    if (Engine && !Engine->Closed())
        Engine->Close();
    if (Engine && Follower)
        Engine->RemoveObserver(Follower.get());
    // Displays go before the values they show, the values with the engine;
    // the archive saves its open monthly files on the way.
    Disps.reset();
    delete FrameME;
    FrameME = nullptr;
    delete PanelPreg;
    PanelPreg = nullptr;
    DebugView.reset();
    // The view lets go of its monthly file before the archive goes.
    DispArch.reset();
    Alerts.reset();
    Engine.reset();
}

void TFormMain::CreateOutputs(const TSettings& settings)
{
    TSheetMeasurements* sheet = PageA->TabSheetAM;
    sheet->Labels = Engine->GridEm->RowNames;
    sheet->TimeZone = settings.TimeZone;
    sheet->Site = settings.Miesto;
    sheet->SetContract(settings.Contract);
    // Run off the main thread (a print system that does not answer must not
    // stall the link), so it touches nothing of the window.
    sheet->LookUpPrinter = [] {
        const QList<QPrinterInfo> printers = QPrinterInfo::availablePrinters();
        if (printers.isEmpty())
            return std::unique_ptr<QPrinter>();
        // The default printer, else the first one: a site may have printers
        // but no default set.
        QPrinterInfo info = QPrinterInfo::defaultPrinter();
        if (info.isNull())
            info = printers.constFirst();
        return std::make_unique<QPrinter>(info, QPrinter::HighResolution);
    };
    sheet->OnNotice = [this](const QString& text) {
        OutputNotice = text;
        PanelInf->setToolTip(text);
        ShowInf(StatusText());
    };
    sheet->RequestPrinter();
    ReadMailConfig(settings);
    auto server = std::make_unique<TSheetServer>();
    sheet->Sheets = server.get();
    Excel = std::make_unique<TAdvExcel>(std::move(server));
    Excel->BurstCount = 32;
    sheet->Excel = Excel.get();
    sheet->CheckAM();
}

void TFormMain::ReadMailConfig(const TSettings& settings)
{
    MailClient = std::make_unique<TMailClient>();
    MailClient->Configure(settings.Mail);
    PageA->TabSheetAM->MailClient = MailClient.get();
    PageA->TabSheetAM->PanelM->SetClient(MailClient.get());
    PageA->TabSheetAM->EditM->setText(settings.Mail.ToAdr);
}

void TFormMain::CreatePages()
{
    auto* central = new QWidget(this);
    setCentralWidget(central);
    PageControl = new QTabWidget(central);
    PageControl->setObjectName(QStringLiteral("PageControl"));
    PageM = new TPageMeasurement(PageControl);
    PageI = new TPageInformation(PageControl);
    PageZ = new TPageRecord(PageControl);
    // The archive page needs the engine's archive; it moves in once the
    // engine exists.
    TabSheetA = new QWidget(PageControl);
    TabSheetA->setObjectName(QStringLiteral("TabSheetA"));
    (new QVBoxLayout(TabSheetA))->setContentsMargins(0, 0, 0, 0);
    TabSheetO = new QWidget(PageControl);
    TabSheetO->setObjectName(QStringLiteral("TabSheetO"));
    FrameME = new TFrameME(TabSheetO);
    auto* consumption = new QVBoxLayout(TabSheetO);
    consumption->setContentsMargins(6, 6, 6, 6);
    consumption->addWidget(FrameME);
    consumption->addStretch(1);
    PageControl->addTab(PageM, QStringLiteral("MERANIE"));
    PageControl->addTab(PageI, QStringLiteral("INFORMÁCIE"));
    PageControl->addTab(PageZ, QStringLiteral("ZÁZNAM"));
    PageControl->addTab(TabSheetA, QStringLiteral("ARCHÍV"));
    PageControl->addTab(TabSheetO, QStringLiteral("ODBER"));
    connect(PageControl, &QTabWidget::currentChanged, this, [this](int index) { PageChanged(index); });

    // The log lies over the pages while it is shown, with its way back
    // ("Späť" or Esc) and its save.
    PanelCom = new QWidget(central);
    PanelCom->setObjectName(QStringLiteral("PanelCom"));
    PanelCom->setAutoFillBackground(true);
    auto* title = new QLabel(QStringLiteral("Komunikácia s regulátorom: čas, smer (> požiadavka, < odpoveď), "
                                            "príkaz, dĺžka a bajty"),
                             PanelCom);
    title->setWordWrap(true);
    ButtonComSave = new QPushButton(QStringLiteral("Uložiť do súboru…"), PanelCom);
    ButtonComSave->setObjectName(QStringLiteral("ButtonComSave"));
    ButtonComBack = new QPushButton(QStringLiteral("Späť"), PanelCom);
    ButtonComBack->setObjectName(QStringLiteral("ButtonComBack"));
    ButtonComBack->setToolTip(QStringLiteral("Späť na stránky (Esc)"));
    MemoCom = new QPlainTextEdit(PanelCom);
    MemoCom->setObjectName(QStringLiteral("MemoCom"));
    auto* comButtons = new QHBoxLayout;
    comButtons->addWidget(title, 1);
    comButtons->addWidget(ButtonComSave);
    comButtons->addWidget(ButtonComBack);
    auto* comLayout = new QVBoxLayout(PanelCom);
    comLayout->setContentsMargins(0, 0, 0, 0);
    comLayout->addLayout(comButtons);
    comLayout->addWidget(MemoCom, 1);
    connect(ButtonComBack, &QPushButton::clicked, this, [this] { FrameCom->HideLog(); });
    connect(ButtonComSave, &QPushButton::clicked, this, [this] { FrameCom->SaveLog(); });
    // Esc from the lines or the buttons (they pass it on to the panel).
    MemoCom->installEventFilter(this);
    PanelCom->installEventFilter(this);
    PanelCom->hide();
    PageControl->installEventFilter(this);

    PanelInf = new QLabel(central);
    PanelInf->setObjectName(QStringLiteral("PanelInf"));
    PanelInf->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PanelInf->setFixedHeight(25);
    PanelInf->setIndent(4);
    PanelInf->setMinimumWidth(0);
    PanelInf->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    BitBtnK = new QPushButton(QStringLiteral("KONIEC"), central);
    BitBtnK->setObjectName(QStringLiteral("BitBtnK"));
    BitBtnK->setFixedHeight(25);
    connect(BitBtnK, &QPushButton::clicked, this, &QWidget::close);
    FrameCom = new TFrameCom(central);
    FrameCom->setObjectName(QStringLiteral("FrameCom"));

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(6);
    bottom->addWidget(PanelInf, 1);
    bottom->addWidget(BitBtnK);
    bottom->addWidget(FrameCom);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    layout->addWidget(PageControl, 1);
    layout->addLayout(bottom);
}

void TFormMain::PlaceWindow()
{
    // Whatever the pages need wins over the designed size.
    const QSize size = sizeHint().expandedTo(QSize(DesignedWidth, DesignedHeight));
    resize(size);
    setMinimumSize(size);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    setMaximumSize(std::max(area.width(), size.width()), std::max(area.height(), size.height()));
    // Several windows started together do not land on top of each other.
    const auto c = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const int freeX = area.width() - size.width();
    const int freeY = area.height() - size.height();
    move(area.left() + (freeX > 0 ? int(c % uint64_t(freeX)) : 0),
         area.top() + (freeY > 0 ? int((c / 7) % uint64_t(freeY)) : 0));
}

void TFormMain::CreateDisplays()
{
    TEngine& e = *Engine;
    Disps = std::make_unique<TDisps>(TEngine::ValueCapacity);
    const auto label = [&](const char* name, QLabel* control) {
        Disps->Add(TDispString::CreateLabel(e.Value(QString::fromLatin1(name)), control));
    };
    label("LabelTd", PageM->LabelTd);
    label("LabelTc", PageM->LabelTc);
    label("LabelTa", PageM->LabelTa);
    label("LabelPa", PageM->LabelPa);
    label("LabelPr", PageM->LabelPr);
    label("LabelRs", PageM->LabelRs);
    label("LabelPmV", PageM->LabelPmV);
    label("LabelPmN", PageM->LabelPmN);
    label("LabelTmV", PageM->LabelTmV);
    label("LabelTmN", PageM->LabelTmN);
    label("LabelTr", PageM->LabelTr);
    Disps->Add(std::make_unique<TDispGrid>(e.GridEm, PageM->DrawGridEm));
    Disps->Add(std::make_unique<TDispGrid>(e.GridAr, PageM->DrawGridAr));
    Disps->Add(std::make_unique<TDispListIO>(e.ListIO, PageM->ListBoxIO, PageM->TabControlIO));
    label("LabelId", PageI->LabelId);
    label("LabelTres", PageI->LabelTres);
    label("LabelTnmi", PageI->LabelTnmi);
    label("LabelTini", PageI->LabelTini);
    label("LabelTcfg", PageI->LabelTcfg);
    label("LabelKem", PageI->LabelKem);
    label("LabelKrs", PageI->LabelKrs);
    label("LabelKso", PageI->LabelKso);
    label("LabelPregV", PageI->LabelPregV);
    label("LabelPregN", PageI->LabelPregN);
    for (int i = 0; i < TPageRecord::Slots; ++i)
        Disps->Add(TDispString::CreateLabel(e.ValueQ[i], PageZ->LabelQ[i]));
    for (int i = 0; i < TPageRecord::Slots; ++i)
        Disps->Add(std::make_unique<TDispListQ>(e.ListQ[i], PageZ->ListBoxQ[i], PageZ->PaintBoxQ[i]));
}

void TFormMain::FollowDownload()
{
    const TArchiveQDR& archive = *Engine->Archive;
    if (archive.RequestCount > 0 && !Engine->Stall().Stalled) {
        CountingMonth = archive.RequestMonth;
        FinishedText.clear();
    } else if (archive.RequestCount == 0 && CountingMonth != 0 && Engine->LinkUp()) {
        // Everything the regulator holds of the month is filed.
        FinishedText = MonthText(CountingMonth) + QStringLiteral(" stiahnutý");
        FinishedAt = QDateTime::currentMSecsSinceEpoch();
        CountingMonth = 0;
    }
    StatusPending = true;
}

void TFormMain::LinkChanged()
{
    const TEngine::TLink& link = Engine->Link();
    const bool down = link.State == TEngine::TLinkState::Down;
    FrameCom->SetLinkDown(down, down ? QStringLiteral("Regulátor neodpovedá od ") + SinceText(link.Since) : QString());
    // Said at once, not after the second a count waits for.
    StatusShownAt = 0;
    StatusPending = true;
}

QString TFormMain::StatusText() const
{
    const TEngine& e = *Engine;
    const TArchiveQDR& archive = *e.Archive;
    QStringList parts;
    if (e.Link().State == TEngine::TLinkState::Down) {
        parts << QStringLiteral("Regulátor neodpovedá od ") + SinceText(e.Link().Since);
        // A download the silence cut off is said to wait, not to run.
        if (archive.RequestCount > 0) {
            parts << MonthText(archive.RequestMonth) + QStringLiteral(": sťahovanie prerušené, ") +
                         RemainingRecordsText(archive.RequestCount);
            if (!e.MovedAsideText().isEmpty())
                parts << e.MovedAsideText();
            return parts.join(QStringLiteral("  –  "));
        }
    }
    if (!e.DownloadStatus().isEmpty())
        parts << e.DownloadStatus();
    else if (!FinishedText.isEmpty())
        parts << FinishedText;
    return parts.join(QStringLiteral("  –  "));
}

QString TFormMain::ArchiveStatusText() const
{
    const TEngine& e = *Engine;
    // A download going on is said to be one.
    if (e.Link().State != TEngine::TLinkState::Down && e.Archive->RequestCount > 0 && !e.Stall().Stalled &&
        !e.DownloadStatus().isEmpty())
        return QStringLiteral("Sťahuje sa ") + e.DownloadStatus();
    return StatusText();
}

void TFormMain::ShowDownloadStatus()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!FinishedText.isEmpty() && now - FinishedAt >= FinishedShowMs) {
        FinishedText.clear();
        StatusPending = true;
    }
    if (!StatusPending)
        return;
    // The same month counting down on a link that answers waits for its
    // second; anything else is shown at once.
    const TEngine& e = *Engine;
    const QString key = QStringLiteral("%1 %2 %3 %4 %5")
                            .arg(int(e.Link().State))
                            .arg(e.Archive->RequestCount > 0 ? e.Archive->RequestMonth : 0)
                            .arg(e.Stall().Stalled)
                            .arg(FinishedText, e.MovedAsideText());
    if (key == StatusShownKey && now - StatusShownAt < 1000)
        return;
    StatusPending = false;
    StatusShownAt = now;
    StatusShownKey = key;
    ShowInf(StatusText());
    PageA->SetDownloadStatus(ArchiveStatusText());
}

void TFormMain::Tick()
{
    if (QDateTime::currentMSecsSinceEpoch() - FolderTriedAt >= 3000)
        HoldFolder();
    ShowDownloadStatus();
    Disps->UpdateAll();
    FrameME->Tick();
    for (int i = 0; i < TPageRecord::Slots; ++i)
        if (Engine->ValueQ[i]->IsValid())
            PageZ->RecordArrived(i);
    TAlertView::ShowProjection(PageM->LabelPj, Alerts->Projection());
    if (Engine->Merania())
        FrameProjection->Show(Alerts->Projection(), Alerts->MonthPeak(), Alerts->Config().Reserve);
    DebugView->RefreshIfChanged();
    PageA->CheckArchiveView(CurrentPage == TEngine::PageArchive);
    // Offered while a download runs; a regulator that did not keep up has
    // the schedule for the rest of the run.
    PageA->CheckBoxFast->setVisible(Engine->Download() && Engine->Archive->RequestCount > 0);
    PageA->CheckBoxFast->setEnabled(!Engine->FastFallback());
}

bool TFormMain::PageChangeAllowed() const
{
    if (Engine->WritePending() || OutputActive())
        return false;
    return !(CurrentPage == TEngine::PageInformation && PanelPreg && PanelPreg->Busy());
}

void TFormMain::PageChanged(int index)
{
    if (index == CurrentPage || index < 0)
        return;
    if (!PageChangeAllowed()) {
        const QSignalBlocker blocker(PageControl);
        PageControl->setCurrentIndex(CurrentPage);
        return;
    }
    CurrentPage = index;
    // The tab indexes are the schedule's page numbers: the ODBER tab keeps
    // its place when hidden.
    Engine->SetActivePage(static_cast<uint8_t>(index));
    PageA->CheckArchiveView(CurrentPage == TEngine::PageArchive);
}

void TFormMain::ShowDebugView()
{
    DebugView->ShowOrRaise(this);
}

QString TFormMain::PageFileName(int page)
{
    static const char* const names[] = {"meranie.png", "informacie.png", "zaznam.png", "archiv.png", "odber.png"};
    return page >= 0 && page < 5 ? QString::fromLatin1(names[page]) : QString();
}

namespace {
// A picture of the window, written as every file of the program is.
bool SaveShot(const QPixmap& shot, const QString& name)
{
    return ReplaceFile(name, [&shot](const QString& scratch) {
               return shot.save(scratch, "PNG") ? QString() : QStringLiteral("cannot write %1").arg(scratch);
           }).isEmpty();
}
} // namespace

bool TFormMain::SaveScreenshots(const QString& dir, int dwellMs)
{
    const int start = PageControl->currentIndex();
    bool ok = QDir().mkpath(dir);
    for (int i = 0; i < PageControl->count(); ++i) {
        if (!PageControl->isTabVisible(i))
            continue;
        PageControl->setCurrentIndex(i);
        QEventLoop dwell;
        QTimer::singleShot(dwellMs, &dwell, &QEventLoop::quit);
        dwell.exec();
        Tick();
        QCoreApplication::processEvents();
        ok = SaveShot(grab(), QDir(dir).filePath(PageFileName(i))) && ok;
        if (i == TEngine::PageArchive) {
            // The graph sheet too, zoomed in far enough to read a day.
            PageA->PageControlA->setCurrentIndex(1);
            PageA->SetArchiveZoom(2);
            QCoreApplication::processEvents();
            ok = SaveShot(grab(), QDir(dir).filePath(QStringLiteral("archiv-graf.png"))) && ok;
            PageA->PageControlA->setCurrentWidget(PageA->TabSheetAM);
            QCoreApplication::processEvents();
            ok = SaveShot(grab(), QDir(dir).filePath(QStringLiteral("archiv-merania.png"))) && ok;
            PageA->SetArchiveZoom(0);
            PageA->PageControlA->setCurrentIndex(0);
        }
    }
    // The communication log as it opens, and the file chooser at the
    // current folder.
    if (FrameCom && MemoCom) {
        FrameCom->ShowLog();
        QCoreApplication::processEvents();
        ok = SaveShot(grab(), QDir(dir).filePath(QStringLiteral("komunikacia.png"))) && ok;
        FrameCom->HideLog();
    }
    TFormOpenFile* chooser = TFormOpenFile::Instance();
    chooser->SetDirectory(QDir::currentPath());
    chooser->show();
    QEventLoop dwell;
    QTimer::singleShot(dwellMs, &dwell, &QEventLoop::quit);
    dwell.exec();
    ok = SaveShot(chooser->grab(), QDir(dir).filePath(QStringLiteral("subor.png"))) && ok;
    chooser->hide();
    PageControl->setCurrentIndex(start);
    return ok;
}

bool TFormMain::OutputActive() const { return OutputBusy || (PageA && PageA->TabSheetAM->OutputActive()); }

void TFormMain::Shutdown()
{
    // The monthly files are saved only by an orderly close, so a running
    // output is stopped rather than waited for: STOP, the mail panel
    // cancelled, an open question answered No. The close is tried again
    // until the output has wound down (a mail being sent ends within its
    // time-outs).
    OutputBusy = false;
    PageA->TabSheetAM->PanelM->ButtonMNClick();
    if (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    if (!close())
        QTimer::singleShot(50, this, [this] { Shutdown(); });
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    if (OutputActive()) {
        event->ignore();
        return;
    }
    // The schedule stops, the exchange in progress ends (events keep being
    // handled meanwhile) and the worker and the timer stop.
    Engine->Close();
    DebugView->close();
    event->accept();
}

void TFormMain::paintEvent(QPaintEvent* event)
{
    QMainWindow::paintEvent(event);
    if (Painted)
        return;
    Painted = true;
    // For the start-up measurement: when the window first showed itself.
    if (qEnvironmentVariableIsSet("QDRWIN_REPORT_PAINT")) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
        std::printf("PAINTED %lld\n", static_cast<long long>(ms));
        std::fflush(stdout);
    }
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == PageControl && (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        PanelCom->setGeometry(PageControl->geometry());
    if ((watched == MemoCom || watched == PanelCom) && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        FrameCom->HideLog();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}
