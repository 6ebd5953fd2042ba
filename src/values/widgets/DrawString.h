#pragma once
// Drawers: a display paints through one of these, so that one display class
// serves labels and panels alike. Every operation does nothing without a
// control.
#include <QColor>
#include <QPointer>
#include <QString>

class QLabel;

class TDrawString {
public:
    virtual ~TDrawString() = default;
    virtual void GetColors(QColor& background, QColor& text) const;
    virtual void SetColors(const QColor& background, const QColor& text);
    virtual void SetText(const QString& text) = 0;
};

// A label: bold, vertically centred; its background and text colours are
// the display's.
class TDrawLabel : public TDrawString {
public:
    explicit TDrawLabel(QLabel* label);
    void GetColors(QColor& background, QColor& text) const override;
    void SetColors(const QColor& background, const QColor& text) override;
    void SetText(const QString& text) override;

protected:
    QPointer<QLabel> Label;
};

// A panel: a framed label with centred bold text.
class TDrawPanel : public TDrawLabel {
public:
    explicit TDrawPanel(QLabel* panel);
};
