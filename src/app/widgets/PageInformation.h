#pragma once
// The page INFORMÁCIE: the regulator's identification, its event times and
// configuration, the regulated powers with the button that opens their
// setting panel, and the program's information memo.
#include <QWidget>

#include <functional>

class QLabel;
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

    // A click on the identification.
    std::function<void()> OnIdClick;

    static QStringList InformationLines();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
