#pragma once
// Message, confirmation and input boxes. Every dialog of the program goes
// through here, so that a test can answer them without a modal loop: with a
// responder installed no box is shown and the responder's answer is taken.
#include <QString>

#include <functional>

class QWidget;

struct TDialogRequest {
    enum Kind { Message, Error, Confirm, Input, Warning };
    Kind Type = Message;
    QString Caption;
    QString Text;   // the message, or the prompt of an input box
    QString Value;  // input boxes: the offered value; the responder may change it
};

class TDialogs {
public:
    // Returns true for OK/Yes. Null restores the real boxes.
    using TResponder = std::function<bool(TDialogRequest& request)>;
    static void SetResponder(TResponder responder);
    static void SetParent(QWidget* parent);

    static void Message(const QString& text, const QString& caption = QString());
    // Something did not work, and the program goes on: a warning box.
    static void Warning(const QString& text, const QString& caption = QString());
    // "CHYBA !" and the like: an error box.
    static void Error(const QString& text, const QString& caption = QString());
    // Yes and No buttons; true for Yes.
    static bool Confirm(const QString& text, const QString& caption = QString());
    // An input box offering value; true and the typed text in value when confirmed.
    static bool Input(const QString& caption, const QString& prompt, QString& value);
};

// The Confirm text function of the toolkit.
inline bool Confirm(const QString& text) { return TDialogs::Confirm(text); }
