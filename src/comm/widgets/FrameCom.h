#pragma once
// The link's status at a glance: the letter and colour of the last
// exchange's result (red while the regulator does not answer), the send and
// receive lamps, each with a hint of what it shows and since when, and the
// way to the communication log (click the frame to show it; the log's own
// buttons save it or go back to the pages).
#include "comm/ComList.h"

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
    // What is shown and hidden with the log (the memo with its buttons);
    // the memo alone when not set.
    QWidget* LogView = nullptr;

    // Moves the log ring's entries into the memo, each with its time and
    // the command's name, and shows it on the newest entry. While shown, the
    // link's tick adds the new entries, and the memo follows them as long as
    // it is scrolled to the bottom: scrolled up, it stays where the operator
    // reads until scrolled back down.
    void ShowLog();
    // Offers to save the memo's lines as they are at the call (no entry is
    // added while the name is asked); once saved, says the file's full path,
    // clears the lines and hides them. Cancelled or failed, the log stays as
    // it is, and a failure says why.
    void SaveLog();
    // What a failed save says. reason is the file layer's own, as SafeFile
    // words it: this is the one place where a Slovak wording of it goes.
    static QString SaveLogFailed(const QString& path, const QString& reason);
    // Back to the pages; the lines stay for the next ShowLog.
    void HideLog();
    // One log entry as the memo shows it; command is the request the entry
    // belongs to (a reply carries none of its own), updated by a request.
    static QString LogLine(const TComList::TEntry& entry, int& command);

    // The engine's link state: while down the letter lamp stays red and its
    // hint says since when the regulator does not answer (text).
    void SetLinkDown(bool down, const QString& text = QString());
    bool LinkDown = false;

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

private:
    TComRootInterface* Root = nullptr;
    void SetLedC(const QColor& background, const QString& text);
    // The lamps' hints, from what they show and since when.
    void UpdateHints(qint64 now);
    int PendingCode = -1;     // result not painted yet
    int ShownCode = -1;       // result painted last
    qint64 ShownSince = 0;    // when that result began, ms since the epoch
    qint64 LastSent = 0;
    qint64 LastReceived = 0;
    qint64 SendingSince = 0;  // the first request
    qint64 ReplyingSince = 0; // the first good reply since the link was down
    bool SavingLog = false;
    // The ring's new entries to the memo (behind a separator from earlier
    // lines when separated); false when there were none.
    bool AppendEntries(bool separated);
    // While the log is shown: the new entries, the memo staying on the
    // newest line when it was there.
    void AppendLog();
    qint64 HintsAt = 0;
    QString LinkText;
    int LogCommand = -1;      // the request of the entries taken last
    bool WaitingDue = false;  // a waiting phase began since the last paint
    bool WaitingShown = false;
    // The memo holds lines: the document is not just its one empty block.
    bool MemoHasLines() const;
};
