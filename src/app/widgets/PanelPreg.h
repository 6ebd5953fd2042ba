#pragma once
// The small panel of the information page where an operator who knows the
// password sets new regulated powers for VT and NT (the one write the client
// makes to the regulator).
#include <QFrame>

class QLabel;
class QLineEdit;
class QPushButton;
class TEngine;

class TPanelPreg : public QFrame {
public:
    TPanelPreg(TEngine& engine, QWidget* parent = nullptr);

    // The page's "Nastavenie" button: opens the panel with the values shown
    // now, when both are known.
    void ButtonPregClick();
    // Cancel: closes the panel, sends nothing.
    void BitBtnPregNClick();
    // Confirm: checks the password and both numbers, closes the panel and
    // sends command 7 in the schedule's next free cycle.
    void BitBtnPregYClick();

    // The page must not be left: the panel is open or a write waits for its cycle.
    bool Busy() const;

    QPushButton* BitBtnPregN = nullptr;
    QPushButton* BitBtnPregY = nullptr;
    QLineEdit* LabeledEditPassword = nullptr;
    QLineEdit* EditPregV = nullptr;
    QLineEdit* EditPregN = nullptr;
    // "Nesprávne heslo" after a confirm with a wrong password; hidden otherwise.
    QLabel* LabelPregError = nullptr;
    // Without [INE] Password anyone at the window may change the limit: the
    // panel says so.
    QLabel* LabelPregOpen = nullptr;

private:
    TEngine& Engine;
    bool Writing = false;
};
