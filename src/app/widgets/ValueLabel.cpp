#include "ValueLabel.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QLayout>
#include <QPalette>

QLabel* TValueLabel::New(QWidget* parent, const char* name, int width, Qt::Alignment alignment)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setAlignment(alignment);
    label->setFixedSize(width, Height);
    // The text must not widen the label and push the page about.
    label->setTextFormat(Qt::PlainText);
    label->setMargin(1);
    label->setIndent(3);
    return label;
}

QLabel* TValueLabel::For(QWidget* parent, const char* name, const QString& sample, Qt::Alignment alignment)
{
    QFont font = parent ? parent->font() : QFont();
    font.setBold(true);
    const int width = QFontMetrics(font).horizontalAdvance(sample) + 14;
    return New(parent, name, width, alignment);
}

QLabel* TValueLabel::Caption(QWidget* parent, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setFixedHeight(Height);
    return label;
}

QGroupBox* TValueLabel::Group(QWidget* parent, const QString& title, QLayout* layout)
{
    auto* box = new QGroupBox(title, parent);
    layout->setContentsMargins(6, 4, 6, 6);
    layout->setSpacing(3);
    box->setLayout(layout);
    return box;
}

const QString& TValueLabel::DateSample()
{
    static const QString sample = QStringLiteral("00.00.0000 00:00");
    return sample;
}
