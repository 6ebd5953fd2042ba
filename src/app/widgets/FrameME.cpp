#include "app/widgets/FrameME.h"

#include "core/widgets/Colors.h"
#include "values/InterfaceME.h"
#include "values/widgets/DispLimit.h"
#include "values/widgets/DispString.h"
#include "values/widgets/Disps.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

const QString IntervalCaption = QStringLiteral("Intervalový výkon");

// Wide enough for the longest figure of the page (-999, 65535, a clock), so
// that the columns stay put while the numbers change.
constexpr int ValueWidth = 72;

QLabel* ValueLabel(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFixedWidth(ValueWidth);
    label->setMinimumHeight(21);
    label->setMargin(1);
    label->setIndent(4);
    // The displays take these as the fresh colours.
    QPalette p = label->palette();
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(p);
    label->setAutoFillBackground(true);
    return label;
}

QLabel* Text(QWidget* parent, const QString& text) { return new QLabel(text, parent); }

// One row of a group: caption, value, unit and optionally a second value
// with its unit (the deviation in percent).
void Row(QGridLayout* grid, int row, const QString& caption, QLabel* value, const QString& unit = {},
         QLabel* second = nullptr, const QString& secondUnit = {})
{
    QWidget* parent = grid->parentWidget();
    if (!caption.isEmpty())
        grid->addWidget(Text(parent, caption), row, 0);
    grid->addWidget(value, row, 1);
    if (!unit.isEmpty())
        grid->addWidget(Text(parent, unit), row, 2);
    if (second)
        grid->addWidget(second, row, 3);
    if (!secondUnit.isEmpty())
        grid->addWidget(Text(parent, secondUnit), row, 4);
}

QGridLayout* GroupGrid(QGroupBox* group)
{
    auto* grid = new QGridLayout(group);
    grid->setHorizontalSpacing(8);
    grid->setColumnStretch(5, 1);
    return grid;
}

}

TFrameME::TFrameME(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("FrameME"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    PageControl = new QTabWidget(this);
    PageControl->setObjectName(QStringLiteral("PageControlME"));
    outer->addWidget(PageControl);

    auto* main = new QWidget(PageControl);
    PageControl->addTab(main, QStringLiteral("HLAVNÉ MERANIE"));
    TabEvaluation = new QWidget(PageControl);
    TabEvaluation->setObjectName(QStringLiteral("TabEvaluation"));
    PageControl->addTab(TabEvaluation, QStringLiteral("VYHODNOTENIE"));

    auto* column = new QVBoxLayout(main);
    auto* top = new QHBoxLayout;
    top->addStretch(1);
    PanelDt = new QLabel(main);
    PanelDt->setObjectName(QStringLiteral("PanelDt"));
    PanelDt->setFrameStyle(QFrame::Panel | QFrame::Raised);
    PanelDt->setAlignment(Qt::AlignCenter);
    PanelDt->setMinimumSize(160, 25);
    top->addWidget(PanelDt);
    column->addLayout(top);

    GroupInstant = new QGroupBox(QStringLiteral("Okamžité hodnoty"), main);
    GroupInstant->setObjectName(QStringLiteral("GroupInstant"));
    QGridLayout* g = GroupGrid(GroupInstant);
    LabelPa = ValueLabel(GroupInstant, "LabelPa");
    LabelQa = ValueLabel(GroupInstant, "LabelQa");
    LabelCf = ValueLabel(GroupInstant, "LabelCf");
    LabelPo = ValueLabel(GroupInstant, "LabelPo");
    LabelPp = ValueLabel(GroupInstant, "LabelPp");
    Row(g, 0, QStringLiteral("Činný výkon"), LabelPa, QStringLiteral("kW"));
    Row(g, 1, QStringLiteral("Jalový výkon"), LabelQa, QStringLiteral("kVAr"));
    Row(g, 2, QStringLiteral("Účinník"), LabelCf);
    Row(g, 3, QStringLiteral("Optimálny výkon"), LabelPo, QStringLiteral("kW    ="), LabelPp, QStringLiteral("%"));
    column->addWidget(GroupInstant);

    GroupHourly = new QGroupBox(QStringLiteral("Hodinová práca"), main);
    GroupHourly->setObjectName(QStringLiteral("GroupHourly"));
    g = GroupGrid(GroupHourly);
    LabelAd = ValueLabel(GroupHourly, "LabelAd");
    LabelAo = ValueLabel(GroupHourly, "LabelAo");
    LabelAh = ValueLabel(GroupHourly, "LabelAh");
    LabelAp = ValueLabel(GroupHourly, "LabelAp");
    LabelTh = ValueLabel(GroupHourly, "LabelTh");
    Row(g, 0, QStringLiteral("dohodnutá"), LabelAd, QStringLiteral("kWh"));
    Row(g, 1, QStringLiteral("optimálna"), LabelAo, QStringLiteral("kWh"));
    Row(g, 2, QStringLiteral("nameraná"), LabelAh, QStringLiteral("kWh   ="), LabelAp, QStringLiteral("%"));
    Row(g, 3, QString(), LabelTh);
    column->addWidget(GroupHourly);

    GroupInterval = new QGroupBox(IntervalCaption, main);
    GroupInterval->setObjectName(QStringLiteral("GroupInterval"));
    g = GroupGrid(GroupInterval);
    LabelPd = ValueLabel(GroupInterval, "LabelPd");
    LabelTc = ValueLabel(GroupInterval, "LabelTc");
    LabelPq = ValueLabel(GroupInterval, "LabelPq");
    LabelPr = ValueLabel(GroupInterval, "LabelPr");
    Row(g, 0, QStringLiteral("dovolený"), LabelPd, QStringLiteral("kW"));
    Row(g, 1, QString(), LabelTc);
    Row(g, 2, QStringLiteral("optimálny"), LabelPq, QStringLiteral("kW"));
    Row(g, 3, QStringLiteral("nameraný"), LabelPr, QStringLiteral("kW"));
    column->addWidget(GroupInterval);
    column->addStretch(1);

    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

TFrameME::~TFrameME() = default;

void TFrameME::Bind(TInterfaceME* iface)
{
    FDisps.reset();
    FInterface = iface;
    if (!iface) {
        GroupInterval->setTitle(IntervalCaption);
        return;
    }
    GroupInterval->setTitle(IntervalCaption + QStringLiteral("  [%1 min]").arg(iface->IntervalMinutes));

    FDisps = std::make_unique<TDisps>(DispCapacity);
    TDisps& d = *FDisps;
    d.Add(TDispString::CreateLabel(iface->AllowedPower, LabelPd));
    d.Add(TDispString::CreateLabel(iface->AgreedEnergy, LabelAd));
    d.Add(TDispString::CreatePanel(iface->TimeStamp, PanelDt));
    d.Add(TDispString::CreateLabel(iface->IntervalTime, LabelTc));
    d.Add(TDispString::CreateLabel(iface->Power, LabelPa));
    d.Add(TDispString::CreateLabel(iface->ReactivePower, LabelQa));
    d.Add(TDispString::CreateLabel(iface->PowerFactor, LabelCf));
    d.Add(TDispString::CreateLabel(iface->AveragePower, LabelPr));
    d.Add(TDispString::CreateLabel(iface->OptimalIntervalPower, LabelPq));
    d.Add(TDispString::CreateLabel(iface->MeasuredEnergy, LabelAh));
    d.Add(TDispString::CreateLabel(iface->HourTime, LabelTh));
    d.Add(TDispString::CreateLabel(iface->OptimalPower, LabelPo));
    d.Add(TDispString::CreateLabel(iface->OptimalEnergy, LabelAo));

    // Index f picks the colour of a negative deviation: for the power a
    // shortfall is bad (red), for the energy an excess is.
    const QColor colors[2] = {Colors::Green, Colors::Red};
    auto percent = [&](TValue* value, QLabel* label, int f) {
        auto disp = std::make_unique<TDispInt>(value, label);
        disp->SetLow(0);
        disp->SetHigh(0);
        disp->SetLowColors(colors[f], Qt::white);
        disp->SetHighColors(colors[1 - f], Qt::white);
        d.Add(std::move(disp));
    };
    percent(iface->PowerDeviation, LabelPp, 1);
    percent(iface->EnergyDeviation, LabelAp, 0);
}

void TFrameME::Tick()
{
    if (FDisps)
        FDisps->UpdateAll();
}
