#include "AlertView.h"

#include "ValueLabel.h"
#include "core/widgets/Colors.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <cmath>

namespace {

// Paints a figure as the displays do: black on white, white on red while
// it warns. Only a change repaints.
void Paint(QLabel* label, bool warn)
{
    const QColor back = warn ? Colors::Red : Colors::White;
    if (label->palette().color(QPalette::Window) == back)
        return;
    QPalette p = label->palette();
    p.setColor(QPalette::Window, back);
    p.setColor(QPalette::WindowText, warn ? Colors::White : Colors::Black);
    label->setPalette(p);
}

QString Clock(int seconds) { return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0')); }

} // namespace

void TAlertView::ShowProjection(QLabel* label, const TAlerts::TProjection& p)
{
    label->setText(p.Valid ? QString::number(std::lround(p.Projected)) : QString());
    Paint(label, p.Valid && p.Above);
}

TFrameProjection::TFrameProjection(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("FrameProjection"));
    const QString sample = QStringLiteral("00000 %");
    LabelInterval = new QLabel(this);
    LabelInterval->setObjectName(QStringLiteral("LabelInterval"));
    LabelProjected = TValueLabel::For(this, "LabelProjected", sample);
    LabelLimit = TValueLabel::For(this, "LabelLimit", sample);
    LabelShare = TValueLabel::For(this, "LabelShare", sample);
    LabelPeak = TValueLabel::For(this, "LabelPeak", sample);
    LabelPeakTime = TValueLabel::For(this, "LabelPeakTime", TValueLabel::DateSample(), Qt::AlignCenter);
    LabelLimitCaption = TValueLabel::Caption(this, QStringLiteral("Limit"));
    BarElapsed = new QProgressBar(this);
    BarElapsed->setObjectName(QStringLiteral("BarElapsed"));
    BarElapsed->setTextVisible(false);
    LabelElapsed = new QLabel(this);
    LabelElapsed->setObjectName(QStringLiteral("LabelElapsed"));
    LabelElapsed->setMinimumWidth(LabelElapsed->fontMetrics().horizontalAdvance(QStringLiteral("00:00 / 00:00")) + 4);

    auto* interval = new QGridLayout;
    interval->addWidget(LabelInterval, 0, 0, 1, 3);
    interval->addWidget(TValueLabel::Caption(this, QStringLiteral("Predpoklad na konci intervalu")), 1, 0);
    interval->addWidget(LabelProjected, 1, 1);
    interval->addWidget(TValueLabel::Caption(this, QStringLiteral("kW")), 1, 2);
    interval->addWidget(LabelLimitCaption, 2, 0);
    interval->addWidget(LabelLimit, 2, 1);
    interval->addWidget(TValueLabel::Caption(this, QStringLiteral("kW")), 2, 2);
    interval->addWidget(TValueLabel::Caption(this, QStringLiteral("Predpoklad z limitu")), 3, 0);
    interval->addWidget(LabelShare, 3, 1);
    interval->addWidget(TValueLabel::Caption(this, QStringLiteral("Uplynulo z intervalu")), 4, 0);
    auto* elapsed = new QHBoxLayout;
    elapsed->addWidget(BarElapsed, 1);
    elapsed->addWidget(LabelElapsed);
    interval->addLayout(elapsed, 4, 1, 1, 3);
    interval->setColumnStretch(3, 1);

    auto* month = new QGridLayout;
    month->addWidget(TValueLabel::Caption(this, QStringLiteral("Najvyšší uzavretý interval")), 0, 0);
    month->addWidget(LabelPeak, 0, 1);
    month->addWidget(TValueLabel::Caption(this, QStringLiteral("kW  od")), 0, 2);
    month->addWidget(LabelPeakTime, 0, 3);
    LabelPeakWait = new QLabel(QStringLiteral("Čaká sa na archív tohto mesiaca."), this);
    LabelPeakWait->setObjectName(QStringLiteral("LabelPeakWait"));
    LabelPeakWait->setWordWrap(true);
    month->addWidget(LabelPeakWait, 1, 0, 1, 5);
    month->setColumnStretch(4, 1);

    auto* column = new QVBoxLayout(this);
    column->addWidget(TValueLabel::Group(this, QStringLiteral("Bežiaci interval"), interval));
    column->addWidget(TValueLabel::Group(this, QStringLiteral("Tento mesiac podľa archívu"), month));
    column->addStretch(1);
}

void TFrameProjection::Show(const TAlerts::TProjection& p, const TAlerts::TMonthPeak& peak, uint16_t reserve)
{
    if (p.Valid) {
        LabelInterval->setText(QStringLiteral("Interval od %1 (%2 min), tarifa %3")
                                   .arg(p.Start.toString(QStringLiteral("d.M. HH:mm")))
                                   .arg(p.Length / 60)
                                   .arg(p.Tariff ? QStringLiteral("NT") : QStringLiteral("VT")));
        LabelProjected->setText(QString::number(std::lround(p.Projected)));
        LabelLimit->setText(QString::number(p.Limit));
        LabelLimitCaption->setText(reserve ? QStringLiteral("Limit (varuje od %1 kW)").arg(p.Threshold) : QStringLiteral("Limit"));
        LabelShare->setText(QStringLiteral("%1 %").arg(std::lround(p.Limit ? 100.0 * p.Projected / p.Limit : 0.0)));
        BarElapsed->setRange(0, p.Length);
        BarElapsed->setValue(std::min<int>(p.Elapsed, p.Length));
        LabelElapsed->setText(QStringLiteral("%1 / %2").arg(Clock(std::min<int>(p.Elapsed, p.Length)), Clock(p.Length)));
    } else {
        LabelInterval->setText(QStringLiteral("Bežiaci interval nie je známy"));
        LabelProjected->clear();
        LabelLimit->clear();
        LabelShare->clear();
        BarElapsed->setRange(0, 1);
        BarElapsed->setValue(0);
        LabelElapsed->clear();
    }
    Paint(LabelProjected, p.Valid && p.Above);
    Paint(LabelShare, p.Valid && p.Above);
    if (peak.Valid) {
        LabelPeak->setText(QString::number(peak.Power));
        LabelPeakTime->setText(peak.Start.toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    } else {
        LabelPeak->clear();
        LabelPeakTime->clear();
    }
    LabelPeakWait->setVisible(!peak.Valid);
}
