#include "SheetMeasurements.h"

#include "PanelMail.h"
#include "print/GraphPrint.h"
#include "print/MonthReport.h"
#include "print/TextPrint.h"
#include "core/widgets/CellText.h"
#include "core/widgets/Colors.h"
#include "core/widgets/Dialogs.h"
#include "core/widgets/DrawGrid.h"
#include "output/MailClient.h"
#include "output/AdvExcel.h"
#include "output/CsvOutput.h"
#include "output/LocateExcel.h"
#include "output/SheetServer.h"
#include "output/SpreadsheetOutput.h"
#include "core/MeterNames.h"
#include "core/SafeFile.h"
#include "core/TextFunctions.h"
#include "demand/DemandText.h"
#include "demand/FolderDemand.h"
#include "files/FileMem.h"
#include "regulator/DispArch.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {
const QColor MoneyGreen{0xC0, 0xDC, 0xC0};
constexpr int GridColumns = 15;
constexpr int GridRows = 13;
constexpr int SquareSize = 10;

template <class T>
T* Named(T* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

const QString NoPrinter = QStringLiteral("Nie je nainštalovaná žiadna tlačiareň: tlač nie je možná. "
                                         "Tlačiareň sa hľadá znova pri každom zobrazení tejto strany.");

QString Overwrite(const QString& name)
{
    return QStringLiteral("Súbor \"") + name + QStringLiteral("\" existuje. Prepísať?");
}

QString FullPath(const QString& name) { return QDir::toNativeSeparators(QFileInfo(name).absoluteFilePath()); }
} // namespace

TSheetMeasurements::TSheetMeasurements(TDispArch& view, bool& outputBusy, QWidget* parent)
    : QWidget(parent)
    , View(view)
    , OutputBusy(outputBusy)
{
    setObjectName(QStringLiteral("TabSheetAM"));

    DrawGridM = Named(new TDrawGrid(this), "DrawGridM");
    DrawGridM->SetColCount(GridColumns);
    DrawGridM->SetRowCount(GridRows);
    DrawGridM->SetFixedCols(1);
    for (int c = 1; c < GridColumns; ++c)
        DrawGridM->SetColWidth(c, 21);
    DrawGridM->SetRowHeight(std::max(17, QFontMetrics(font()).height() + 2));
    DrawGridM->Color = Colors::Grey;
    DrawGridM->FixedColor = MoneyGreen;
    DrawGridM->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    DrawGridM->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int rowsHeight = GridRows * (DrawGridM->RowHeight() + DrawGridM->GridLineWidth()) + 4;
    DrawGridM->setFixedSize(601, std::max(238, rowsHeight));
    DrawGridM->OnDrawCell = [this](QPainter& p, int col, int row, const QRect& r, int) {
        DrawGridMDrawCell(p, col, row, r);
    };
    DrawGridM->OnSelectCell = [this](int col, int row) { DrawGridMSelectCell(col, row); };

    // The table outputs.
    GroupTable = Named(new QGroupBox(QStringLiteral("Tabuľka"), this), "GroupBoxT");
    CheckBoxP = Named(new QCheckBox(QStringLiteral("Intervalové výkony"), GroupTable), "CheckBoxP");
    CheckBoxA = Named(new QCheckBox(QStringLiteral("Denná práca"), GroupTable), "CheckBoxA");
    CheckBoxP->setChecked(true);
    CheckBoxA->setChecked(true);
    RadioButtonA = Named(new QRadioButton(QStringLiteral("Všetky záznamy"), GroupTable), "RadioButtonA");
    RadioButtonB = Named(new QRadioButton(QStringLiteral("Vybraný blok"), GroupTable), "RadioButtonB");
    RadioButtonA->setChecked(true);
    EditF = Named(new QLineEdit(GroupTable), "EditF");
    EditM = Named(new QLineEdit(GroupTable), "EditM");
    EditF->setToolTip(QStringLiteral("Názov textového súboru"));
    EditM->setToolTip(QStringLiteral("Adresa príjemcu mailu"));
    ButtonF = Named(new QPushButton(QStringLiteral("Záznam do súboru"), GroupTable), "ButtonF");
    ButtonP = Named(new QPushButton(QStringLiteral("Tlač"), GroupTable), "ButtonP");
    ButtonE = Named(new QPushButton(QStringLiteral("Výstup pre EXCEL"), GroupTable), "ButtonE");
    ButtonM = Named(new QPushButton(QStringLiteral("Odoslanie mailom"), GroupTable), "ButtonM");
    ButtonR = Named(new QPushButton(QStringLiteral("Mesačný prehľad"), GroupTable), "ButtonR");
    ButtonR->setToolTip(QStringLiteral("Súhrn, tabuľky a grafy mesiaca do súboru PDF"));
    ButtonR->setEnabled(false);
    ButtonS = Named(new QPushButton(QStringLiteral("STOP"), GroupTable), "ButtonS");
    ButtonS->hide();
    auto* table = new QGridLayout(GroupTable);
    table->addWidget(CheckBoxP, 0, 0);
    table->addWidget(CheckBoxA, 1, 0);
    table->addWidget(RadioButtonA, 0, 1);
    table->addWidget(RadioButtonB, 1, 1);
    table->addWidget(EditF, 2, 0, 1, 2);
    table->addWidget(EditM, 3, 0, 1, 2);
    QPushButton* outputs[] = {ButtonF, ButtonP, ButtonE, ButtonM};
    for (int i = 0; i < 4; ++i) {
        outputs[i]->setEnabled(false);
        table->addWidget(outputs[i], i, 2);
    }
    ButtonC = Named(new QPushButton(QStringLiteral("Záznam do CSV"), GroupTable), "ButtonC");
    ButtonC->setEnabled(false);
    table->addWidget(ButtonC, 4, 2);
    table->addWidget(ButtonR, 5, 2);
    // The STOP button takes the place beside the running output's button.
    const int stopWidth = ButtonS->sizeHint().width() + 24;
    table->setColumnMinimumWidth(3, stopWidth);
    table->setColumnStretch(0, 1);
    table->setColumnStretch(1, 1);

    // The graph print.
    auto* groupGraph = Named(new QGroupBox(QStringLiteral("Graf"), this), "GroupBoxG");
    CheckBoxS = Named(new QCheckBox(QStringLiteral("Zhustená mierka"), groupGraph), "CheckBoxS");
    CheckBoxM = Named(new QCheckBox(QStringLiteral("Merania v spoločnom grafe"), groupGraph), "CheckBoxM");
    Label28 = Named(new QLabel(QStringLiteral("Počet strán :"), groupGraph), "Label28");
    LabelP = Named(new QLabel(groupGraph), "LabelP");
    LabelP->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LabelP->setAutoFillBackground(true);
    QPalette white = LabelP->palette();
    white.setColor(QPalette::Window, Colors::White);
    LabelP->setPalette(white);
    LabelP->setFrameShape(QFrame::Panel);
    LabelP->setFrameShadow(QFrame::Sunken);
    LabelP->setMinimumWidth(40);
    ButtonT = Named(new QPushButton(QStringLiteral("Tlač"), groupGraph), "ButtonT");
    ButtonT->setEnabled(false);
    ButtonQ = Named(new QPushButton(QStringLiteral("STOP"), groupGraph), "ButtonQ");
    QSizePolicy keep = ButtonQ->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    ButtonQ->setSizePolicy(keep);
    ButtonQ->hide();
    LabelPrinter = Named(new QLabel(groupGraph), "LabelPrinter");
    LabelPrinter->setWordWrap(true);
    QPalette hint = LabelPrinter->palette();
    hint.setColor(QPalette::WindowText, Qt::darkRed);
    LabelPrinter->setPalette(hint);
    LabelPrinter->hide();
    auto* graph = new QGridLayout(groupGraph);
    graph->addWidget(CheckBoxS, 0, 0, 1, 3);
    graph->addWidget(CheckBoxM, 1, 0, 1, 3);
    graph->addWidget(Label28, 2, 0);
    graph->addWidget(LabelP, 2, 1);
    graph->addWidget(ButtonT, 3, 0, 1, 2);
    graph->addWidget(ButtonQ, 3, 2);
    graph->addWidget(LabelPrinter, 4, 0, 1, 3);
    graph->setRowStretch(5, 1);

    PanelM = new TPanelMail(this);
    PanelM->hide();

    // The open month's billing demand, when a contract is configured.
    GroupDemand = Named(new QGroupBox(QStringLiteral("Rezervovaná kapacita"), this), "GroupBoxD");
    LabelDemand = Named(new QLabel(GroupDemand), "LabelDemand");
    LabelDemand->setWordWrap(true);
    LabelDemand->setTextInteractionFlags(Qt::TextSelectableByMouse);
    (new QVBoxLayout(GroupDemand))->addWidget(LabelDemand);
    GroupDemand->hide();

    auto* groups = new QHBoxLayout;
    groups->addWidget(GroupTable, 3);
    groups->addWidget(groupGraph, 1);
    auto* all = new QVBoxLayout(this);
    all->addWidget(DrawGridM, 0, Qt::AlignLeft);
    all->addLayout(groups);
    all->addWidget(GroupDemand);
    all->addStretch(1);

    for (QCheckBox* box : {CheckBoxP, CheckBoxA, CheckBoxS, CheckBoxM})
        connect(box, &QCheckBox::toggled, this, [this] { CheckAM(); });
    for (QRadioButton* radio : {RadioButtonA, RadioButtonB})
        connect(radio, &QRadioButton::toggled, this, [this] { CheckAM(); });
    for (QLineEdit* edit : {EditF, EditM})
        connect(edit, &QLineEdit::textChanged, this, [this] { CheckAM(); });
    connect(ButtonS, &QPushButton::clicked, this, [this] { ButtonSClick(); });
    connect(ButtonQ, &QPushButton::clicked, this, [this] { ButtonSClick(); });
    connect(ButtonF, &QPushButton::clicked, this, [this] { ButtonFClick(); });
    connect(ButtonP, &QPushButton::clicked, this, [this] { ButtonPClick(); });
    connect(ButtonT, &QPushButton::clicked, this, [this] { ButtonTClick(); });
    connect(ButtonM, &QPushButton::clicked, this, [this] { ButtonMClick(); });
    connect(ButtonE, &QPushButton::clicked, this, [this] { ButtonEClick(); });
    connect(ButtonR, &QPushButton::clicked, this, [this] { ButtonRClick(); });
    connect(ButtonC, &QPushButton::clicked, this, [this] { ButtonCClick(); });
    FitGrid();
    ColorsChanged();
}

TSheetMeasurements::~TSheetMeasurements()
{
    // A lookup still running is given a moment; one the print system holds
    // up is left to end on its own (its answer then finds no sheet).
    if (LookupThread && !LookupThread->wait(3000))
        static_cast<void>(LookupThread.release());
}

// The printer is in use: a lookup's answer waits until the print ends.
class TSheetMeasurements::TPrinting {
public:
    explicit TPrinting(TSheetMeasurements& sheet)
        : Sheet(sheet)
    {
        Sheet.Printing = true;
    }
    ~TPrinting()
    {
        Sheet.Printing = false;
        if (Sheet.HasParked) {
            Sheet.HasParked = false;
            Sheet.FPrinter = std::move(Sheet.Parked);
            Sheet.PrinterPresent = Sheet.FPrinter != nullptr;
            Sheet.ShowPrinterState();
        }
    }
    TPrinting(const TPrinting&) = delete;
    TPrinting& operator=(const TPrinting&) = delete;

private:
    TSheetMeasurements& Sheet;
};

class TSheetMeasurements::TRunning {
public:
    explicit TRunning(TSheetMeasurements& sheet)
        : Sheet(sheet)
    {
        Sheet.Running = true;
    }
    ~TRunning()
    {
        Sheet.Running = false;
        Sheet.CheckAM();
    }
    TRunning(const TRunning&) = delete;
    TRunning& operator=(const TRunning&) = delete;

private:
    TSheetMeasurements& Sheet;
};

bool OpenInSpreadsheetProgram(const QString& path)
{
    const TSpreadsheetProgram program = LocateSpreadsheetProgram();
    return program.Found() && OpenWorkbook(program, path);
}

void TSheetMeasurements::SetPrinter(std::unique_ptr<QPrinter> printer)
{
    FPrinter = std::move(printer);
    PrinterKnown = true;
    ShowPrinterState();
}

void TSheetMeasurements::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A printer installed since the last look is found here.
    RequestPrinter();
}

void TSheetMeasurements::RequestPrinter()
{
    if (!LookUpPrinter)
        return;
    if (Lookup) {
        // One more after the running one, so the answer is as fresh as the request.
        LookupAgain = true;
        return;
    }
    Lookup = true;
    LookupAgain = false;
    ShowPrinterState();
    // A one-shot thread of its own: it calls the lookup, which touches
    // nothing shared, and hands the printer back by a queued call on the
    // application object (the sheet may be gone by then; a call never made
    // frees the printer with it).
    QPointer<TSheetMeasurements> sheet(this);
    LookupThread.reset(QThread::create([look = LookUpPrinter, sheet = std::move(sheet)]() mutable {
        auto box = std::make_shared<std::unique_ptr<QPrinter>>(look());
        QMetaObject::invokeMethod(
            qApp,
            [sheet = std::move(sheet), box] {
                if (sheet)
                    sheet->PrinterArrived(std::move(*box));
            },
            Qt::QueuedConnection);
    }));
    LookupThread->setObjectName(QStringLiteral("printer lookup"));
    LookupThread->start();
}

void TSheetMeasurements::PrinterArrived(std::unique_ptr<QPrinter> printer)
{
    // The thread has handed its answer over and is ending.
    if (LookupThread) {
        LookupThread->wait();
        LookupThread.reset();
    }
    Lookup = false;
    PrinterKnown = true;
    if (Printing) {
        // The running print keeps the printer it started with.
        Parked = std::move(printer);
        HasParked = true;
    } else {
        FPrinter = std::move(printer);
        PrinterPresent = FPrinter != nullptr;
        if (!Running)
            CheckAM();
    }
    if (LookupAgain)
        RequestPrinter();
    else
        ShowPrinterState();
}

void TSheetMeasurements::ShowPrinterState()
{
    // A lookup running keeps what the last one found, so the hint does not
    // blink each time the sheet is shown.
    const bool none = PrinterKnown && (!PrinterPresent || !FPrinter);
    const QString why = none ? NoPrinter : QString();
    LabelPrinter->setText(none ? QStringLiteral("Žiadna tlačiareň") : QString());
    LabelPrinter->setToolTip(why);
    LabelPrinter->setVisible(none);
    for (QPushButton* b : {ButtonP, ButtonT})
        b->setToolTip(why);
}

void TSheetMeasurements::NotWritten(const TFileError& error)
{
    // The same sentence in the status line and the box, so what the operator
    // read in one is found again in the other.
    const QString text = SlovakFileError(error);
    Notice(text);
    TDialogs::Error(text);
}

void TSheetMeasurements::Notice(const QString& text)
{
    if (OnNotice)
        OnNotice(text);
}

void TSheetMeasurements::FitGrid()
{
    // The labels get all the room the colour columns leave.
    DrawGridM->SetColWidth(0, std::max(21, DrawGridM->ClientWidth() - 14 * 21 - 16));
}

TTableChoice TSheetMeasurements::Choice() const
{
    TTableChoice choice;
    choice.Powers = CheckBoxP->isChecked();
    choice.Days = CheckBoxA->isChecked();
    choice.AllRecords = RadioButtonA->isChecked();
    choice.Caption = Caption ? Caption() : QString();
    choice.Labels = Labels;
    return choice;
}

// ---------------------------------------------------------------- table

void TSheetMeasurements::DrawGridMDrawCell(QPainter& painter, int col, int row, const QRect& rect)
{
    const bool inRange = row < View.Channels;
    if (col == 0) {
        painter.setBrush(DrawGridM->FixedColor);
        painter.setPen(DrawGridM->FixedFontColor);
        const QString label = inRange ? MeasurementLabel(row, Labels) : QString();
        DrawCellText(painter, rect, label, 6);
        return;
    }
    painter.fillRect(rect, DrawGridM->Color);
    if (!inRange || col >= GridColumns)
        return;
    const int dx = (rect.width() - SquareSize) / 2;
    const int dy = (rect.height() - SquareSize) / 2;
    const QRect square = rect.adjusted(dx, dy, -dx, -dy);
    painter.setBrush(Qt::NoBrush);
    if (col == 1) {
        painter.setPen(Colors::Silver);
        painter.drawLine(square.topLeft(), square.bottomRight());
        painter.drawLine(square.bottomLeft(), square.topRight());
        return;
    }
    const uint8_t index = static_cast<uint8_t>(col - 1);
    const QColor color = QColor::fromRgb(TDispArch::ColorOf(index));
    if (View.ChannelColor(static_cast<uint8_t>(row)) == index)
        painter.fillRect(square, color);
    painter.setPen(color);
    painter.drawRect(square.adjusted(0, 0, -1, -1));
}

void TSheetMeasurements::DrawGridMSelectCell(int col, int row)
{
    // A running output reads the shown measurements row by row.
    if (Running || OutputBusy)
        return;
    if (col <= 0 || col >= GridColumns || row < 0 || row >= View.Channels)
        return;
    View.SetChannelColor(static_cast<uint8_t>(row), static_cast<uint8_t>(col - 1));
    if (OnColorsChanged)
        OnColorsChanged();
    else
        ColorsChanged();
}

void TSheetMeasurements::ColorsChanged()
{
    CheckBoxM->setEnabled(View.SelectedCount >= 2);
    if (View.SelectedCount < 2)
        CheckBoxM->setChecked(false);
    CheckAM();
    DrawGridM->viewport()->update();
    // Called as well when another month opens or records arrive.
    ShowDemand();
}

void TSheetMeasurements::SetContract(const TContract& contract)
{
    FContract = contract;
    DemandFigures.reset();
    ShowDemand();
}

void TSheetMeasurements::ShowDemand()
{
    GroupDemand->setVisible(FContract.Configured);
    if (!FContract.Configured)
        return;
    // The group's own colours; red for a contract that cannot be used.
    QPalette palette = GroupDemand->palette();
    const uint16_t month = View.Month();
    if (month == 0 || View.RecordCount == 0) {
        LabelDemand->setPalette(palette);
        LabelDemand->setText(QStringLiteral("Nie je otvorený žiadny mesiac."));
        return;
    }
    const QTimeZone zone = ZoneByName(TimeZone);
    if (!DemandFigures || DemandMonth != month) {
        DemandFigures = std::make_unique<TFolderFigures>(View.Archive, View.IntervalMinutes, zone, FContract);
        DemandMonth = month;
    }
    TMonthDemand bill;
    QString problem;
    if (!ShownMonthBill(View, FContract, zone, *DemandFigures, bill, problem)) {
        palette.setColor(QPalette::WindowText, Colors::Red);
        LabelDemand->setPalette(palette);
        LabelDemand->setText(problem);
        return;
    }
    LabelDemand->setPalette(palette);
    const QString currency = FContract.Currency;
    QString text = bill.Demand ? QStringLiteral("Fakturačné maximum %1 kW (%2), kapacita %3, prekročenie %4 kW – "
                                                "poplatok za mesiac %5 %6.")
                                     .arg(CentiText(bill.Demand->CentiKw, true), PeakText(*bill.Demand),
                                          CapacityText(bill), CentiText(bill.ExcessCentiKw, true),
                                          CentiText(bill.MonthTotal, true), currency)
                               : QStringLiteral("Mesiac zatiaľ nemá periódu s hodnotou; za kapacitu %1 kW %2 %3.")
                                     .arg(SlovakKwText(bill.CapacityCentiKw), CentiText(bill.CapacityCharge, true),
                                          currency);
    // What else the month pays, as the report's block says it.
    QStringList besides;
    if (bill.Demand && FContract.MrkCentiKw > 0)
        besides << QStringLiteral("nad MRK %1 kW: %2 %3")
                       .arg(CentiText(bill.MrkExcessCentiKw, true), CentiText(bill.MrkExcessCharge, true), currency);
    if (bill.PowerFactorBilled)
        besides << (bill.CosPhiMilli ? QStringLiteral("účinník %1: %2 %3")
                                           .arg(PowerFactorText(bill), CentiText(bill.Surcharge, true), currency)
                                     : QStringLiteral("účinník: ") + PowerFactorText(bill));
    if (bill.CapacitiveCentiKvarh)
        besides << QStringLiteral("kapacitná jalová %1 kvarh: %2 %3")
                       .arg(CentiText(*bill.CapacitiveCentiKvarh, true), CentiText(bill.CapacitiveCharge, true),
                            currency);
    if (!besides.isEmpty())
        text += QStringLiteral("\nZ toho ") + besides.join(QStringLiteral(", ")) + QLatin1Char('.');
    text += QStringLiteral("\nFakturuje sa ") + ModelText(FContract);
    if (!bill.Complete)
        text += QStringLiteral("; mesiac nie je úplný (%1 % intervalov s hodnotou)")
                    .arg(bill.Expected > 0 ? bill.Valued * 100 / bill.Expected : 0);
    LabelDemand->setText(text + QLatin1Char('.'));
}

// ---------------------------------------------------------------- enabling

void TSheetMeasurements::CheckAM()
{
    ShowPrinterState();
    // A running output keeps the layout and the buttons it started with.
    if (Running) {
        for (QPushButton* b : {ButtonF, ButtonP, ButtonE, ButtonM, ButtonT, ButtonR, ButtonC})
            b->setEnabled(false);
        return;
    }
    if (PrinterPresent && FPrinter)
        ComputePrintLayout(*FPrinter, View, CheckBoxS->isChecked(), Layout);
    bool tables = false;
    bool graphs = false;
    int count = 0;
    if (View.RecordCount > 0 && View.SelectedCount > 0) {
        const bool all = RadioButtonA->isChecked();
        tables = (CheckBoxP->isChecked() && (all || View.IntervalBlockSet())) ||
                 (CheckBoxA->isChecked() && (all || View.DayBlockSet()));
        if (PrinterPresent) {
            count = CheckBoxM->isChecked() ? 1 : View.SelectedCount;
            graphs = true;
        }
    }
    if (PrinterPresent && FPrinter) {
        if (!CountStrips(Layout, count))
            graphs = false;
        LabelP->setText(QString::number(Pages(Layout)));
    } else {
        graphs = false;
    }
    const bool named = !EditF->text().isEmpty();
    const bool mail = MailClient && !MailClient->Host.isEmpty() && !EditM->text().isEmpty();
    ButtonT->setEnabled(graphs);
    ButtonF->setEnabled(tables && named);
    ButtonC->setEnabled(tables && named);
    ButtonP->setEnabled(graphs && tables);
    ButtonE->setEnabled(tables);
    ButtonM->setEnabled(tables && named && mail);
    // The report is the whole month whatever the table choices; it is
    // named after the text file.
    ButtonR->setEnabled(View.RecordCount > 0 && View.SelectedCount > 0 && named);
}

// ---------------------------------------------------------------- busy

void TSheetMeasurements::PlaceStop(QPushButton* button)
{
    const QRect at = button->geometry();
    ButtonS->setGeometry(at.right() + 7, at.top(), std::max(ButtonS->sizeHint().width() + 16, 80), at.height());
}

void TSheetMeasurements::SetOutputBusy(QPushButton* button, bool busy, QString& savedCaption)
{
    OutputBusy = busy;
    button->setEnabled(!busy);
    if (busy) {
        PlaceStop(button);
        savedCaption = ButtonS->text();
        ButtonS->show();
        ButtonS->raise();
    } else {
        ButtonS->setText(savedCaption);
        ButtonS->hide();
        CheckAM();
    }
}

void TSheetMeasurements::ShowProgress(QPushButton* stop, const QString& savedCaption, int percent)
{
    stop->setText(savedCaption + QLatin1Char(' ') + QString::number(percent) + QStringLiteral(" %"));
}

std::function<bool(int)> TSheetMeasurements::Progress(QPushButton* stop, const QString& savedCaption)
{
    // STOP is noticed here: the events are let in, then the busy flag read.
    return [this, stop, savedCaption](int percent) {
        ShowProgress(stop, savedCaption, percent);
        QCoreApplication::processEvents();
        return OutputBusy;
    };
}

void TSheetMeasurements::ButtonSClick() { OutputBusy = false; }

namespace {
// While recorded pages go out the window paints, but takes no click: the
// job can no longer be stopped.
void Pump() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }
} // namespace

bool TSheetMeasurements::TakeDefaultPrinter()
{
    if (LookUpPrinter) {
        RequestPrinter();
        // The window keeps painting and the link keeps polling meanwhile;
        // the window may not close under the wait.
        WaitingForPrinter = true;
        QPointer<TSheetMeasurements> self(this);
        QElapsedTimer waited;
        waited.start();
        while (self && LookingForPrinter() && waited.elapsed() < PrinterWaitMs) {
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
        if (!self)
            return false;
        WaitingForPrinter = false;
        if (LookingForPrinter()) {
            TDialogs::Error(QStringLiteral("Tlačový systém neodpovedá; tlač sa nedá spustiť."));
            return false;
        }
    }
    // Gone, or another page: the buttons and the layout follow.
    if (!FPrinter || PageSizeChanged(*FPrinter, Layout))
        CheckAM();
    if (!FPrinter || !PrinterPresent) {
        TDialogs::Error(NoPrinter);
        return false;
    }
    return true;
}

void TSheetMeasurements::TitleJob(const QString& output)
{
    if (FPrinter)
        FPrinter->setDocName(JobTitle(Caption ? Caption() : QString(), output));
}

// ---------------------------------------------------------------- outputs

void TSheetMeasurements::ButtonFClick()
{
    WriteTextFile();
    QApplication::beep();
}

namespace {
// The file holds a text output of the same month: its first line is the
// caption line about to be written. Only a regular file is read, and only
// its start.
bool HoldsTextOutput(const QString& name, const QString& firstLine)
{
    const QFileInfo info(name);
    if (!info.isFile() || info.isSymLink())
        return false;
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray start = file.read(256);
    const qsizetype end = start.indexOf("\r\n");
    return end >= 0 && start.left(end) == ToCp1250(firstLine);
}
} // namespace

bool TSheetMeasurements::WriteTextFile(bool mailing)
{
    const QString name = EditF->text();
    QStringList lines;
    BuildText(lines, View, Choice(), 0, {});
    // A mailing rewrites its own attachment, the month's text output, each
    // time without a question; anything else is asked about.
    const bool own = mailing && !lines.isEmpty() && HoldsTextOutput(name, lines.constFirst());
    if (QFileInfo::exists(name) && !own && !TDialogs::Confirm(Overwrite(name)))
        return false;
    // Said, not swallowed: the user would take the old file, or none, for
    // the month's tables (a mail still goes on with whatever file exists).
    if (TFileError error; !SaveTextLines(lines, name, error)) {
        NotWritten(error);
        return false;
    }
    Notice(QStringLiteral("Zapísaný súbor ") + FullPath(name));
    return true;
}

void TSheetMeasurements::ButtonCClick()
{
    // Named like the text file, with .csv.
    QString name = EditF->text();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > name.lastIndexOf(QLatin1Char('/')))
        name.truncate(dot);
    name += QStringLiteral(".csv");
    if (QFileInfo::exists(name) && !TDialogs::Confirm(Overwrite(name)))
        return;
    const QTimeZone zone = ZoneByName(TimeZone);
    if (!zone.isValid()) {
        TDialogs::Error(QStringLiteral("Neznáme časové pásmo \"") + TimeZone + QStringLiteral("\" !"));
        return;
    }
    TCsvChoice choice;
    for (uint8_t i = 0; i < View.SelectedCount; ++i)
        choice.Channels.push_back(View.SelectedChannel(i));
    choice.AllRecords = RadioButtonA->isChecked();
    choice.Labels = Labels;
    TFileError error;
    const QString month = View.File() ? View.File()->FileName() : QString();
    if (!SaveCsv(BuildCsv(View, TimedRecords(View, zone), choice), name, month, error)) {
        NotWritten(error);
    } else {
        Notice(QStringLiteral("Zapísaný súbor ") + FullPath(name));
    }
    QApplication::beep();
}

void TSheetMeasurements::ButtonPClick()
{
    if (Running || OutputBusy || WaitingForPrinter)
        return;
    if (!TakeDefaultPrinter())
        return;
    const TRunning running(*this);
    const TPrinting printing(*this);
    TitleJob(QStringLiteral("Tlač tabuliek"));
    QString saved;
    SetOutputBusy(ButtonP, true, saved);
    const TTableChoice choice = Choice();
    const TPrintResult result = PrintText(
        *FPrinter,
        [&](QStringList& lines, uint16_t width) {
            return BuildText(lines, View, choice, width, [] {
                return TDialogs::Confirm(QStringLiteral("Riadok presahuje šírku strany. Pokračovať?"));
            });
        },
        Progress(ButtonS, saved), Pump);
    SetOutputBusy(ButtonP, false, saved);
    if (result == TPrintResult::Failed)
        TDialogs::Error(QStringLiteral("CHYBA !"));
    QApplication::beep();
}

void TSheetMeasurements::ButtonTClick()
{
    // Another printer may have become the default since the layout was
    // made; once the output runs, the layout stays as it is.
    if (Running || OutputBusy || WaitingForPrinter || !TakeDefaultPrinter())
        return;
    const TRunning running(*this);
    const TPrinting printing(*this);
    TitleJob(QStringLiteral("Tlač grafov"));
    OutputBusy = true;
    const QString saved = ButtonQ->text();
    ButtonQ->show();
    ButtonT->setEnabled(false);
    TGraphPrintChoice choice;
    choice.Common = CheckBoxM->isChecked();
    choice.Caption = Caption ? Caption() : QString();
    choice.Labels = Labels;
    const TPrintResult result = PrintGraphs(*FPrinter, View, Layout, choice, Progress(ButtonQ, saved), Pump);
    ButtonQ->setText(saved);
    ButtonQ->hide();
    OutputBusy = false;
    CheckAM();
    if (result == TPrintResult::Failed)
        TDialogs::Error(QStringLiteral("CHYBA !"));
    QApplication::beep();
}

void TSheetMeasurements::ButtonMClick()
{
    if (Running || OutputBusy)
        return;
    const TRunning running(*this);
    OutputBusy = true;
    WriteTextFile(true);
    PanelM->setGeometry(DrawGridM->x() + 16, DrawGridM->y() + 14, 569, 209);
    PanelM->raise();
    // The file just written goes out, whatever EditF says by the time the
    // user sends.
    const QString file = EditF->text();
    const bool sent = PanelM->Compose([this] { return EditM->text(); }, [file] { return file; });
    // The status line tells how the mail ended, not only that its file was
    // written; a mail given up without a try leaves it as it was.
    if (sent)
        Notice(QStringLiteral("Mail odoslaný: %1 na %2").arg(FullPath(file), EditM->text()));
    else if (!PanelM->Failure.isEmpty())
        Notice(QStringLiteral("Mail sa nepodarilo odoslať: %1").arg(PanelM->Failure));
    OutputBusy = false;
    QApplication::beep();
}

void TSheetMeasurements::ButtonEClick()
{
    if (Running || OutputBusy || !Excel)
        return;
    const TRunning running(*this);
    const QString workbook =
        XlsxFileName(EditF->text().isEmpty() ? MonthText(View.Month()) + QStringLiteral(".TXT") : EditF->text());
    // The workbook is a file here, perhaps one the user has worked on since.
    if (Sheets && QFileInfo::exists(workbook) && !TDialogs::Confirm(Overwrite(workbook)))
        return;
    QString saved;
    SetOutputBusy(ButtonE, true, saved);
    if (Sheets)
        Sheets->FileName = workbook;
    const bool done = SendTables(
        *Excel, View, Choice(), [&](int percent) { ShowProgress(ButtonS, saved, percent); },
        [this] { return OutputBusy; });
    // The workbook is shown before the sheet is free again: finding the
    // program waits in an event loop of its own.
    if (Sheets && Sheets->SaveFailure().Failed())
        NotWritten(Sheets->SaveFailure());
    else if (done && Sheets && !Sheets->SavedPath().isEmpty())
        Notice(QStringLiteral("Zapísaný súbor ") + FullPath(Sheets->SavedPath()));
    if (!done && !(Sheets && Sheets->SaveFailure().Failed()))
        TDialogs::Error(QStringLiteral("CHYBA !"));
    else if (Sheets && !Sheets->SavedPath().isEmpty() && !(OpenSpreadsheet && OpenSpreadsheet(Sheets->SavedPath())))
        TDialogs::Message(QStringLiteral("Tabuľky sú uložené v súbore \"") +
                          QDir::toNativeSeparators(Sheets->SavedPath()) + QStringLiteral("\""));
    SetOutputBusy(ButtonE, false, saved);
    QApplication::beep();
}

void TSheetMeasurements::ButtonRClick()
{
    if (Running || OutputBusy || !View.File() || EditF->text().isEmpty())
        return;
    const TRunning running(*this);
    const QString name = ReportFileName(EditF->text());
    if (QFileInfo::exists(name) && !TDialogs::Confirm(Overwrite(name)))
        return;
    // A view of its own over the same file: the report shows the channels in
    // groups, and the page keeps the user's choice meanwhile.
    TDispArch view(View.Archive, View.IntervalMinutes);
    if (!view.Open(View.File()->FileName()))
        return;
    view.SetRegulatedPower(0, View.RegulatedPower(0));
    view.SetRegulatedPower(1, View.RegulatedPower(1));
    TReportRequest request;
    request.Titles.Caption = Caption ? Caption() : QString();
    request.Titles.Labels = Labels;
    request.Titles.Site = Site;
    request.Limit = View.RegulatedPower(0);
    request.Contract = FContract;
    request.TimeZone = TimeZone;
    QString saved;
    SetOutputBusy(ButtonR, true, saved);
    TFileError error;
    const TPrintResult result = WriteMonthReport(view, request, name, Progress(ButtonS, saved), Pump, error);
    SetOutputBusy(ButtonR, false, saved);
    if (result == TPrintResult::Failed) {
        NotWritten(error);
    } else if (result == TPrintResult::Printed) {
        Notice(QStringLiteral("Zapísaný súbor ") + FullPath(name));
    }
    QApplication::beep();
}
