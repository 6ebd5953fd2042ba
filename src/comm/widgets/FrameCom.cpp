#include "comm/widgets/FrameCom.h"

#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"
#include "comm/widgets/Led.h"
#include "core/Cp1250.h"
#include "core/widgets/Colors.h"
#include "core/widgets/Dialogs.h"

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
        if (LogMemo && LogMemo != logMemo)
            LogMemo->viewport()->removeEventFilter(this);
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
        LogMemo->viewport()->installEventFilter(this);
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

void TFrameCom::SetProblem(const QString& text)
{
    Problem = text;
    if (!text.isEmpty())
        setToolTip(text);
}

void TFrameCom::ShowSending(bool active)
{
    if (!Simple)
        LedT->SetOn(active);
}

void TFrameCom::ShowReceiving(bool active)
{
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

void TFrameCom::ShowLog()
{
    if (!LogMemo || !Root || Root->LogCount() == 0)
        return;
    QStringList lines;
    if (!Root->TakeLog(lines) || lines.isEmpty())
        return;
    const int first = MemoHasLines() ? LogMemo->document()->blockCount() : 0;
    if (MemoHasLines())
        LogMemo->appendPlainText(QString(79, QLatin1Char('=')));
    for (const QString& line : lines)
        LogMemo->appendPlainText(line);
    LogMemo->show();
    LogMemo->raise();
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
    if (MemoHasLines()) {
        QString name = LogFile;
        if (TDialogs::Input(QStringLiteral("Komunikácia"), QStringLiteral("Ulozit do suboru ?"), name) &&
            !name.isEmpty()) {
            QString error;
            if (!SaveTextLines(LogMemo->toPlainText().split(QLatin1Char('\n')), name, &error)) {
                // The log stays where it is, so the user can try another name.
                TDialogs::Error(QStringLiteral("%1: %2").arg(name, error));
                return;
            }
        }
        LogMemo->clear();
    }
    LogMemo->hide();
}

void TFrameCom::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        ShowLog();
    QFrame::mouseReleaseEvent(event);
}

bool TFrameCom::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (LogMemo && watched == LogMemo->viewport()) {
            SaveLog();
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}
