#include "PageMeasurement.h"

#include "ValueLabel.h"
#include "core/widgets/DrawGrid.h"
#include "core/widgets/DrawList.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QTabBar>
#include <QVBoxLayout>

namespace {

const QString& DateSample = TValueLabel::DateSample();
const QString PowerSample = QStringLiteral("00000");

// Fixed rows and columns sized to the cells, so the grid shows all of
// itself without scroll bars.
void SizeGrid(TDrawGrid* grid, const QList<int>& widths, int rows, int fixedCols)
{
    grid->SetColCount(int(widths.size()));
    grid->SetRowCount(rows);
    grid->SetFixedRows(1);
    grid->SetFixedCols(fixedCols);
    grid->SetRowHeight(16);
    int total = 0;
    for (int c = 0; c < widths.size(); ++c) {
        grid->SetColWidth(c, widths[c]);
        total += widths[c] + grid->GridLineWidth();
    }
    const int frame = 2 * grid->frameWidth();
    grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid->setFixedSize(total + frame, rows * (grid->RowHeight() + grid->GridLineWidth()) + frame);
}

} // namespace

TPageMeasurement::TPageMeasurement(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheetM"));
    auto captionAt = [](QWidget* w, const QString& text) { return TValueLabel::Caption(w, text); };

    auto* live = new QGridLayout;
    LabelTd = TValueLabel::For(this, "LabelTd", DateSample, Qt::AlignCenter);
    LabelTc = TValueLabel::For(this, "LabelTc", DateSample, Qt::AlignCenter);
    LabelTa = TValueLabel::For(this, "LabelTa", DateSample, Qt::AlignCenter);
    LabelPa = TValueLabel::For(this, "LabelPa", DateSample);
    LabelPr = TValueLabel::For(this, "LabelPr", DateSample);
    LabelRs = TValueLabel::For(this, "LabelRs", DateSample);
    LabelPj = TValueLabel::For(this, "LabelPj", DateSample);
    const std::pair<QString, QLabel*> liveRows[] = {
        {QStringLiteral("Čas merania"), LabelTd},
        {QStringLiteral("Čas v intervale"), LabelTc},
        {QStringLiteral("Tarifa"), LabelTa},
        {QStringLiteral("Okamžitý výkon [kW]"), LabelPa},
        {QStringLiteral("Priemerný výkon [kW]"), LabelPr},
        {QStringLiteral("Predpoklad intervalu [kW]"), LabelPj},
        {QStringLiteral("Stupeň regulácie"), LabelRs},
    };
    int row = 0;
    for (const auto& [caption, label] : liveRows) {
        live->addWidget(captionAt(this, caption), row, 0);
        live->addWidget(label, row++, 1, Qt::AlignRight);
    }

    auto* maxima = new QGridLayout;
    LabelPmV = TValueLabel::For(this, "LabelPmV", PowerSample);
    LabelTmV = TValueLabel::For(this, "LabelTmV", DateSample, Qt::AlignCenter);
    LabelPmN = TValueLabel::For(this, "LabelPmN", PowerSample);
    LabelTmN = TValueLabel::For(this, "LabelTmN", DateSample, Qt::AlignCenter);
    LabelTr = TValueLabel::For(this, "LabelTr", DateSample, Qt::AlignCenter);
    maxima->addWidget(captionAt(this, QStringLiteral("Maximum VT [kW]")), 0, 0);
    maxima->addWidget(LabelPmV, 0, 1);
    maxima->addWidget(LabelTmV, 0, 2);
    maxima->addWidget(captionAt(this, QStringLiteral("Maximum NT [kW]")), 1, 0);
    maxima->addWidget(LabelPmN, 1, 1);
    maxima->addWidget(LabelTmN, 1, 2);
    maxima->addWidget(captionAt(this, QStringLiteral("Nulovanie maxím")), 2, 0, 1, 2);
    maxima->addWidget(LabelTr, 2, 2);

    auto* io = new QVBoxLayout;
    TabControlIO = new QTabBar(this);
    TabControlIO->setObjectName(QStringLiteral("TabControlIO"));
    TabControlIO->addTab(QStringLiteral("Spotrebiče"));
    TabControlIO->addTab(QStringLiteral("Signály"));
    TabControlIO->setExpanding(false);
    TabControlIO->setDrawBase(false);
    ListBoxIO = new TDrawList(this);
    ListBoxIO->setObjectName(QStringLiteral("ListBoxIO"));
    ListBoxIO->SetItemHeight(15);
    ListBoxIO->setMinimumHeight(4 * 15 + 4);
    io->setSpacing(0);
    io->addWidget(TabControlIO);
    io->addWidget(ListBoxIO, 1);

    DrawGridEm = new TDrawGrid(this);
    DrawGridEm->setObjectName(QStringLiteral("DrawGridEm"));
    const int emName = fontMetrics().horizontalAdvance(QStringLiteral("MERANIE         \\         Výkon :")) + 8;
    const int emValue = fontMetrics().horizontalAdvance(QStringLiteral("priemerný")) + 10;
    SizeGrid(DrawGridEm, {emName, emValue, emValue, fontMetrics().horizontalAdvance(QStringLiteral("[kVAr]")) + 10},
             13, 1);
    DrawGridAr = new TDrawGrid(this);
    DrawGridAr->setObjectName(QStringLiteral("DrawGridAr"));
    SizeGrid(DrawGridAr,
             {fontMetrics().horizontalAdvance(QStringLiteral("ARCHÍV 0000")) + 10,
              fontMetrics().horizontalAdvance(QStringLiteral("Počet záznamov")) + 10,
              fontMetrics().horizontalAdvance(QStringLiteral("... stratených")) + 10},
             3, 0);

    auto* left = new QVBoxLayout;
    left->addWidget(TValueLabel::Group(this, QStringLiteral("Meranie"), live));
    left->addWidget(TValueLabel::Group(this, QStringLiteral("Maximá"), maxima));
    left->addWidget(TValueLabel::Group(this, QStringLiteral("Spotrebiče a signály"), io), 1);

    auto* em = new QVBoxLayout;
    em->addWidget(DrawGridEm);
    auto* ar = new QVBoxLayout;
    ar->addWidget(DrawGridAr);
    auto* right = new QVBoxLayout;
    right->addWidget(TValueLabel::Group(this, QStringLiteral("Elektromery"), em));
    right->addWidget(TValueLabel::Group(this, QStringLiteral("Archív v regulátore"), ar));
    right->addStretch(1);

    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(6, 6, 6, 6);
    page->addLayout(left, 1);
    page->addLayout(right, 0);
}
