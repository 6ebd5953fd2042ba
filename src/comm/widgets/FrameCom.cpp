#include "comm/widgets/FrameCom.h"

#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"
#include "comm/widgets/Led.h"
#include "core/Cp1250.h"
#include "core/widgets/Colors.h"
#include "core/widgets/Dialogs.h"

#include <QDateTime>
#include <QFontDatabase>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QStringList>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

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
    PendingCode = code;
}

void TFrameCom::SetLinkDown(bool down, const QString& text)
{
    LinkDown = down;
    LinkText = text;
    if (down)
        SetLedC(Red, LedC->text());
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
    if (Simple) {
        LedR->setToolTip(QStringLiteral("Príjem: pri spojení cez UDP nesvieti; výsledok ukazuje ľavé políčko"));
        LedT->setToolTip(QStringLiteral("Vysielanie: pri spojení cez UDP nesvieti; výsledok ukazuje ľavé políčko"));
        return;
    }
    const auto last = [](qint64 at) {
        return at == 0 ? QStringLiteral("zatiaľ nikdy") : QStringLiteral("naposledy ") + ClockText(at);
    };
    LedR->setToolTip(QStringLiteral("Príjem: svieti, kým prichádza odpoveď regulátora; ") + last(LastReceived));
    LedT->setToolTip(QStringLiteral("Vysielanie: svieti, kým sa posiela požiadavka; ") + last(LastSent));
}

void TFrameCom::SetProblem(const QString& text)
{
    Problem = text;
    if (!text.isEmpty())
        setToolTip(text);
}

void TFrameCom::ShowSending(bool active)
{
    if (active)
        LastSent = QDateTime::currentMSecsSinceEpoch();
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

void TFrameCom::ShowLog()
{
    if (!LogMemo || !Root || Root->LogCount() == 0)
        return;
    std::vector<TComList::TEntry> entries;
    if (!Root->TakeLogEntries(entries) || entries.empty())
        return;
    const int first = MemoHasLines() ? LogMemo->document()->blockCount() : 0;
    if (MemoHasLines())
        LogMemo->appendPlainText(QString(79, QLatin1Char('=')));
    for (const TComList::TEntry& entry : entries)
        LogMemo->appendPlainText(LogLine(entry, LogCommand));
    LogMemo->show();
    if (LogView) {
        LogView->show();
        LogView->raise();
    }
    LogMemo->raise();
    LogMemo->setFocus();
    // The direction and length at the start of each line stay in view; the
    // new block is shown from its first line, or whole when it fits.
    LogMemo->setTextCursor(QTextCursor(LogMemo->document()->findBlockByNumber(first)));
    LogMemo->horizontalScrollBar()->setValue(0);
    QScrollBar* vertical = LogMemo->verticalScrollBar();
    vertical->setValue(std::min(first, vertical->maximum()));
}

void TFrameCom::SaveLog()
{
    if (!LogMemo)
        return;
    if (!MemoHasLines()) {
        HideLog();
        return;
    }
    QString name = LogFile;
    if (!TDialogs::Input(QStringLiteral("Komunikácia"), QStringLiteral("Uložiť do súboru?"), name) || name.isEmpty())
        return;
    QString error;
    if (!SaveTextLines(LogMemo->toPlainText().split(QLatin1Char('\n')), name, &error)) {
        // The log stays where it is, so the user can try another name.
        TDialogs::Error(QStringLiteral("%1: %2").arg(name, error));
        return;
    }
    LogMemo->clear();
    HideLog();
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

