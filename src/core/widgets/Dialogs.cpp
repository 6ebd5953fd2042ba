#include "core/widgets/Dialogs.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {
TDialogs::TResponder& Responder()
{
    static TDialogs::TResponder responder;
    return responder;
}

QPointer<QWidget>& Parent()
{
    static QPointer<QWidget> parent;
    return parent;
}

QString CaptionOr(const QString& caption)
{
    return caption.isEmpty() ? QCoreApplication::applicationName() : caption;
}

// Asks the responder when one is installed; false in handled when the real
// box has to be shown.
bool Answer(TDialogRequest::Kind kind, const QString& caption, const QString& text, QString* value, bool& handled)
{
    handled = static_cast<bool>(Responder());
    if (!handled)
        return false;
    TDialogRequest request;
    request.Type = kind;
    request.Caption = CaptionOr(caption);
    request.Text = text;
    if (value)
        request.Value = *value;
    const bool ok = Responder()(request);
    if (value && ok)
        *value = request.Value;
    return ok;
}

void ShowBox(QMessageBox::Icon icon, const QString& text, const QString& caption)
{
    QMessageBox box(icon, CaptionOr(caption), text, QMessageBox::Ok, Parent());
    box.exec();
}
} // namespace

void TDialogs::SetResponder(TResponder responder) { Responder() = std::move(responder); }

void TDialogs::SetParent(QWidget* parent) { Parent() = parent; }

void TDialogs::Message(const QString& text, const QString& caption)
{
    bool handled;
    Answer(TDialogRequest::Message, caption, text, nullptr, handled);
    if (!handled)
        ShowBox(QMessageBox::Information, text, caption);
}

void TDialogs::Warning(const QString& text, const QString& caption)
{
    bool handled;
    Answer(TDialogRequest::Warning, caption, text, nullptr, handled);
    if (!handled)
        ShowBox(QMessageBox::Warning, text, caption);
}

void TDialogs::Error(const QString& text, const QString& caption)
{
    bool handled;
    Answer(TDialogRequest::Error, caption, text, nullptr, handled);
    if (!handled)
        ShowBox(QMessageBox::Critical, text, caption);
}

bool TDialogs::Confirm(const QString& text, const QString& caption)
{
    bool handled;
    const bool ok = Answer(TDialogRequest::Confirm, caption, text, nullptr, handled);
    if (handled)
        return ok;
    QMessageBox box(QMessageBox::Question, CaptionOr(caption), text, QMessageBox::NoButton, Parent());
    QPushButton* yes = box.addButton(QStringLiteral("Áno"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("Nie"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

bool TDialogs::Input(const QString& caption, const QString& prompt, QString& value)
{
    bool handled;
    const bool ok = Answer(TDialogRequest::Input, caption, prompt, &value, handled);
    if (handled)
        return ok;
    QInputDialog dialog(Parent());
    dialog.setWindowTitle(CaptionOr(caption));
    dialog.setLabelText(prompt);
    dialog.setTextValue(value);
    dialog.setOkButtonText(QStringLiteral("OK"));
    dialog.setCancelButtonText(QStringLiteral("Zrušiť"));
    if (dialog.exec() != QDialog::Accepted)
        return false;
    value = dialog.textValue();
    return true;
}
