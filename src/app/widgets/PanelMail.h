#pragma once
// The small composition panel over the measurements table: the user sees the
// subject, types a message and sends the text file to the address of the
// sheet. The panel owns nothing of the window; the caller says where the
// recipients and the file name come from and keeps the busy flag.
#include <QFrame>
#include <QPointer>
#include <QString>

#include <functional>

class QEventLoop;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TMailClient;

class TPanelMail : public QFrame {
public:
    // client may be null (no mailing); its events are bound to the panel's
    // messages while the panel lives.
    explicit TPanelMail(TMailClient* client, QWidget* parent = nullptr);
    // Without a client until SetClient gives one.
    explicit TPanelMail(QWidget* parent = nullptr)
        : TPanelMail(static_cast<TMailClient*>(nullptr), parent)
    {
    }
    ~TPanelMail() override;
    TPanelMail(const TPanelMail&) = delete;
    TPanelMail& operator=(const TPanelMail&) = delete;

    void SetClient(TMailClient* client);
    TMailClient* Client() const;

    // Opens the panel with the subject "Mesacny archiv" and an empty message
    // and returns when it is closed again (sent or cancelled), processing
    // events meanwhile. recipients and attachment are read when the user
    // sends (each try). True when the server accepted the message.
    bool Compose(std::function<QString()> recipients, std::function<QString()> attachment);
    // "Zrušiť": closes the panel, sends nothing.
    void ButtonMNClick();
    // "Odoslať": sends and shows the outcome; closes the panel once the
    // message went out, keeps it with its text after a failure.
    void ButtonMYClick();

    QLabel* Label29 = nullptr;
    QLineEdit* EditS = nullptr;
    QPushButton* ButtonMN = nullptr;
    QPushButton* ButtonMY = nullptr;
    QPlainTextEdit* MemoM = nullptr;
    // What the client's events left for the user during one send.
    QString MailMessage;
    // Why the last try of the mail being composed failed; empty after a
    // success or while nothing was tried.
    QString Failure;

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void Close();

    QPointer<TMailClient> MailClient;
    std::function<QString()> Recipients;
    std::function<QString()> Attachment;
    QEventLoop* Waiting = nullptr;
    bool Sending = false;
    bool Accepted = false;
};
