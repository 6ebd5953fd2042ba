#pragma once
// The page MERANIE: the live measurement, the maxima, the meters, the
// regulator's archive table and the appliances and signals. Controls only;
// the main window binds them to the engine's values.
#include <QWidget>

class QLabel;
class QTabBar;
class TDrawGrid;
class TDrawList;

class TPageMeasurement : public QWidget {
    Q_OBJECT
public:
    explicit TPageMeasurement(QWidget* parent = nullptr);

    QLabel* LabelTd;
    QLabel* LabelTc;
    QLabel* LabelTa;
    QLabel* LabelPa;
    QLabel* LabelPr;
    QLabel* LabelPj; // the running interval's projected power
    QLabel* LabelRs;
    QLabel* LabelPmV;
    QLabel* LabelTmV;
    QLabel* LabelPmN;
    QLabel* LabelTmN;
    QLabel* LabelTr;
    TDrawGrid* DrawGridEm;
    TDrawGrid* DrawGridAr;
    TDrawList* ListBoxIO;
    QTabBar* TabControlIO;
};
