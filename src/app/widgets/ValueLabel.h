#pragma once
// The look every page gives its figures: a bold label on a sunken white
// panel, one line high. The displays take these design colours as the fresh
// state and paint ageing and missing over them, so the colours live in the
// palette (a style sheet would override what the displays set).
#include <QLabel>

class QGroupBox;
class QLayout;

class TValueLabel {
public:
    static constexpr int Height = 21;
    static QLabel* New(QWidget* parent, const char* name, int width,
                       Qt::Alignment alignment = Qt::AlignRight | Qt::AlignVCenter);
    // As wide as sample needs in the bold font, so a date or a figure of
    // that shape always fits whatever font the desktop uses.
    static QLabel* For(QWidget* parent, const char* name, const QString& sample,
                       Qt::Alignment alignment = Qt::AlignRight | Qt::AlignVCenter);
    // A plain caption beside a figure.
    static QLabel* Caption(QWidget* parent, const QString& text);
    // A titled group of a page, holding layout.
    static QGroupBox* Group(QWidget* parent, const QString& title, QLayout* layout);
    // The widest date and time a label shows.
    static const QString& DateSample();
};
