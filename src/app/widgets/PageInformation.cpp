#include "PageInformation.h"

#include "ValueLabel.h"

#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString& DateSample = TValueLabel::DateSample();

} // namespace

QStringList TPageInformation::InformationLines()
{
    return {
        QStringLiteral("QDRWin - klient regulátora maxima QDR"),
        QStringLiteral("Sledovanie odberu, nastavenie regulovaného výkonu,"),
        QStringLiteral("sťahovanie a prezeranie archívu meraní."),
        QStringLiteral("Spojenie: sériová linka RS-485 alebo UDP (port 10001)."),
        QStringLiteral("(c) 2002-2026 autori programu QDRWin"),
        QStringLiteral("Kliknutím na identifikáciu sa zobrazí ladiace okno."),
    };
}

TPageInformation::TPageInformation(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheetI"));

    auto* idBox = new QVBoxLayout;
    LabelId = TValueLabel::New(this, "LabelId", 100, Qt::AlignCenter);
    LabelId->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("QDR-3 MAX DEMAND REGULATOR V3.0 2002")) + 40);
    LabelId->setMaximumWidth(QWIDGETSIZE_MAX);
    LabelId->setCursor(Qt::PointingHandCursor);
    LabelId->installEventFilter(this);
    idBox->addWidget(LabelId);

    auto* events = new QGridLayout;
    LabelTres = TValueLabel::For(this, "LabelTres", DateSample, Qt::AlignCenter);
    LabelTnmi = TValueLabel::For(this, "LabelTnmi", DateSample, Qt::AlignCenter);
    LabelTini = TValueLabel::For(this, "LabelTini", DateSample, Qt::AlignCenter);
    LabelTcfg = TValueLabel::For(this, "LabelTcfg", DateSample, Qt::AlignCenter);
    const std::pair<QString, QLabel*> eventRows[] = {
        {QStringLiteral("Posledný RESET"), LabelTres},
        {QStringLiteral("Posledný výpadok napätia"), LabelTnmi},
        {QStringLiteral("Inicializácia"), LabelTini},
        {QStringLiteral("Zmena konfigurácie"), LabelTcfg},
    };
    int row = 0;
    for (const auto& [caption, label] : eventRows) {
        events->addWidget(TValueLabel::Caption(this, caption), row, 0);
        events->addWidget(label, row++, 1);
    }

    auto* config = new QGridLayout;
    LabelKem = TValueLabel::For(this, "LabelKem", QStringLiteral("0000"));
    LabelKrs = TValueLabel::For(this, "LabelKrs", QStringLiteral("0000"));
    LabelKso = TValueLabel::For(this, "LabelKso", QStringLiteral("0000"));
    const std::pair<QString, QLabel*> configRows[] = {
        {QStringLiteral("Počet elektromerov"), LabelKem},
        {QStringLiteral("Počet stupňov regulácie"), LabelKrs},
        {QStringLiteral("Počet spotrebičov"), LabelKso},
    };
    row = 0;
    for (const auto& [caption, label] : configRows) {
        config->addWidget(TValueLabel::Caption(this, caption), row, 0);
        config->addWidget(label, row++, 1);
    }

    auto* preg = new QGridLayout;
    LabelPregV = TValueLabel::For(this, "LabelPregV", QStringLiteral("00000"));
    LabelPregN = TValueLabel::For(this, "LabelPregN", QStringLiteral("00000"));
    ButtonPreg = new QPushButton(QStringLiteral("Nastavenie"), this);
    ButtonPreg->setObjectName(QStringLiteral("ButtonPreg"));
    PanelPregPlace = new QWidget(this);
    PanelPregPlace->setObjectName(QStringLiteral("PanelPregPlace"));
    auto* place = new QVBoxLayout(PanelPregPlace);
    place->setContentsMargins(0, 0, 0, 0);
    preg->addWidget(TValueLabel::Caption(this, QStringLiteral("VT [kW]")), 0, 0);
    preg->addWidget(LabelPregV, 0, 1);
    preg->addWidget(TValueLabel::Caption(this, QStringLiteral("NT [kW]")), 1, 0);
    preg->addWidget(LabelPregN, 1, 1);
    preg->addWidget(ButtonPreg, 2, 0, 1, 2);
    preg->addWidget(PanelPregPlace, 0, 2, 4, 1, Qt::AlignLeft | Qt::AlignTop);
    preg->setColumnStretch(2, 1);
    preg->setRowStretch(3, 1);

    MemoInf = new QPlainTextEdit(this);
    MemoInf->setObjectName(QStringLiteral("MemoInf"));
    MemoInf->setReadOnly(true);
    MemoInf->setFrameStyle(QFrame::NoFrame);
    MemoInf->viewport()->setAutoFillBackground(false);
    MemoInf->setPlainText(InformationLines().join(QLatin1Char('\n')));

    auto* left = new QVBoxLayout;
    left->addWidget(TValueLabel::Group(this, QStringLiteral("Udalosti"), events));
    left->addWidget(TValueLabel::Group(this, QStringLiteral("Konfigurácia"), config));
    left->addStretch(1);
    ListAlerts = new QListWidget(this);
    ListAlerts->setObjectName(QStringLiteral("ListAlerts"));
    ListAlerts->setWordWrap(true);
    ListAlerts->setTextElideMode(Qt::ElideNone);
    ListAlerts->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ListAlerts->setSelectionMode(QAbstractItemView::NoSelection);
    ListAlerts->setFocusPolicy(Qt::NoFocus);
    auto* alerts = new QVBoxLayout;
    alerts->setContentsMargins(0, 0, 0, 0);
    alerts->addWidget(ListAlerts);

    auto* right = new QVBoxLayout;
    right->addWidget(TValueLabel::Group(this, QStringLiteral("Regulovaný výkon"), preg));
    right->addWidget(MemoInf, 1);
    GroupAlerts = TValueLabel::Group(this, QString(), alerts);
    right->addWidget(GroupAlerts, 1);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 0);
    columns->addLayout(right, 1);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(6, 6, 6, 6);
    page->addWidget(TValueLabel::Group(this, QStringLiteral("Identifikácia regulátora"), idBox));
    page->addLayout(columns, 1);
    SetAlerts({});
}

bool TPageInformation::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == LabelId && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && OnIdClick)
        OnIdClick();
    return QWidget::eventFilter(watched, event);
}

void TPageInformation::SetAlerts(const QStringList& lines)
{
    GroupAlerts->setTitle(lines.isEmpty() ? QStringLiteral("Platné upozornenia: žiadne")
                                          : QStringLiteral("Platné upozornenia: %1").arg(lines.size()));
    ListAlerts->clear();
    for (const QString& line : lines) {
        auto* item = new QListWidgetItem(line, ListAlerts);
        item->setToolTip(line);
    }
}
