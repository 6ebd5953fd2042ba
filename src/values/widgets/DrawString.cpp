#include "values/widgets/DrawString.h"

#include <QLabel>

void TDrawString::GetColors(QColor& background, QColor& text) const
{
    background = Qt::white;
    text = Qt::black;
}

void TDrawString::SetColors(const QColor&, const QColor&) {}

TDrawLabel::TDrawLabel(QLabel* label)
    : Label(label)
{
    if (!label)
        return;
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setAlignment((label->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
}

void TDrawLabel::GetColors(QColor& background, QColor& text) const
{
    if (!Label) {
        TDrawString::GetColors(background, text);
        return;
    }
    const QPalette palette = Label->palette();
    background = palette.color(QPalette::Window);
    text = palette.color(QPalette::WindowText);
}

void TDrawLabel::SetColors(const QColor& background, const QColor& text)
{
    if (!Label)
        return;
    QPalette palette = Label->palette();
    if (palette.color(QPalette::Window) == background && palette.color(QPalette::WindowText) == text
        && Label->autoFillBackground())
        return;
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::WindowText, text);
    Label->setPalette(palette);
    Label->setAutoFillBackground(true);
}

void TDrawLabel::SetText(const QString& text)
{
    if (Label && Label->text() != text)
        Label->setText(text);
}

TDrawPanel::TDrawPanel(QLabel* panel)
    : TDrawLabel(panel)
{
    if (!panel)
        return;
    if (panel->frameShape() == QFrame::NoFrame)
        panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setAlignment(Qt::AlignCenter);
}
