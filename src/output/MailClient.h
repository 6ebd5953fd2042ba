#pragma once
// The mail client of the window and of qdrtool: mails the month's text file
// as an attachment through the server of section MAIL. It fills a message
// (TMailMessage) and runs the dialogue (TSmtpDialogue) while a nested event
// loop keeps the window painting and the link polling, then turns the
// outcome into its events (the window makes one Slovak message of them) and
// its return value; nothing is thrown. A caller that must not wait at all
// (the alerts) uses SendMail of SmtpDialogue.h instead.
#include "core/MailSettings.h"
#include "output/MailMessage.h"
#include "output/SmtpDialogue.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QEventLoop;

class TMailClient : public QObject {
public:
    explicit TMailClient(QObject* parent = nullptr);
    ~TMailClient() override;
    TMailClient(const TMailClient&) = delete;
    TMailClient& operator=(const TMailClient&) = delete;

    // Settings.
    QString Host;
    int Port = 25;
    QString UserID;   // the argument of HELO or EHLO
    TMailSecurity Security = TMailSecurity::None;
    QString Login;    // AUTH only when set, and only over an encrypted connection
    QString Password;
    QString CAFile;   // PEM certificates trusted besides the system's store
    // Set from the configuration: why no mail may be sent (see TMailSettings).
    QString SettingsProblem;
    // True: the message fields (sender included) are emptied after each send.
    bool ClearParams = true;
    // The connection and every reply give up after this long, so a server
    // that accepts but never answers, or answers a byte at a time, cannot
    // hang the window; the whole dialogue after DialogueTimeoutMs (0: as
    // TSmtpDialogue::DialogueLimitMs has it for the message's size).
    int TimeoutMs = 30000;
    qint64 DialogueTimeoutMs = 0;
    // The largest message for a server that states no SIZE.
    qint64 SizeLimit = TSmtpDialogue::DefaultSizeLimit;

    // The message.
    QString FromName;
    QString FromAddress;
    QStringList ToAddress;
    QString Subject;
    QStringList Body;
    QStringList Attachments;
    QString Charset = QStringLiteral("us-ascii");

    // Events. A handler that sets handled asks for another attempt (after
    // changing the settings); left false, the attempt ends.
    std::function<void(bool& handled)> OnInvalidHost;
    std::function<void()> OnConnectionFailed;
    std::function<void(bool& handled)> OnAuthenticationFailed;
    // kind 1: no sender address, 2: no recipient address.
    std::function<void(bool& handled, int kind)> OnHeaderIncomplete;
    std::function<void(const QString& entry)> OnRecipientNotFound;
    std::function<void(const QString& fileName)> OnAttachmentNotFound;
    std::function<void()> OnFailure;
    std::function<void()> OnSuccess;

    // Server and sender from the configuration; the message fields are kept
    // between sends.
    void Configure(const TMailSettings& settings);

    // Sends the message and waits for the outcome with events processed:
    // true when the server accepted it. Every check of Refusal comes before
    // a connection; a refused recipient ends the send before DATA.
    bool Deliver();
    // A send holds a connection to the server.
    bool Connected() const;

    // What must not be sent: a field that would break the lines of the
    // exchange, an address that is not local-part@domain, a setting that
    // cannot be used, credentials over a connection without encryption. The
    // Slovak reason, empty when everything may be sent.
    QString Refusal() const;
    // Why the last send failed, in Slovak (the server's reply where it gave
    // one); empty after a success. Never holds the password.
    QString LastError;
    // The whole outcome of the last send.
    TMailResult LastResult;
    // The last OnAuthenticationFailed came from a refused AUTH, not HELO.
    bool LoginRefused = false;

    static QString RecipientAddress(const QString& entry) { return MailRecipientAddress(entry); }
    static bool ValidAddress(const QString& address) { return MailValidAddress(address); }

    // The boundary form, for readers of the messages.
    static constexpr const char* BoundaryPrefix = TMailEncoding::BoundaryPrefix;

private:
    TMailMessage Message() const;
    TSmtpDialogue* Dialogue = nullptr;
    QEventLoop* Waiting = nullptr;
};

// Binds the eight events: each leaves its message in mailMessage (a later
// one overwrites an earlier one); success calls sent.
void BindMailEvents(TMailClient& client, QString& mailMessage, std::function<void()> sent);
// Deliver; a failure that left no message gives the reason or "CHYBA !".
// True when the server accepted the message.
bool DeliverMail(TMailClient& client, QString& mailMessage);
