#pragma once
// The link's status at a glance: the letter and colour of the last
// exchange's result, the send and receive lamps, and the way to the
// communication log (click the frame to show it, click the log to save it).
#include <QColor>
#include <QFrame>
#include <QString>

#include <cstdint>

class QLabel;
class QPlainTextEdit;
class TComBufQDR;
class TComRootInterface;
class TLed;

class TFrameCom : public QFrame {
public:
    explicit TFrameCom(QWidget* parent = nullptr);

    // Hooks the frame onto the root layer of link, keeping the handlers
    // installed there before and calling them after its own. With a memo the
    // frame shows and saves the log in it; logFile is the name a save offers.
    void Bind(TComBufQDR* link, QPlainTextEdit* logMemo, const QString& logFile);

    // Moves the log ring's entries into the memo and shows it.
    void ShowLog();
    // Offers to save the memo's lines, then clears and hides it.
    void SaveLog();

    // The result and the waiting phase are noted as they happen and painted
    // on the link's next 100 ms tick (Tick), at most one change per tick: a
    // download asks ten times a second, and repainting the lamp twice per
    // exchange costs more than the exchange. A waiting phase shorter than a
    // tick is still shown, for one tick, before its result.
    void ShowStatus(uint8_t code);
    void ShowSending(bool active);
    void ShowReceiving(bool active);
    void ShowWaiting(bool active);
    void Tick();

    // A configuration the link cannot use: the hint of every failed
    // exchange says what is wrong instead of the bare result text.
    void SetProblem(const QString& text);
    QString Problem;

    // The background of LedC for a result code.
    static QColor ResultColor(uint8_t code);

    TComBufQDR* Link = nullptr;
    bool Simple = false;
    QPlainTextEdit* LogMemo = nullptr;
    QString LogFile;

    QLabel* LedC = nullptr;
    TLed* LedR = nullptr;
    TLed* LedT = nullptr;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TComRootInterface* Root = nullptr;
    void SetLedC(const QColor& background, const QString& text);
    int PendingCode = -1;     // result not painted yet
    bool WaitingDue = false;  // a waiting phase began since the last paint
    bool WaitingShown = false;
    // The memo holds lines: the document is not just its one empty block.
    bool MemoHasLines() const;
};
