#pragma once
// What the window shows of the alerts: the projected power of the running
// interval beside the interval power on MERANIE (red while above the limit
// less the reserve), and the VYHODNOTENIE sheet of ODBER with the
// projection against the limit, the elapsed part of the interval and this
// month's highest closed interval from the archive.
#include "alerts/Alerts.h"

#include <QWidget>

class QLabel;
class QProgressBar;

class TAlertView {
public:
    // The MERANIE figure: the projected kW, red while above the threshold,
    // empty while no projection is known.
    static void ShowProjection(QLabel* label, const TAlerts::TProjection& projection);
};

class TFrameProjection : public QWidget {
public:
    explicit TFrameProjection(QWidget* parent = nullptr);

    void Show(const TAlerts::TProjection& projection, const TAlerts::TMonthPeak& peak, uint16_t reserve);

    QLabel* LabelInterval = nullptr;   // "Interval od 10:15 (15 min)"
    QLabel* LabelProjected = nullptr;  // kW
    QLabel* LabelLimit = nullptr;      // kW
    QLabel* LabelShare = nullptr;      // projection in % of the limit
    QProgressBar* BarElapsed = nullptr;
    QLabel* LabelElapsed = nullptr;    // "0:15 / 1:00" beside the bar, never under its chunk
    QLabel* LabelPeak = nullptr;       // kW
    QLabel* LabelPeakTime = nullptr;
    // Says why the peak is not shown yet: the month's archive is awaited.
    QLabel* LabelPeakWait = nullptr;
    QLabel* LabelLimitCaption = nullptr;
};
