#pragma once
// The ODBER page's contents: the running hour's consumption against the
// agreed energy, the optimal power and the deviations, shown from the values
// of a TInterfaceME.
#include <QString>
#include <QWidget>

#include <memory>

class QGroupBox;
class QLabel;
class QTabWidget;
class TDisps;
class TInterfaceME;

class TFrameME : public QWidget {
public:
    static constexpr uint16_t DispCapacity = 32;

    explicit TFrameME(QWidget* parent = nullptr);
    ~TFrameME() override;

    // Shows iface's values (not owned; it must outlive the frame's displays,
    // which a second Bind or the destructor frees).
    void Bind(TInterfaceME* iface);
    // Repaints what changed; on every tick, after the values have ticked.
    void Tick();

    TInterfaceME* Interface() const { return FInterface; }
    TDisps* Disps() const { return FDisps.get(); }

    QTabWidget* PageControl = nullptr;
    QWidget* TabEvaluation = nullptr;    // "VYHODNOTENIE", filled by the window
    QLabel* PanelDt = nullptr;
    QGroupBox* GroupInstant = nullptr;   // "Okamžité hodnoty"
    QGroupBox* GroupHourly = nullptr;    // "Hodinová práca"
    QGroupBox* GroupInterval = nullptr;  // "Intervalový výkon"
    QLabel* LabelPa = nullptr;
    QLabel* LabelQa = nullptr;
    QLabel* LabelCf = nullptr;
    QLabel* LabelPo = nullptr;
    QLabel* LabelPp = nullptr;
    QLabel* LabelAd = nullptr;
    QLabel* LabelAo = nullptr;
    QLabel* LabelAh = nullptr;
    QLabel* LabelAp = nullptr;
    QLabel* LabelTh = nullptr;
    QLabel* LabelPd = nullptr;
    QLabel* LabelTc = nullptr;
    QLabel* LabelPq = nullptr;
    QLabel* LabelPr = nullptr;

private:
    TInterfaceME* FInterface = nullptr;
    std::unique_ptr<TDisps> FDisps;
};
