#pragma once
// A small SMTP client that mails the month's text file as an attachment,
// over the plain HELO dialogue or, for today's servers, over STARTTLS or TLS
// with AUTH. It runs on the main thread: while it waits for the server it
// spins a nested event loop, so the window keeps painting and the link keeps
// polling.
// Results come back as events (the window turns them into one Slovak
// message) and as the return value; nothing is thrown.
#include "core/MailSettings.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QSslSocket;

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
    // The connection and every reply give up after this long (a reply counts
    // from when its command was fully written), so a server that accepts but
    // never answers, or answers a byte at a time, cannot hang the window.
    int TimeoutMs = 30000;

    // The message.
    QString FromName;
    QString FromAddress;
    QStringList ToAddress;
    QString Subject;
    QStringList Body;
    QStringList Attachments;
    // Declared for a body of plain ASCII; a body with other characters goes
    // out as UTF-8, quoted-printable (as does one with a line over 998
    // bytes), since the plain dialogue never learns of 8BITMIME.
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

    // Connects, takes the greeting and says HELO; with security EHLO,
    // STARTTLS where asked, EHLO again and AUTH. False on any failure.
    bool Connect();
    // Composes the message, then RSET, MAIL FROM, RCPT TO for each
    // recipient, DATA and the message. True when the server accepted it.
    bool SendMail();
    // QUIT and close; silent whatever the server does.
    void Disconnect();
    bool Connected() const;

    // What must not be sent: a field that would break the lines of the
    // exchange (a line end or another control character in a header field,
    // HELO or a file name), an address that is not local-part@domain, a
    // setting that cannot be used, credentials over a connection without
    // encryption. The Slovak reason, empty when everything may be sent.
    // Connect and SendMail refuse such a message before anything reaches the
    // server.
    QString Refusal() const;
    // Why the last Connect or SendMail failed when no event tells it (a
    // refusal, the server's certificate, a missing STARTTLS); empty otherwise.
    // Never holds the password.
    QString LastError;
    // Why the last connection could not be made, as the system says it
    // (refused, unreachable, no answer in time); empty after a connection.
    QString ConnectionProblem;
    // The last OnAuthenticationFailed came from a refused AUTH, not HELO.
    bool LoginRefused = false;

    // The address of a recipient entry: between "<" and ">", else after ":",
    // else the whole entry; blanks around it dropped.
    static QString RecipientAddress(const QString& entry);
    // local-part@domain as a MAIL FROM or RCPT TO path can carry it: a
    // dot-atom local part, one "@", a domain name or an address literal.
    static bool ValidAddress(const QString& address);

    // The boundary form, for readers of the messages.
    static constexpr const char* BoundaryPrefix = "====================54535";

private:
    enum class TWaitResult { Done, Broken, TimedOut };
    TWaitResult Wait(const std::function<bool()>& done);
    // The code of the next whole reply (every line of a multi-line one), or
    // -1 when the connection broke or the server fell silent.
    int Reply();
    int Command(const QString& line);
    int Command(const QByteArray& line);
    // Connects (and for TLS finishes the handshake); false with the event or
    // LastError already given.
    bool Open(const QString& host, bool& unresolved);
    // The secure dialogue after the greeting: EHLO, STARTTLS, EHLO, AUTH.
    bool Secure();
    // HELO, or EHLO with extended; a refusal raises OnAuthenticationFailed.
    bool Hello(bool extended);
    bool RetryAfterRefusal(int attempt);
    bool Encrypt();
    bool Authenticate();
    // Why the handshake failed, from the certificate errors.
    QString TlsProblem() const;
    // Why the server refused a command: a clearer text than "CHYBA !" when
    // it asks for AUTH or encryption.
    void ExplainRefusal();
    bool ComposeMessage(QByteArray& message);
    // The connection cannot be trusted any more (a time-out or a broken
    // reply): drop it without a word.
    void Drop();
    // A nested wait is running: no second exchange may start inside it.
    bool Busy = false;

    QSslSocket* Socket = nullptr;
    QByteArray Incoming;
    QList<QByteArray> LastLines;   // the lines of the last reply
};

// The message the window shows for what happened during one send.
namespace MailText {
inline const QString InvalidHost = QStringLiteral("Nesprávny server !");
inline const QString ConnectionFailed = QStringLiteral("Chyba pri nadviazaní spojenia !");
inline const QString AuthenticationFailed = QStringLiteral("Neznámy užívateľ !");
inline const QString NoSender = QStringLiteral("Chýba adresa odosielateľa !");
inline const QString NoRecipient = QStringLiteral("Chýba adresa príjemcu !");
inline const QString Failure = QStringLiteral("Správa neodoslaná !");
inline const QString Error = QStringLiteral("CHYBA !");
inline const QString Sent = QStringLiteral("Správa odoslaná");
inline const QString LoginRefused = QStringLiteral("Server odmietol prihlásenie (MAIL Login, Password) !");
QString RecipientNotFound(const QString& entry);
QString AttachmentNotFound(const QString& fileName);
} // namespace MailText

// Binds the eight events: each leaves its message in mailMessage (a later
// one overwrites an earlier one); success calls sent at once, while the
// exchange is still open.
void BindMailEvents(TMailClient& client, QString& mailMessage, std::function<void()> sent);
// Connect, SendMail when connected, Disconnect when still connected. A
// failure that left no message gives the refusal or "CHYBA !". True when the
// server accepted the message.
bool DeliverMail(TMailClient& client, QString& mailMessage);
