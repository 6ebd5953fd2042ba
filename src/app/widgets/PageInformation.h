#pragma once
// The page INFORMÁCIE: the regulator's identification, its event times and
// configuration, the regulated powers with the button that opens their
// setting panel, the program's information memo and the alerts in force.
#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

class TPageInformation : public QWidget {
    Q_OBJECT
public:
    explicit TPageInformation(QWidget* parent = nullptr);

    QLabel* LabelId;
    QLabel* LabelTres;
    QLabel* LabelTnmi;
    QLabel* LabelTini;
    QLabel* LabelTcfg;
    QLabel* LabelKem;
    QLabel* LabelKrs;
    QLabel* LabelKso;
    QLabel* LabelPregV;
    QLabel* LabelPregN;
    QPushButton* ButtonPreg;
    // Where the regulated-power panel goes, beside the two powers; it has a
    // layout for it.
    QWidget* PanelPregPlace;
    QPlainTextEdit* MemoInf;
    // The alerts in force, newest first, each whole with its time (the
    // status line may cut them).
    QListWidget* ListAlerts;
    QGroupBox* GroupAlerts;   // its title counts them, or says there are none
    void SetAlerts(const QStringList& lines);

    // A click on the identification.
    std::function<void()> OnIdClick;

    static QStringList InformationLines();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
