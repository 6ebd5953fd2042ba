#include "comm/widgets/FrameCom.h"

#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"
#include "comm/widgets/Led.h"
#include "core/Cp1250.h"
#include "core/widgets/Colors.h"
#include "core/widgets/Dialogs.h"
#include "core/SafeFile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>

namespace {

using namespace Colors;

QString ClockText(qint64 ms)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
    // Another day than today is told by its date too.
    if (at.date() != QDate::currentDate())
        return at.toString(QStringLiteral("d.M.yyyy HH:mm:ss"));
    return at.toString(QStringLiteral("HH:mm:ss"));
}

void SetBackground(QWidget* w, const QColor& background, const QColor& text)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    w->setPalette(p);
}

}

TFrameCom::TFrameCom(QWidget* parent)
    : QFrame(parent)
{
    setFixedSize(73, 25);
    setAutoFillBackground(true);
    SetBackground(this, Grey, Qt::black);

    LedC = new QLabel(this);
    LedC->setObjectName(QStringLiteral("LedC"));
    LedC->setGeometry(4, 4, 17, 17);
    LedC->setAlignment(Qt::AlignCenter);
    LedC->setTextFormat(Qt::PlainText);
    LedC->setAutoFillBackground(true);
    QFont bold = LedC->font();
    bold.setBold(true);
    LedC->setFont(bold);
    SetBackground(LedC, Qt::white, Qt::white);

    LedR = new TLed(this, Yellow);
    LedR->setObjectName(QStringLiteral("LedR"));
    LedR->move(28, 4);
    LedT = new TLed(this, Yellow);
    LedT->setObjectName(QStringLiteral("LedT"));
    LedT->move(52, 4);
}

void TFrameCom::Bind(TComBufQDR* link, QPlainTextEdit* logMemo, const QString& logFile)
{
    // The log is set up even without a link, so it never shows as an
    // editable box of its own.
    if (logMemo) {
        LogMemo = logMemo;
        LogFile = logFile;
        LogMemo->setReadOnly(true);
        LogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
        QFont font(QStringLiteral("Courier New"));
        font.setStyleHint(QFont::TypeWriter);
        font.setFixedPitch(true);
        if (!QFontInfo(font).fixedPitch())
            font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        LogMemo->setFont(font);
        // A long session keeps the newest lines only.
        LogMemo->setMaximumBlockCount(20000);
        LogMemo->hide();
    }
    if (!link)
        return;
    Link = link;
    TComRootInterface* root = nullptr;
    if (!link->FindRoot(root) || !root)
        return;
    Root = root;
    Simple = width() < 28 || root->IsDatagram();

    // The root outlives the frame in some shut-down orders, so each handler
    // checks that the frame is still there before touching it; a handler set
    // before the frame's still runs after it.
    QPointer<TFrameCom> self(this);
    const auto chain = [self](auto before, auto show) {
        return [self, before, show](auto value) {
            if (self)
                (self.data()->*show)(value);
            if (before)
                before(value);
        };
    };
    root->OnStatus = chain(root->OnStatus, &TFrameCom::ShowStatus);
    root->OnTimer = [self, before = root->OnTimer](void* sender) {
        if (self)
            self->Tick();
        if (before)
            before(sender);
    };
    if (auto* thread = dynamic_cast<TComThreadInterface*>(root)) {
        thread->OnSending = chain(thread->OnSending, &TFrameCom::ShowSending);
        thread->OnReceiving = chain(thread->OnReceiving, &TFrameCom::ShowReceiving);
        thread->OnWaiting = chain(thread->OnWaiting, &TFrameCom::ShowWaiting);
    }
}

QColor TFrameCom::ResultColor(uint8_t code)
{
    switch (code) {
    case 0: return Green;
    case 1: return Red;
    case 2: return Blue;
    default: return Fuchsia;
    }
}

void TFrameCom::SetLedC(const QColor& background, const QString& text)
{
    if (LedC->palette().color(QPalette::Window) != background)
        SetBackground(LedC, background, Qt::white);
    if (LedC->text() != text)
        LedC->setText(text);
}

void TFrameCom::Tick()
{
    if (!Root)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - HintsAt >= 1000)
        UpdateHints(now);
    AppendLog();
    // A regulator that does not answer: red, whatever the exchanges in
    // between do, so the lamp does not flicker yellow while waiting in vain.
    if (LinkDown) {
        WaitingDue = false;
        WaitingShown = false;
        if (PendingCode >= 0) {
            const auto code = static_cast<uint8_t>(PendingCode);
            PendingCode = -1;
            if (code != ShownCode) {
                ShownCode = code;
                ShownSince = now;
                UpdateHints(now);
            }
            SetLedC(Red, code <= 2 ? QString() : QString(Root->CodeChar(code)).trimmed());
        } else {
            SetLedC(Red, LedC->text());
        }
        return;
    }
    if (WaitingDue && !WaitingShown) {
        WaitingDue = false;
        WaitingShown = true;
        SetLedC(Yellow, LedC->text());
        return;
    }
    WaitingShown = false;
    if (PendingCode < 0)
        return;
    const auto code = static_cast<uint8_t>(PendingCode);
    PendingCode = -1;
    if (code != ShownCode) {
        ShownCode = code;
        ShownSince = now;
        UpdateHints(now);
    }
    // The label shows plain text, so an ampersand needs no doubling here.
    const QString letter = code <= 2 ? QString() : QString(Root->CodeChar(code)).trimmed();
    SetLedC(ResultColor(code), letter);
}

void TFrameCom::ShowStatus(uint8_t code)
{
    if (!Root)
        return;
    if (code == 0)
        setToolTip(Root->Description());
    else
        setToolTip(Problem.isEmpty() ? Root->CodeText(code) : Root->CodeText(code) + QStringLiteral(": ") + Problem);
    if (code == 0 && ReplyingSince == 0 && !LinkDown)
        ReplyingSince = QDateTime::currentMSecsSinceEpoch();
    PendingCode = code;
}

void TFrameCom::SetLinkDown(bool down, const QString& text)
{
    LinkDown = down;
    LinkText = text;
    if (down) {
        ReplyingSince = 0;
        SetLedC(Red, LedC->text());
    }
    UpdateHints(QDateTime::currentMSecsSinceEpoch());
}

void TFrameCom::UpdateHints(qint64 now)
{
    HintsAt = now;
    QString result;
    if (ShownCode < 0)
        result = QStringLiteral("Výsledok výmeny s regulátorom: zatiaľ žiadna výmena");
    else
        result = QStringLiteral("Výsledok výmeny s regulátorom: %1 od %2")
                     .arg(ShownCode == 0 ? QStringLiteral("v poriadku") : Root ? Root->CodeText(uint8_t(ShownCode)) : QString(),
                          ClockText(ShownSince));
    if (LinkDown && !LinkText.isEmpty())
        result = LinkText + QLatin1Char('\n') + result;
    if (!Problem.isEmpty())
        result += QLatin1Char('\n') + Problem;
    LedC->setToolTip(result);
    // What each lamp shows, then since when it has been so and when it last
    // lit; on a datagram link they stay dark and the letter lamp tells all.
    const QString dark = QStringLiteral("pri spojení cez UDP nesvieti, výsledok každej výmeny ukazuje ľavé políčko");
    const QString at = QStringLiteral("%1 od %2, naposledy o %3.");
    QString received = QStringLiteral("Príjem: ") +
                       (Simple ? dark : QStringLiteral("svieti, kým prichádza odpoveď regulátora")) + QStringLiteral(".\n");
    if (LastReceived == 0)
        received += QStringLiteral("Regulátor zatiaľ neodpovedal.");
    else if (LinkDown)
        received += (LinkText.isEmpty() ? QStringLiteral("Regulátor neodpovedá") : LinkText) +
                    QStringLiteral(", posledná odpoveď o %1.").arg(ClockText(LastReceived));
    else if (ReplyingSince != 0)
        received += at.arg(QStringLiteral("Regulátor odpovedá"), ClockText(ReplyingSince), ClockText(LastReceived));
    else
        received += QStringLiteral("Posledná odpoveď o %1.").arg(ClockText(LastReceived));
    LedR->setToolTip(received);
    QString sent = QStringLiteral("Vysielanie: ") +
                   (Simple ? dark : QStringLiteral("svieti, kým sa regulátoru posiela požiadavka")) + QStringLiteral(".\n");
    if (LastSent == 0)
        sent += QStringLiteral("Zatiaľ sa neposlala žiadna požiadavka.");
    else
        sent += at.arg(QStringLiteral("Požiadavky sa posielajú"), ClockText(SendingSince), ClockText(LastSent));
    LedT->setToolTip(sent);
}

void TFrameCom::SetProblem(const QString& text)
{
    Problem = text;
    if (!text.isEmpty())
        setToolTip(text);
}

void TFrameCom::ShowSending(bool active)
{
    if (active) {
        LastSent = QDateTime::currentMSecsSinceEpoch();
        if (SendingSince == 0)
            SendingSince = LastSent;
    }
    if (!Simple)
        LedT->SetOn(active);
}

void TFrameCom::ShowReceiving(bool active)
{
    if (active)
        LastReceived = QDateTime::currentMSecsSinceEpoch();
    if (!Simple)
        LedR->SetOn(active);
}

void TFrameCom::ShowWaiting(bool active)
{
    if (active && Simple)
        WaitingDue = true;
}

bool TFrameCom::MemoHasLines() const
{
    return LogMemo && !LogMemo->document()->isEmpty();
}

QString TFrameCom::LogLine(const TComList::TEntry& entry, int& command)
{
    // A request carries its command in its third byte; a reply belongs to
    // the request before it.
    if (entry.Kind == '>' && entry.Data.size() >= 3)
        command = static_cast<uint8_t>(entry.Data.at(2));
    QString what;
    if (entry.Kind == '#')
        what = QStringLiteral("zahodené");
    else if (command >= 0)
        what = QStringLiteral("%1 %2").arg(command, 2).arg(TComBufQDR::CommandName(uint8_t(command)));
    const QString time = QDateTime::fromMSecsSinceEpoch(entry.Time).toString(QStringLiteral("HH:mm:ss.zzz"));
    // The direction, then the command, then the bytes as before.
    const QString bytes = TComList::EntryText(entry);
    return time + QLatin1Char(' ') + bytes.left(1) + QLatin1Char(' ') + what.leftJustified(24, QLatin1Char(' ')) +
           bytes.mid(1);
}

bool TFrameCom::AppendEntries(bool separated)
{
    std::vector<TComList::TEntry> entries;
    if (!LogMemo || !Root || Root->LogCount() == 0 || !Root->TakeLogEntries(entries) || entries.empty())
        return false;
    if (separated && MemoHasLines())
        LogMemo->appendPlainText(QString(79, QLatin1Char('=')));
    for (const TComList::TEntry& entry : entries)
        LogMemo->appendPlainText(LogLine(entry, LogCommand));
    return true;
}

void TFrameCom::ShowLog()
{
    if (!AppendEntries(true))
        return;
    LogMemo->show();
    if (LogView) {
        LogView->show();
        LogView->raise();
    }
    LogMemo->raise();
    LogMemo->setFocus();
    // On the newest entry, with the direction and length at the start of
    // each line in view.
    LogMemo->moveCursor(QTextCursor::End);
    LogMemo->moveCursor(QTextCursor::StartOfBlock);
    LogMemo->horizontalScrollBar()->setValue(0);
    LogMemo->verticalScrollBar()->setValue(LogMemo->verticalScrollBar()->maximum());
}

void TFrameCom::AppendLog()
{
    if (!LogMemo || SavingLog || !LogMemo->isVisible())
        return;
    QScrollBar* vertical = LogMemo->verticalScrollBar();
    QScrollBar* horizontal = LogMemo->horizontalScrollBar();
    const bool following = vertical->value() >= vertical->maximum();
    const int column = horizontal->value();
    if (!AppendEntries(false))
        return;
    horizontal->setValue(column);
    if (following)
        vertical->setValue(vertical->maximum());
}

QString TFrameCom::SaveLogFailed(const QString& path, const QString& reason)
{
    return QStringLiteral("Záznam komunikácie sa nepodarilo uložiť do súboru \"%1\": %2")
        .arg(QDir::toNativeSeparators(path), reason);
}

void TFrameCom::SaveLog()
{
    if (!LogMemo)
        return;
    AppendLog();
    if (!MemoHasLines()) {
        HideLog();
        return;
    }
    // What the log holds now is what goes to the file, however long the
    // name takes: the new entries wait in the ring meanwhile.
    const QStringList lines = LogMemo->toPlainText().split(QLatin1Char('\n'));
    QPointer<TFrameCom> self(this);
    SavingLog = true;
    QString name = LogFile;
    const bool confirmed =
        TDialogs::Input(QStringLiteral("Komunikácia"), QStringLiteral("Uložiť do súboru?"), name) && !name.isEmpty();
    if (!self)
        return;
    SavingLog = false;
    if (!confirmed)
        return;
    const QString path = QFileInfo(name).absoluteFilePath();
    TFileError error;
    if (!SaveTextLines(lines, path, error)) {
        // The log stays where it is, so the user can try another name.
        TDialogs::Error(SaveLogFailed(path, SlovakFileReason(error)));
        return;
    }
    LogMemo->clear();
    HideLog();
    TDialogs::Message(QStringLiteral("Záznam komunikácie je uložený v súbore \"%1\".").arg(QDir::toNativeSeparators(path)));
}

void TFrameCom::HideLog()
{
    if (LogView)
        LogView->hide();
    else if (LogMemo)
        LogMemo->hide();
}

void TFrameCom::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        ShowLog();
    QFrame::mouseReleaseEvent(event);
}

