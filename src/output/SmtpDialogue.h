#pragma once
// The SMTP dialogue: the connection (TLS from the first byte where asked),
// the greeting, HELO or EHLO, STARTTLS, AUTH, the envelope and the message as
// TMailEncoding lays it out. It runs on the event loop of the thread that
// starts it and never waits inside a call: Start returns at once and the
// outcome comes back through a callback, so a slow or hostile server never
// delays whatever else that loop serves.
//
// Every wait is bounded: the connection and each reply by StepTimeoutMs (a
// message going out keeps it alive while it moves), and the whole dialogue
// by DialogueTimeoutMs, so a server that takes the message a byte at a time
// cannot hold the client for ever either.
#include "core/MailSettings.h"
#include "output/MailMessage.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QSslSocket;
class TSmtpReply;

// What ended a send.
enum class TMailFault {
    None,
    Refused,          // the message or the settings cannot be sent as they are; nothing reached a server
    NoSender,
    NoRecipient,
    AttachmentMissing,
    TooLarge,         // over the server's SIZE, or the stated limit without one
    InvalidHost,      // no host, or a name that does not resolve
    ConnectionFailed, // refused, unreachable, or no TLS handshake
    Tls,              // the certificate, or a STARTTLS that failed
    NoGreeting,       // connected, but no greeting came
    GreetingRefused,
    HelloRefused,     // HELO or EHLO refused (the identity, or encryption required)
    LoginRefused,
    SenderRefused,    // RSET or MAIL FROM refused
    RecipientRefused,
    DataRefused,
    ClosedAfterData,  // the server closed after the DATA command
    NoReplyAfterData, // and did not answer it
    ClosedAfter354,   // closed while the message went out or before its reply
    NoReplyAfterMessage, // no answer to the message's end: whether it was taken is not known
    MessageRefused,
    Broken,           // closed, or silent, elsewhere in the dialogue
    TimedOut,         // the whole dialogue took longer than its bound
};

struct TMailResult {
    bool Sent = false;
    TMailFault Fault = TMailFault::None;
    // Why not, in Slovak for the user (the server's reply where it gave
    // one); empty when sent. Never holds the password.
    QString Reason;
    // The recipient entry refused, or the attachment that could not be read.
    QString Entry;
    // The code of the server's reply that ended the send; 0 when none did.
    int Code = 0;
    // The fault lies in what was asked for, not in the server or the
    // network (a command-line tool exits 2 for it).
    bool LocalFault() const;
    // Sending the same message again cannot succeed: the server refused it
    // for good (a 5xx reply) or it cannot be sent as it is.
    bool Permanent() const { return !Sent && (Code >= 500 || LocalFault()); }
};

// The server and how to reach it, as section MAIL gives them.
struct TSmtpServer {
    QString Host;
    int Port = 25;
    QString HeloName; // the argument of HELO or EHLO
    TMailSecurity Security = TMailSecurity::None;
    QString Login; // AUTH only when set, and only over an encrypted connection
    QString Password;
    QString CAFile; // PEM certificates trusted besides the system's
    QString Problem; // why the configuration cannot be used (TMailSettings::Problem)

    static TSmtpServer FromSettings(const TMailSettings& settings);
    // What must not be used: the settings' problem, a HELO name that would
    // break the line, credentials without encryption, a CAFile that cannot
    // be read. The Slovak reason, empty when all may be used.
    QString Refusal() const;
};

class TSmtpDialogue : public QObject {
public:
    explicit TSmtpDialogue(QObject* parent = nullptr);
    ~TSmtpDialogue() override;
    TSmtpDialogue(const TSmtpDialogue&) = delete;
    TSmtpDialogue& operator=(const TSmtpDialogue&) = delete;

    TSmtpServer Server;
    // The connection and every reply give up after this long (a reply
    // counts from when its command was fully written, and what the server
    // sends does not restart it).
    int StepTimeoutMs = 30000;
    // The bound of the whole dialogue; 0: DialogueLimitMs of the message.
    qint64 DialogueTimeoutMs = 0;
    // The largest message sent to a server that announces no SIZE.
    qint64 SizeLimit = DefaultSizeLimit;
    static constexpr qint64 DefaultSizeLimit = 25 * 1024 * 1024;
    // Four step time-outs, and a second for every 16 KiB of the message
    // (a line of 128 kbit/s).
    qint64 DialogueLimitMs(qint64 messageBytes) const;

    // Starts sending message and returns at once; done is called once,
    // later, from the event loop, with the outcome. Nothing happens while a
    // send is running.
    void Start(const TMailMessage& message, std::function<void(const TMailResult&)> done);
    // Ends the send at once without a word to the server; done is not called.
    void Abort();
    bool Running() const { return Step != TStep::Idle; }
    bool Connected() const;

    // The TLS settings of the connection: the system's certificates and
    // those of caFile (Qt's on-demand loading of the system's store ends as
    // soon as certificates are added, so both are given in full).
    static QSslConfiguration TlsConfiguration(const QString& caFile);

private:
    enum class TStep {
        Idle, Connecting, Greeting, Hello, StartTls, Handshake, Auth, AuthLogin, AuthPassword, Rset, MailFrom,
        Rcpt, Data, Message, MessageReply, Quit
    };
    void Connect();
    void OnConnected();
    void OnEncrypted();
    void OnReadyRead();
    void OnClosed();
    void OnBytesWritten();
    void OnStepTimeout();
    void OnReply(const TSmtpReply& reply);
    void Send(TStep step, const QByteArray& line);
    void Hello();
    void AfterHello(const TSmtpReply& reply);
    void Envelope();
    void NextRecipient();
    void Pump();
    // The end of the send: QUIT where the dialogue can still take it, then
    // done.
    void Finish(TMailFault fault, const QString& reason = {}, const QString& entry = {});
    // Ends later, from the event loop, without connecting.
    void FinishLater(TMailFault fault, const QString& reason, const QString& entry = {});
    void Complete();
    void Drop();
    QString TlsProblem() const;
    // Why the server refused a command: a clearer text when it asks for
    // AUTH or encryption, else fallback.
    QString Explained(const TSmtpReply& reply, const QString& fallback) const;
    QString Host() const;

    std::unique_ptr<QSslSocket> Socket;
    QTimer StepTimer;
    QTimer DialogueTimer;
    TStep Step = TStep::Idle;
    TMailMessage Message;
    std::unique_ptr<TMailEncoding> Encoding;
    std::function<void(const TMailResult&)> Done;
    TMailResult Result;
    QByteArray Incoming;
    size_t Recipient = 0;
    std::vector<std::pair<QString, QString>> Recipients;
    QList<QByteArray> Offers; // the lines of the last EHLO reply
    // Counts the sends, so an ending told for one cannot end the next.
    unsigned Run = 0;
    // The code of the reply being handled, 0 between replies.
    int ReplyCode = 0;
};

// The message of a mail as the window and the alerts send it, as text.
namespace MailText {
inline const QString InvalidHost = QStringLiteral("Nesprávny server !");
inline const QString ConnectionFailed = QStringLiteral("Chyba pri nadviazaní spojenia !");
// A failed connection names the server and the system's reason, so the user
// can tell a wrong name from a server that is down or a firewall.
inline QString ConnectionFailedTo(const QString& host, int port, const QString& why)
{
    return QStringLiteral("Chyba pri nadviazaní spojenia so serverom %1 (port %2): %3").arg(host).arg(port).arg(why);
}
inline const QString AuthenticationFailed = QStringLiteral("Neznámy užívateľ !");
inline const QString NoSender = QStringLiteral("Chýba adresa odosielateľa !");
inline const QString NoRecipient = QStringLiteral("Chýba adresa príjemcu !");
inline const QString Failure = QStringLiteral("Správa neodoslaná !");
inline const QString Error = QStringLiteral("CHYBA !");
inline const QString Sent = QStringLiteral("Správa odoslaná");
inline const QString LoginRefused = QStringLiteral("Server odmietol prihlásenie (MAIL Login, Password) !");
QString RecipientNotFound(const QString& entry);
QString AttachmentNotFound(const QString& fileName);
QString NoGreeting(const QString& host);
QString ClosedAfterData(const QString& host);
QString NoReplyAfterData(const QString& host);
QString ClosedAfter354(const QString& host);
} // namespace MailText

// Sends a short message (subject, plain body, an attachment when one is
// named) to the recipients through the server of settings, and returns at
// once; done is called once, from the event loop, with the outcome. The send
// ends with context, done then not called.
void SendMail(const TMailSettings& settings, const QStringList& to, const QString& subject, const QString& body,
              const QString& attachment, QObject* context, std::function<void(const TMailResult&)> done);
