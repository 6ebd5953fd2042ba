#include "PageArchive.h"

#include "SheetMeasurements.h"

#include "core/TextFunctions.h"
#include "core/widgets/CellText.h"
#include "core/widgets/Colors.h"
#include "core/widgets/DrawGrid.h"
#include "core/widgets/PaintBox.h"
#include "files/widgets/FormOpenFile.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "print/ArchGraph.h"

#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {
using namespace Colors;
constexpr int TextOffset = -6;
// Room below the plot for the hour and day labels.
constexpr int LabelRows = 3;
// A row chosen for the block buttons, not yet taken by one.
const QColor Picked(0xA6, 0xCA, 0xF0);

QPushButton* Button(const QString& name, const QString& caption, QWidget* parent)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    return b;
}
} // namespace

TPageArchive::TPageArchive(TArchiveQDR& archive, TDispArch& view, bool& outputBusy, QWidget* parent)
    : QWidget(parent)
    , Archive(archive)
    , View(view)
{
    setObjectName(QStringLiteral("TabSheetA"));
    ButtonAr = Button(QStringLiteral("ButtonAr"), QStringLiteral("ARCHÍV"), this);
    PanelAr = new QLabel(this);
    PanelAr->setObjectName(QStringLiteral("PanelAr"));
    PanelAr->setFrameShape(QFrame::Panel);
    PanelAr->setFrameShadow(QFrame::Sunken);
    PanelAr->setAlignment(Qt::AlignCenter);
    PanelAr->setMinimumWidth(160);
    QFont bold = PanelAr->font();
    bold.setBold(true);
    PanelAr->setFont(bold);
    LabelStatus = new QLabel(this);
    LabelStatus->setObjectName(QStringLiteral("LabelArStatus"));
    // The download's word beside the buttons takes a second line rather than
    // lose its end at the designed width.
    LabelStatus->setWordWrap(true);
    CheckBoxFast = new QCheckBox(QStringLiteral("Rýchle sťahovanie"), this);
    CheckBoxFast->setObjectName(QStringLiteral("CheckBoxFast"));
    CheckBoxFast->setToolTip(QStringLiteral("Ďalší archívny záznam sa žiada hneď po predošlej odpovedi, nie až v ďalšom cykle"));
    CheckBoxFast->setVisible(false);

    PageControlA = new QTabWidget(this);
    PageControlA->setObjectName(QStringLiteral("PageControlA"));
    TabSheetAT = new QWidget;
    TabSheetAT->setObjectName(QStringLiteral("TabSheetAT"));
    TabSheetAG = new QWidget;
    TabSheetAG->setObjectName(QStringLiteral("TabSheetAG"));
    PageControlA->addTab(TabSheetAT, QStringLiteral("Tabuľka"));
    PageControlA->addTab(TabSheetAG, QStringLiteral("Graf"));
    TabSheetAM = new TSheetMeasurements(View, outputBusy);
    PageControlA->addTab(TabSheetAM, QStringLiteral("Merania"));
    TabSheetAM->Caption = [this] { return PanelAr->text(); };
    TabSheetAM->OnColorsChanged = [this] { RefreshArchiveAll(); };

    // The tables.
    DrawGridArP = new TDrawGrid(TabSheetAT);
    DrawGridArP->setObjectName(QStringLiteral("DrawGridArP"));
    // A grid keeps no more fixed lines than it has, so the counts come first.
    DrawGridArP->SetColCount(2);
    DrawGridArP->SetRowCount(2);
    DrawGridArP->SetFixedRows(1);
    DrawGridArP->SetFixedCols(1);
    DrawGridArA = new TDrawGrid(TabSheetAT);
    DrawGridArA->setObjectName(QStringLiteral("DrawGridArA"));
    DrawGridArA->SetColCount(2);
    DrawGridArA->SetRowCount(3);
    DrawGridArA->SetFixedRows(2);
    DrawGridArA->SetFixedCols(1);
    for (TDrawGrid* grid : {DrawGridArP, DrawGridArA})
        grid->SetRowHeight(QFontMetrics(font()).height() + 4);
    DrawGridArP->OnDrawCell = [this](QPainter& p, int col, int row, const QRect& r, int) {
        DrawPowerCell(p, col, row, r);
    };
    DrawGridArA->OnDrawCell = [this](QPainter& p, int col, int row, const QRect& r, int) {
        DrawEnergyCell(p, col, row, r);
    };
    DrawGridArP->OnSelectCell = [this](int, int row) {
        if (row >= DrawGridArP->FixedRows())
            SelectInterval(static_cast<uint16_t>(row - DrawGridArP->FixedRows()));
    };
    DrawGridArA->OnSelectCell = [this](int, int row) {
        if (row >= DrawGridArA->FixedRows())
            SelectDay(static_cast<uint8_t>(std::min(row - DrawGridArA->FixedRows(), 255)));
    };

    auto* block = new QGroupBox(QStringLiteral("Blok"), TabSheetAT);
    block->setObjectName(QStringLiteral("GroupBox5"));
    SpeedButtonArZ = Button(QStringLiteral("SpeedButtonArZ"), QStringLiteral("Začiatok"), block);
    SpeedButtonArK = Button(QStringLiteral("SpeedButtonArK"), QStringLiteral("Koniec"), block);
    SpeedButtonArQ = Button(QStringLiteral("SpeedButtonArQ"), QStringLiteral("Zrušiť"), block);
    // One group of toggles in which every button may be up. A button takes
    // the row chosen before it at once; otherwise it stays pressed (yellow,
    // the block's colour) until a row is chosen.
    SpeedButtonArZ->setCheckable(true);
    SpeedButtonArK->setCheckable(true);
    SpeedButtonArZ->setToolTip(QStringLiteral("Začiatok bloku: zvolený riadok, alebo riadok zvolený po stlačení"));
    SpeedButtonArK->setToolTip(QStringLiteral("Koniec bloku: zvolený riadok, alebo riadok zvolený po stlačení"));
    for (QPushButton* b : {SpeedButtonArZ, SpeedButtonArK}) {
        connect(b, &QPushButton::clicked, this, [this, b](bool down) { BlockButtonClick(b, down); });
        connect(b, &QPushButton::toggled, this, [b](bool down) {
            QPalette look = b->parentWidget()->palette();
            if (down) {
                look.setColor(QPalette::Button, Yellow);
                look.setColor(QPalette::ButtonText, Qt::black);
            }
            b->setPalette(look);
            QFont font = b->font();
            font.setBold(down);
            b->setFont(font);
        });
    }
    connect(SpeedButtonArQ, &QPushButton::clicked, this, [this] { ClearBlockClick(); });
    auto* blockLayout = new QVBoxLayout(block);
    blockLayout->addWidget(SpeedButtonArZ);
    blockLayout->addWidget(SpeedButtonArK);
    blockLayout->addWidget(SpeedButtonArQ);
    blockLayout->addStretch(1);

    auto* tables = new QHBoxLayout(TabSheetAT);
    tables->addWidget(DrawGridArP, 3);
    auto* right = new QVBoxLayout;
    right->addWidget(DrawGridArA, 1);
    right->addWidget(block);
    tables->addLayout(right, 2);

    // The graph.
    PaintBoxArS = new TPaintBox(TabSheetAG);
    PaintBoxArS->setObjectName(QStringLiteral("PaintBoxArS"));
    ScrollBoxAr = new QScrollArea(TabSheetAG);
    ScrollBoxAr->setObjectName(QStringLiteral("ScrollBoxAr"));
    ScrollBoxAr->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ScrollBoxAr->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ScrollBoxAr->setWidgetResizable(false);
    ScrollBoxAr->setFrameShape(QFrame::NoFrame);
    PaintBoxArG = new TPaintBox;
    PaintBoxArG->setObjectName(QStringLiteral("PaintBoxArG"));
    // Opaque: it paints every pixel it is asked for, no background first.
    PaintBoxArG->setAttribute(Qt::WA_OpaquePaintEvent);
    ScrollBoxAr->setWidget(PaintBoxArG);
    ScrollBoxAr->viewport()->installEventFilter(this);
    PaintBoxArS->OnPaint = [this](QPainter& p, const QRect&) {
        DrawScale(p, View, PaintBoxArS->rect(), View.GraphWidth(ArchiveZoom) == 0, PlotHeight());
    };
    PaintBoxArG->OnPaint = [this](QPainter& p, const QRect&) {
        DrawGraph(p, View, PaintBoxArG->rect(), 255, PlotHeight(), 0, ArchiveZoom);
    };
    BitBtnZo = Button(QStringLiteral("BitBtnZo"), QStringLiteral("−"), TabSheetAG);
    BitBtnZi = Button(QStringLiteral("BitBtnZi"), QStringLiteral("+"), TabSheetAG);
    BitBtnZo->setToolTip(QStringLiteral("Zmenšiť"));
    BitBtnZi->setToolTip(QStringLiteral("Zväčšiť"));
    BitBtnZo->setEnabled(false);
    BitBtnZi->setEnabled(false);
    connect(BitBtnZo, &QPushButton::clicked, this, [this] {
        if (ArchiveZoom > 0)
            SetArchiveZoom(static_cast<uint8_t>(ArchiveZoom - 1));
    });
    connect(BitBtnZi, &QPushButton::clicked, this, [this] {
        if (ArchiveZoom < 2)
            SetArchiveZoom(static_cast<uint8_t>(ArchiveZoom + 1));
    });
    auto* zoom = new QVBoxLayout;
    zoom->addWidget(BitBtnZi);
    zoom->addWidget(BitBtnZo);
    zoom->addStretch(1);
    auto* scaleColumn = new QVBoxLayout;
    scaleColumn->addWidget(PaintBoxArS);
    scaleColumn->addStretch(1);
    auto* graph = new QHBoxLayout(TabSheetAG);
    PaintBoxArS->setFixedWidth(QFontMetrics(font()).horizontalAdvance(QStringLiteral("00000")) + 16);
    graph->addLayout(scaleColumn);
    graph->addWidget(ScrollBoxAr, 1);
    graph->addLayout(zoom);

    auto* top = new QHBoxLayout;
    top->addWidget(ButtonAr);
    top->addWidget(PanelAr);
    top->addWidget(LabelStatus, 1);
    top->addWidget(CheckBoxFast);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addWidget(PageControlA, 1);
    connect(ButtonAr, &QPushButton::clicked, this, [this] { ButtonArClick(); });

    SetRowCounts();
    SetColumnCounts();
    FitColumns();
}

void TPageArchive::SetDownloadStatus(const QString& text)
{
    LabelStatus->setText(text);
    LabelStatus->setToolTip(text);
}

// ---------------------------------------------------------------- view

void TPageArchive::OpenArchiveView(const QString& name)
{
    if (!name.isEmpty()) {
        // A month that failed to open, or a file without a month in its
        // header (unreadable, not a monthly file), leaves no name behind
        // that an output could still write to.
        const bool open = View.Open(name) && !MonthYearText(View.Month()).isEmpty();
        PanelAr->setText(open ? MonthYearText(View.Month()) : QString());
        TabSheetAM->EditF->setText(open ? MonthText(View.Month()) + QStringLiteral(".TXT") : QString());
    }
    SetColumnCounts();
    SetRowCounts();
    if (!name.isEmpty()) {
        // Another month starts at its first interval and its first day.
        for (TDrawGrid* grid : {DrawGridArP, DrawGridArA}) {
            grid->SetTopRow(grid->FixedRows());
            grid->SetLeftCol(grid->FixedCols());
        }
    }
    RefreshArchiveTables();
    TabSheetAM->ColorsChanged();
    ScrollBoxAr->horizontalScrollBar()->setValue(0);
    SetArchiveZoom(0);
}

void TPageArchive::ArchiveRecordsArrived(uint16_t month)
{
    if (month == 0 || month != View.Month())
        return;
    View.Scan();
    SetRowCounts();
    RefreshArchiveAll();
}

void TPageArchive::CheckArchiveView(bool active)
{
    if (!active || View.Month() != 0)
        return;
    if (const TFileMem* current = Archive.Current())
        OpenArchiveView(current->FileName());
}

void TPageArchive::RefreshArchiveAll()
{
    SetColumnCounts();
    RefreshArchiveTables();
    TabSheetAM->ColorsChanged();
    UpdateGraphSize();
}

void TPageArchive::RefreshArchiveTables()
{
    DrawGridArP->viewport()->update();
    DrawGridArA->viewport()->update();
}

void TPageArchive::SetRowCounts()
{
    DrawGridArP->SetRowCount(DrawGridArP->FixedRows() + std::max<int>(View.RecordCount, 1));
    DrawGridArA->SetRowCount(DrawGridArA->FixedRows() + std::max<int>(View.DayCount, 1));
}

void TPageArchive::SetColumnCounts()
{
    const int columns = 1 + std::max<int>(View.SelectedCount, 1);
    if (DrawGridArP->ColCount() != columns || DrawGridArA->ColCount() != columns) {
        DrawGridArP->SetColCount(columns);
        DrawGridArA->SetColCount(columns);
        FitColumns();
    }
}

void TPageArchive::FitColumns()
{
    // The designed widths (80 and 40 pixels for the first columns) held for
    // a small bitmap font; the texts decide here.
    const QFontMetrics fm(DrawGridArP->font());
    const int pad = 12;
    DrawGridArP->SetColWidth(0, std::max(80, fm.horizontalAdvance(QStringLiteral("00.00.  00:00")) + pad));
    DrawGridArA->SetColWidth(0, std::max(40, fm.horizontalAdvance(QStringLiteral("Spolu:")) + pad));
    const int power = fm.horizontalAdvance(QStringLiteral("00[kVAr]")) + pad;
    const int energy = fm.horizontalAdvance(QStringLiteral("<00>  [kVArh]")) + pad;
    for (int c = 1; c < DrawGridArP->ColCount(); ++c) {
        DrawGridArP->SetColWidth(c, power);
        DrawGridArA->SetColWidth(c, energy);
    }
    // Each table is at least wide enough for its first column and four
    // measurements side by side, so a day's row reads whole without
    // scrolling sideways; more measurements scroll. Set before the window
    // takes its size from the pages.
    for (auto [grid, column] : {std::pair{DrawGridArP, power}, std::pair{DrawGridArA, energy}})
        grid->setMinimumWidth(2 * grid->frameWidth() + grid->verticalScrollBar()->sizeHint().width() +
                              grid->ColWidth(0) + 4 * column + 5 * grid->GridLineWidth());
}

void TPageArchive::DrawPowerCell(QPainter& painter, int col, int row, const QRect& rect)
{
    QColor fill = DrawGridArP->Color;
    if (row == 0 || col == 0)
        fill = DrawGridArP->FixedColor;
    else if (View.InIntervalBlock(static_cast<uint16_t>(std::min(row - 1, 0xFFFF))))
        fill = Yellow;
    else if (row - 1 == PickedRecord)
        fill = Picked;
    painter.setBrush(fill);
    painter.setPen(row == 0 || col == 0 ? DrawGridArP->FixedFontColor : DrawGridArP->FontColor);
    DrawCellText(painter, rect, View.IntervalCell(row, col), TextOffset);
}

void TPageArchive::DrawEnergyCell(QPainter& painter, int col, int row, const QRect& rect)
{
    QColor fill = DrawGridArA->Color;
    if (row == 1 || col == 0)
        fill = DrawGridArA->FixedColor;
    else if (row == 0 ? View.IntervalBlockSet() : View.InDayBlock(static_cast<uint8_t>(std::min(row - 2, 255))))
        fill = Yellow;
    else if (row >= 2 && row - 2 == PickedDay)
        fill = Picked;
    painter.setBrush(fill);
    painter.setPen(row <= 1 || col == 0 ? DrawGridArA->FixedFontColor : DrawGridArA->FontColor);
    DrawCellText(painter, rect, View.DayCell(row, col), TextOffset);
}

// ---------------------------------------------------------------- block

bool TPageArchive::ApplyBlockButtons(const std::function<bool()>& setStart, const std::function<bool()>& setEnd)
{
    // A button that did its work is released; the tables repaint on a change.
    bool pressed = false;
    bool changed = false;
    for (auto [button, set] : {std::pair{SpeedButtonArZ, &setStart}, std::pair{SpeedButtonArK, &setEnd}}) {
        if (!button->isChecked())
            continue;
        pressed = true;
        if ((*set)()) {
            button->setChecked(false);
            changed = true;
        }
    }
    if (changed) {
        RefreshArchiveTables();
        TabSheetAM->CheckAM();
    }
    return pressed;
}

void TPageArchive::SelectInterval(uint16_t record)
{
    // With no button pressed the row waits for one.
    const bool taken =
        ApplyBlockButtons([&] { return View.SetBlockStart(record); }, [&] { return View.SetBlockEnd(record); });
    PickedRecord = taken ? -1 : record;
    PickedDay = -1;
    RefreshArchiveTables();
}

void TPageArchive::SelectDay(uint8_t day)
{
    const bool taken =
        ApplyBlockButtons([&] { return View.SetDayBlockStart(day); }, [&] { return View.SetDayBlockEnd(day); });
    PickedDay = taken ? -1 : day;
    PickedRecord = -1;
    RefreshArchiveTables();
    uint16_t first = 0, last = 0;
    if (!View.DayRange(day, first, last))
        return;
    // Scroll the power table so that the day's records come into view.
    const int fixed = DrawGridArP->FixedRows();
    const int pitch = DrawGridArP->RowHeight() + DrawGridArP->GridLineWidth();
    const int visible = std::max(1, DrawGridArP->viewport()->height() / pitch - fixed);
    int top = DrawGridArP->TopRow() - fixed;
    if (top > last)
        top = std::max(0, last - visible + 1);
    if (top < first)
        top = first;
    DrawGridArP->SetTopRow(top + fixed);
}

void TPageArchive::BlockButtonClick(QPushButton* button, bool down)
{
    QPushButton* other = button == SpeedButtonArZ ? SpeedButtonArK : SpeedButtonArZ;
    if (!down)
        return;
    other->setChecked(false);
    // A row chosen before the button is taken at once.
    const int record = PickedRecord;
    const int day = PickedDay;
    PickedRecord = -1;
    PickedDay = -1;
    if (record >= 0)
        SelectInterval(static_cast<uint16_t>(record));
    else if (day >= 0)
        SelectDay(static_cast<uint8_t>(day));
    // The taken row stays chosen for the other button only if this one
    // could not use it.
    if (button->isChecked()) {
        PickedRecord = -1;
        PickedDay = -1;
    }
    RefreshArchiveTables();
}

void TPageArchive::ClearBlockClick()
{
    View.ClearBlock();
    // Nothing stays pressed or chosen for a block that is gone.
    SpeedButtonArZ->setChecked(false);
    SpeedButtonArK->setChecked(false);
    PickedRecord = -1;
    PickedDay = -1;
    RefreshArchiveTables();
    TabSheetAM->CheckAM();
    SpeedButtonArQ->setDown(false);
}

// ---------------------------------------------------------------- graph

int TPageArchive::PlotHeight() const { return FPlotHeight; }

void TPageArchive::UpdateGraphSize()
{
    // The widest step shows a whole month in the view.
    View.FitScreenWidth(static_cast<uint32_t>(std::max(ScrollBoxAr->viewport()->width(), 0)));
    const uint32_t w = View.GraphWidth(ArchiveZoom);
    LayoutGraph();
    PaintBoxArG->setFixedWidth(static_cast<int>(std::min<uint32_t>(w, QWIDGETSIZE_MAX)));
    PaintBoxArG->update();
    PaintBoxArS->update();
    BitBtnZi->setEnabled(w > 0 && ArchiveZoom < 2);
    BitBtnZo->setEnabled(w > 0 && ArchiveZoom != 0);
}

void TPageArchive::SetArchiveZoom(uint8_t zoom)
{
    QScrollBar* bar = ScrollBoxAr->horizontalScrollBar();
    const uint32_t record = View.PositionToRecord(static_cast<uint32_t>(std::max(bar->value(), 0)), ArchiveZoom);
    ArchiveZoom = zoom;
    UpdateGraphSize();
    // The scroll range follows the new width only at the next layout pass;
    // set it now so the left-edge record can be kept.
    bar->setRange(0, std::max(0, PaintBoxArG->width() - ScrollBoxAr->viewport()->width()));
    bar->setValue(static_cast<int>(View.RecordToPosition(record, zoom)));
}

void TPageArchive::LayoutGraph()
{
    // The graph is as high as the scroll box's view; the scale box as high
    // as the plot, leaving the label rows under the time axis.
    const int height = std::max(ScrollBoxAr->viewport()->height(), 1);
    const int th = QFontMetrics(PaintBoxArG->font()).height();
    PaintBoxArG->setFixedHeight(height);
    FPlotHeight = std::max(height - LabelRows * th - 4, 1);
    // Below the plot, room for the label of 0 centred on its tick.
    PaintBoxArS->setFixedHeight(FPlotHeight + th);
}

bool TPageArchive::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ScrollBoxAr->viewport() && event->type() == QEvent::Resize &&
        PaintBoxArG->height() != ScrollBoxAr->viewport()->height())
        UpdateGraphSize();
    return QWidget::eventFilter(watched, event);
}

void TPageArchive::ButtonArClick()
{
    // A running output reads the shown month to its end.
    if (TabSheetAM->OutputActive())
        return;
    const QString name = Choose(Archive, window());
    if (!name.isEmpty())
        OpenArchiveView(name);
}
