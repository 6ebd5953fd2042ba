#include "output/SmtpDialogue.h"

#include "output/SmtpReply.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>

#include <algorithm>
#include <limits>

namespace {

// A message goes out in pieces of this size while the socket holds less
// than twice as much unsent, so a large attachment is never held whole.
constexpr qint64 Piece = 64 * 1024;
constexpr qint64 Unsent = 2 * Piece;

// A reply of the server as a message can quote it: its code and text,
// printable and short, whatever the server sent.
QString Quoted(const TSmtpReply& reply)
{
    QString text = QString::number(reply.Code);
    const QByteArray said = reply.Text().simplified();
    if (!said.isEmpty())
        text += QLatin1Char(' ') + QString::fromLatin1(said);
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            c = QLatin1Char('?');
    return text.left(200);
}

// "25,0 MB", "48,8 kB".
QString SizeText(qint64 bytes)
{
    const bool mega = bytes >= 1024 * 1024;
    const double n = double(bytes) / (mega ? 1024.0 * 1024.0 : 1024.0);
    return QString::number(n, 'f', 1).replace(QLatin1Char('.'), QLatin1Char(',')) +
           (mega ? QStringLiteral(" MB") : QStringLiteral(" kB"));
}

const QString NotSent = QStringLiteral(" Správa nebola odoslaná.");

} // namespace

QString MailText::RecipientNotFound(const QString& entry)
{
    return QStringLiteral("Neznámy príjemca \"%1\" !").arg(entry);
}

QString MailText::AttachmentNotFound(const QString& fileName)
{
    return QStringLiteral("Neexistuje súbor \"%1\" !").arg(fileName);
}

QString MailText::NoGreeting(const QString& host)
{
    return QStringLiteral("Server %1 sa neohlásil (bez pozdravu) !").arg(host) + NotSent;
}

QString MailText::ClosedAfterData(const QString& host)
{
    return QStringLiteral("Server %1 ukončil spojenie po príkaze DATA !").arg(host) + NotSent;
}

QString MailText::NoReplyAfterData(const QString& host)
{
    return QStringLiteral("Server %1 neodpovedal na príkaz DATA !").arg(host) + NotSent;
}

QString MailText::ClosedAfter354(const QString& host)
{
    return QStringLiteral("Server %1 ukončil spojenie počas prenosu správy !").arg(host) + NotSent;
}

bool TMailResult::LocalFault() const
{
    switch (Fault) {
    case TMailFault::Refused:
    case TMailFault::NoSender:
    case TMailFault::NoRecipient:
    case TMailFault::AttachmentMissing:
    case TMailFault::TooLarge:
        return true;
    default:
        return false;
    }
}

TSmtpServer TSmtpServer::FromSettings(const TMailSettings& settings)
{
    TSmtpServer s;
    s.Host = settings.Host;
    s.Port = settings.Port;
    s.HeloName = settings.User;
    s.Security = settings.Security;
    s.Login = settings.Login;
    s.Password = settings.Password;
    s.CAFile = settings.CAFile;
    s.Problem = settings.Problem;
    return s;
}

QString TSmtpServer::Refusal() const
{
    if (!Problem.isEmpty())
        return Problem;
    if (MailHasControl(HeloName))
        return QStringLiteral("Meno užívateľa obsahuje koniec riadku alebo iný nepovolený znak !");
    if (!Login.isEmpty() && Security == TMailSecurity::None)
        return QStringLiteral("Prihlásenie (MAIL Login) sa nepošle nešifrovane: nastavte MAIL Security na starttls "
                              "alebo tls !");
    if (!CAFile.isEmpty() && Security != TMailSecurity::None &&
        QSslCertificate::fromPath(CAFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString).isEmpty())
        return QStringLiteral("Súbor certifikátov MAIL CAFile=%1 sa nedá prečítať !").arg(CAFile);
    return QString();
}

TSmtpDialogue::TSmtpDialogue(QObject* parent)
    : QObject(parent)
    , Socket(std::make_unique<QSslSocket>())
{
    StepTimer.setSingleShot(true);
    DialogueTimer.setSingleShot(true);
    connect(&StepTimer, &QTimer::timeout, this, &TSmtpDialogue::OnStepTimeout);
    connect(&DialogueTimer, &QTimer::timeout, this, [this] {
        if (Step == TStep::Quit)
            return Complete();
        const QString host = Host();
        // The message went out whole and only its answer is missing: the
        // server may have taken it.
        if (Step == TStep::MessageReply)
            Finish(TMailFault::NoReplyAfterMessage,
                   QStringLiteral("Server %1 nepotvrdil prijatie správy ! Nie je isté, či bola odoslaná.").arg(host));
        else
            Finish(TMailFault::TimedOut,
                   QStringLiteral("Odosielanie cez server %1 trvalo dlhšie ako %2 s !")
                           .arg(host)
                           .arg((DialogueTimer.interval() + 999) / 1000) +
                       NotSent);
    });
    QSslSocket* s = Socket.get();
    connect(s, &QAbstractSocket::connected, this, &TSmtpDialogue::OnConnected);
    connect(s, &QSslSocket::encrypted, this, &TSmtpDialogue::OnEncrypted);
    connect(s, &QIODevice::readyRead, this, &TSmtpDialogue::OnReadyRead);
    connect(s, &QIODevice::bytesWritten, this, &TSmtpDialogue::OnBytesWritten);
    connect(s, &QAbstractSocket::disconnected, this, &TSmtpDialogue::OnClosed);
    connect(s, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (Step == TStep::Connecting) {
            const bool tlsNow = Server.Security == TMailSecurity::Tls;
            if (tlsNow && error == QAbstractSocket::SslHandshakeFailedError)
                Finish(TMailFault::Tls, TlsProblem());
            else if (error == QAbstractSocket::HostNotFoundError)
                Finish(TMailFault::InvalidHost, MailText::InvalidHost);
            else if (Socket->state() != QAbstractSocket::ConnectedState)
                Finish(TMailFault::ConnectionFailed,
                       MailText::ConnectionFailedTo(Host(), Server.Port, Socket->errorString()));
            return;
        }
        if (Step == TStep::Handshake && error == QAbstractSocket::SslHandshakeFailedError) {
            Finish(TMailFault::Tls, TlsProblem());
            return;
        }
        if (Socket->state() != QAbstractSocket::ConnectedState)
            OnClosed();
    });
}

TSmtpDialogue::~TSmtpDialogue()
{
    // The socket goes with the members; nothing it says then may reach a
    // half-destroyed dialogue.
    QObject::disconnect(Socket.get(), nullptr, this, nullptr);
    Abort();
}

bool TSmtpDialogue::Connected() const { return Socket->state() == QAbstractSocket::ConnectedState; }

QString TSmtpDialogue::Host() const { return Server.Host.trimmed(); }

qint64 TSmtpDialogue::DialogueLimitMs(qint64 messageBytes) const
{
    return 4 * qint64(StepTimeoutMs) + messageBytes / 16;
}

QSslConfiguration TSmtpDialogue::TlsConfiguration(const QString& caFile)
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!caFile.isEmpty()) {
        // Read once: several hundred files, and they change with a package
        // update rather than between two mails.
        static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        tls.setCaCertificates(system +
                              QSslCertificate::fromPath(caFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString));
    }
    return tls;
}

void TSmtpDialogue::Start(const TMailMessage& message, std::function<void(const TMailResult&)> done)
{
    if (Running())
        return;
    Done = std::move(done);
    Message = message;
    Result = TMailResult{};
    Incoming.clear();
    Offers.clear();
    Recipients = Message.Recipients();
    Recipient = 0;
    Encoding = std::make_unique<TMailEncoding>();
    Step = TStep::Connecting;
    ++Run;

    // Everything that can be known here is told before a server hears of it.
    if (const QString refusal = Server.Refusal(); !refusal.isEmpty())
        return FinishLater(TMailFault::Refused, refusal);
    if (const QString refusal = Message.Refusal(); !refusal.isEmpty())
        return FinishLater(TMailFault::Refused, refusal);
    if (Host().isEmpty())
        return FinishLater(TMailFault::InvalidHost, MailText::InvalidHost);
    if (const int missing = Message.Missing(); missing != 0)
        return FinishLater(missing == 1 ? TMailFault::NoSender : TMailFault::NoRecipient,
                           missing == 1 ? MailText::NoSender : MailText::NoRecipient);
    if (!Encoding->Open(Message))
        return FinishLater(TMailFault::AttachmentMissing, MailText::AttachmentNotFound(Encoding->FailedFile),
                           Encoding->FailedFile);
    // The plain dialogue never learns the server's SIZE: the stated limit
    // holds, and nothing is sent that would exceed it.
    if (Server.Security == TMailSecurity::None && Encoding->Size() > SizeLimit)
        return FinishLater(TMailFault::TooLarge, QStringLiteral("Správa s prílohou by mala %1, odosiela sa najviac %2 !")
                                                         .arg(SizeText(Encoding->Size()), SizeText(SizeLimit)) +
                                                     NotSent);
    if (Server.Port < 1 || Server.Port > 65535)
        return FinishLater(TMailFault::ConnectionFailed,
                           MailText::ConnectionFailedTo(Host(), Server.Port,
                                                        QStringLiteral("port %1 nie je platný").arg(Server.Port)));

    Connect();
}

void TSmtpDialogue::Connect()
{
    Socket->abort();
    if (Server.Security != TMailSecurity::None) {
        Socket->setSslConfiguration(TlsConfiguration(Server.CAFile));
        // The host name is checked against the certificate by the socket itself.
        Socket->setPeerVerifyName(Host());
    }
    // The bounds count from here: reading the system's certificates is no
    // time of the server's.
    const qint64 bound = DialogueTimeoutMs > 0 ? DialogueTimeoutMs : DialogueLimitMs(Encoding->Size());
    DialogueTimer.start(int(std::min<qint64>(bound, std::numeric_limits<int>::max())));
    StepTimer.start(StepTimeoutMs);
    if (Server.Security == TMailSecurity::Tls)
        Socket->connectToHostEncrypted(Host(), static_cast<quint16>(Server.Port));
    else
        Socket->connectToHost(Host(), static_cast<quint16>(Server.Port));
}

void TSmtpDialogue::OnConnected()
{
    if (Step != TStep::Connecting || Server.Security == TMailSecurity::Tls)
        return;
    Step = TStep::Greeting;
    StepTimer.start(StepTimeoutMs);
}

void TSmtpDialogue::OnEncrypted()
{
    if (Step == TStep::Connecting) {
        Step = TStep::Greeting;
        StepTimer.start(StepTimeoutMs);
        OnReadyRead();
    } else if (Step == TStep::Handshake) {
        Hello();
    }
}

void TSmtpDialogue::OnReadyRead()
{
    Incoming += Socket->readAll();
    for (;;) {
        if (Step == TStep::Idle || Step == TStep::Connecting || Step == TStep::Handshake || Incoming.isEmpty())
            return;
        TSmtpReply reply;
        switch (TSmtpReply::Take(Incoming, reply)) {
        case TSmtpReply::TTake::Whole:
            ReplyCode = reply.Code;
            OnReply(reply);
            ReplyCode = 0;
            break;
        case TSmtpReply::TTake::TooLong:
            Finish(TMailFault::Broken, QStringLiteral("Server %1 neposiela odpovede SMTP !").arg(Host()) + NotSent);
            return;
        case TSmtpReply::TTake::More:
            return;
        }
    }
}

void TSmtpDialogue::OnClosed()
{
    if (Step == TStep::Idle)
        return;
    // What came with the close still counts: a server may answer and hang up.
    if (Socket->bytesAvailable() > 0)
        OnReadyRead();
    const QString host = Host();
    switch (Step) {
    case TStep::Idle:
        return;
    case TStep::Quit:
        Complete();
        return;
    case TStep::Connecting:
        Finish(TMailFault::ConnectionFailed, MailText::ConnectionFailedTo(host, Server.Port, Socket->errorString()));
        return;
    case TStep::Greeting:
        Finish(TMailFault::NoGreeting, MailText::NoGreeting(host));
        return;
    case TStep::Handshake:
        Finish(TMailFault::Tls, TlsProblem());
        return;
    case TStep::Data:
        Finish(TMailFault::ClosedAfterData, MailText::ClosedAfterData(host));
        return;
    case TStep::Message:
    case TStep::MessageReply:
        Finish(TMailFault::ClosedAfter354, MailText::ClosedAfter354(host));
        return;
    default:
        Finish(TMailFault::Broken, QStringLiteral("Server %1 ukončil spojenie !").arg(host) + NotSent);
        return;
    }
}

void TSmtpDialogue::OnBytesWritten()
{
    // The wait for a reply counts from the command's last byte; a message
    // keeps its step alive while it moves (the dialogue's bound stays).
    if (Step == TStep::Message)
        Pump();
    else if (Step != TStep::Idle && Step != TStep::Connecting)
        StepTimer.start(StepTimeoutMs);
}

void TSmtpDialogue::OnStepTimeout()
{
    const QString host = Host();
    switch (Step) {
    case TStep::Idle:
        return;
    case TStep::Quit:
        Complete();
        return;
    case TStep::Connecting:
        // Refused, unreachable, or a TLS handshake that never ended: no
        // connection was established.
        Finish(TMailFault::ConnectionFailed,
               MailText::ConnectionFailedTo(host, Server.Port,
                                            QStringLiteral("server neodpovedal do %1 s").arg((StepTimeoutMs + 999) / 1000)));
        return;
    case TStep::Greeting:
        Finish(TMailFault::NoGreeting, MailText::NoGreeting(host));
        return;
    case TStep::Handshake:
        Finish(TMailFault::Tls, TlsProblem());
        return;
    case TStep::Data:
        Finish(TMailFault::NoReplyAfterData, MailText::NoReplyAfterData(host));
        return;
    case TStep::Message:
        Finish(TMailFault::Broken, QStringLiteral("Server %1 prestal prijímať správu !").arg(host) + NotSent);
        return;
    case TStep::MessageReply:
        Finish(TMailFault::NoReplyAfterMessage,
               QStringLiteral("Server %1 nepotvrdil prijatie správy ! Nie je isté, či bola odoslaná.").arg(host));
        return;
    default:
        Finish(TMailFault::Broken, QStringLiteral("Server %1 neodpovedá !").arg(host) + NotSent);
        return;
    }
}

void TSmtpDialogue::Send(TStep step, const QByteArray& line)
{
    Step = step;
    Socket->write(line + "\r\n");
    StepTimer.start(StepTimeoutMs);
}

void TSmtpDialogue::Hello()
{
    const bool extended = Server.Security != TMailSecurity::None;
    // EHLO wants a domain; without "User" the address literal of this end
    // stands for it. HELO says "User" as it is.
    QString name = extended ? Server.HeloName.trimmed() : Server.HeloName;
    if (extended && name.isEmpty()) {
        const QHostAddress local = Socket->localAddress();
        name = local.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[IPv6:%1]").arg(local.toString())
                                                                 : QStringLiteral("[%1]").arg(local.toString());
    }
    Send(TStep::Hello, (extended ? "EHLO " : "HELO ") + name.toUtf8());
}

QString TSmtpDialogue::Explained(const TSmtpReply& reply, const QString& fallback) const
{
    const QByteArray text = reply.Text().toUpper();
    if (text.contains("TLS"))
        return QStringLiteral("Server vyžaduje šifrované spojenie (MAIL Security=starttls alebo tls) !");
    if (text.contains("AUTH") || text.contains("5.7.0"))
        return QStringLiteral("Server vyžaduje prihlásenie (MAIL Login, Password) !");
    return fallback;
}

void TSmtpDialogue::OnReply(const TSmtpReply& reply)
{
    const int code = reply.Code;
    const QString host = Host();
    switch (Step) {
    case TStep::Greeting:
        if (code > 399)
            return Finish(TMailFault::GreetingRefused,
                          QStringLiteral("Server %1 odmietol spojenie (%2) !").arg(host, Quoted(reply)) + NotSent);
        return Hello();
    case TStep::Hello:
        if (code >= 300)
            return Finish(TMailFault::HelloRefused, Explained(reply, MailText::AuthenticationFailed));
        return AfterHello(reply);
    case TStep::StartTls:
        if (code != 220)
            return Finish(TMailFault::Tls,
                          QStringLiteral("Server %1 odmietol šifrovanie STARTTLS !").arg(host) + NotSent);
        // Anything the server sent before the handshake is not to be trusted.
        Incoming.clear();
        Step = TStep::Handshake;
        StepTimer.start(StepTimeoutMs);
        Socket->startClientEncryption();
        return;
    case TStep::AuthLogin:
        if (code != 334)
            return Finish(TMailFault::LoginRefused, MailText::LoginRefused);
        return Send(TStep::AuthPassword, Server.Login.toUtf8().toBase64());
    case TStep::AuthPassword:
        if (code != 334)
            return Finish(TMailFault::LoginRefused, MailText::LoginRefused);
        return Send(TStep::Auth, Server.Password.toUtf8().toBase64());
    case TStep::Auth:
        if (code < 200 || code >= 300)
            return Finish(TMailFault::LoginRefused, MailText::LoginRefused);
        return Envelope();
    case TStep::Rset:
        if (code > 399)
            return Finish(TMailFault::SenderRefused,
                          Explained(reply, QStringLiteral("Server %1 odmietol príkaz RSET (%2) !").arg(host, Quoted(reply)) +
                                               NotSent));
        return Send(TStep::MailFrom, "MAIL FROM:<" + Message.FromAddress.trimmed().toUtf8() + '>');
    case TStep::MailFrom:
        if (code > 399)
            return Finish(TMailFault::SenderRefused,
                          Explained(reply, QStringLiteral("Server %1 odmietol odosielateľa %2 (%3) !")
                                                   .arg(host, Message.FromAddress.trimmed(), Quoted(reply)) +
                                               NotSent));
        return NextRecipient();
    case TStep::Rcpt: {
        // A refused recipient ends the send: the others would get a message
        // that the sender believes went to everyone.
        if (code < 200 || code >= 300) {
            const QString entry = Recipients[Recipient].second;
            return Finish(TMailFault::RecipientRefused,
                          MailText::RecipientNotFound(entry) + QStringLiteral(" Server: %1.").arg(Quoted(reply)) + NotSent,
                          entry);
        }
        ++Recipient;
        return NextRecipient();
    }
    case TStep::Data:
        if (code != 354)
            return Finish(TMailFault::DataRefused,
                          QStringLiteral("Server %1 odmietol príkaz DATA (%2) !").arg(host, Quoted(reply)) + NotSent);
        Step = TStep::Message;
        return Pump();
    case TStep::Message:
        // An answer before the message's end: the server gave up on it, and
        // the dialogue cannot go on in the middle of the data.
        Drop();
        return Finish(TMailFault::MessageRefused, MailText::Failure + QStringLiteral(" Server: %1.").arg(Quoted(reply)));
    case TStep::MessageReply:
        if (code > 399)
            return Finish(TMailFault::MessageRefused,
                          MailText::Failure + QStringLiteral(" Server: %1.").arg(Quoted(reply)));
        return Finish(TMailFault::None);
    case TStep::Quit:
        return Complete();
    case TStep::Idle:
    case TStep::Connecting:
    case TStep::Handshake:
        return;
    }
}

void TSmtpDialogue::AfterHello(const TSmtpReply& reply)
{
    if (Server.Security == TMailSecurity::None)
        return Envelope();
    Offers = reply.Lines;
    if (!Socket->isEncrypted()) {
        // Asked for and not offered: nothing more goes out in clear.
        if (Server.Security != TMailSecurity::StartTls || !reply.Offers("STARTTLS"))
            return Finish(TMailFault::Tls,
                          QStringLiteral("Server %1 neponúka šifrovanie STARTTLS !").arg(Host()) + NotSent);
        return Send(TStep::StartTls, "STARTTLS");
    }
    if (Server.Login.isEmpty())
        return Envelope();
    const QList<QByteArray> mechanisms = reply.Params("AUTH");
    if (mechanisms.contains("PLAIN"))
        return Send(TStep::Auth, "AUTH PLAIN " + (QByteArray(1, '\0') + Server.Login.toUtf8() + '\0' +
                                                  Server.Password.toUtf8())
                                                     .toBase64());
    if (mechanisms.contains("LOGIN"))
        return Send(TStep::AuthLogin, "AUTH LOGIN");
    Finish(TMailFault::LoginRefused,
           QStringLiteral("Server %1 neponúka prihlásenie AUTH PLAIN ani LOGIN !").arg(Host()) + NotSent);
}

void TSmtpDialogue::Envelope()
{
    // The server's own limit where it states one (RFC 1870), else ours.
    TSmtpReply offers;
    offers.Lines = Offers;
    qint64 limit = SizeLimit;
    QString whose = QStringLiteral("odosiela sa");
    if (offers.Offers("SIZE")) {
        const QList<QByteArray> size = offers.Params("SIZE");
        const qint64 stated = size.isEmpty() ? 0 : size.first().toLongLong();
        if (stated > 0) {
            limit = stated;
            whose = QStringLiteral("server %1 prijme").arg(Host());
        }
    }
    if (Encoding->Size() > limit)
        return Finish(TMailFault::TooLarge, QStringLiteral("Správa s prílohou by mala %1, %2 najviac %3 !")
                                                    .arg(SizeText(Encoding->Size()), whose, SizeText(limit)) +
                                                NotSent);
    Send(TStep::Rset, "RSET");
}

void TSmtpDialogue::NextRecipient()
{
    if (Recipient < Recipients.size())
        return Send(TStep::Rcpt, "RCPT TO:<" + Recipients[Recipient].first.toUtf8() + '>');
    Send(TStep::Data, "DATA");
}

void TSmtpDialogue::Pump()
{
    StepTimer.start(StepTimeoutMs);
    while (Step == TStep::Message && Socket->bytesToWrite() < Unsent) {
        if (Encoding->AtEnd()) {
            Socket->write(".\r\n");
            Step = TStep::MessageReply;
            StepTimer.start(StepTimeoutMs);
            return;
        }
        QByteArray piece;
        if (!Encoding->Next(piece, Piece)) {
            // The server must not take a message cut short as whole: the
            // connection goes without the final ".".
            Drop();
            return Finish(TMailFault::AttachmentMissing,
                          MailText::AttachmentNotFound(Encoding->FailedFile) +
                              QStringLiteral(" (súbor sa počas odosielania zmenil)") + NotSent,
                          Encoding->FailedFile);
        }
        Socket->write(piece);
    }
}

QString TSmtpDialogue::TlsProblem() const
{
    const QString host = Host();
    for (const QSslError& e : Socket->sslHandshakeErrors())
        if (e.error() == QSslError::HostNameMismatch)
            return QStringLiteral("Certifikát servera nepatrí serveru %1 !").arg(host) + NotSent;
    for (const QSslError& e : Socket->sslHandshakeErrors())
        if (e.error() == QSslError::CertificateExpired || e.error() == QSslError::CertificateNotYetValid)
            return QStringLiteral("Certifikát servera %1 nie je platný (dátum) !").arg(host) + NotSent;
    if (!Socket->sslHandshakeErrors().isEmpty())
        return QStringLiteral("Certifikát servera %1 nie je dôveryhodný (MAIL CAFile) !").arg(host) + NotSent;
    return QStringLiteral("Šifrované spojenie so serverom %1 zlyhalo !").arg(host) + NotSent;
}

void TSmtpDialogue::FinishLater(TMailFault fault, const QString& reason, const QString& entry)
{
    Result = TMailResult{false, fault, reason, entry, 0};
    StepTimer.stop();
    QTimer::singleShot(0, this, [this, run = Run] {
        if (Step != TStep::Idle && run == Run)
            Complete();
    });
}

void TSmtpDialogue::Finish(TMailFault fault, const QString& reason, const QString& entry)
{
    if (Step == TStep::Idle || Step == TStep::Quit)
        return;
    Result = TMailResult{fault == TMailFault::None, fault, reason, entry, ReplyCode};
    StepTimer.stop();
    // After a whole reply the server waits for a command: it hears QUIT.
    // A connection that broke, fell silent or sits in the middle of the
    // data cannot be trusted with one.
    const bool betweenCommands = Connected() && Step != TStep::Connecting && Step != TStep::Handshake &&
                                 Step != TStep::Message && Incoming.isEmpty() &&
                                 fault != TMailFault::TimedOut && fault != TMailFault::Broken &&
                                 fault != TMailFault::NoGreeting && fault != TMailFault::NoReplyAfterData &&
                                 fault != TMailFault::NoReplyAfterMessage && fault != TMailFault::ClosedAfterData &&
                                 fault != TMailFault::ClosedAfter354;
    if (betweenCommands && DialogueTimer.isActive())
        return Send(TStep::Quit, "QUIT");
    Complete();
}

void TSmtpDialogue::Complete()
{
    Step = TStep::Idle;
    StepTimer.stop();
    DialogueTimer.stop();
    Drop();
    Encoding.reset();
    const TMailResult result = Result;
    const auto done = std::move(Done);
    Done = nullptr;
    // Last: done may delete this dialogue.
    if (done)
        done(result);
}

void TSmtpDialogue::Drop()
{
    const TStep step = Step;
    // Whatever the socket says while it goes is not news.
    Step = TStep::Idle;
    Socket->abort();
    Incoming.clear();
    Step = step;
}

void TSmtpDialogue::Abort()
{
    Done = nullptr;
    Step = TStep::Idle;
    StepTimer.stop();
    DialogueTimer.stop();
    Socket->abort();
    Incoming.clear();
    Encoding.reset();
}

void SendMail(const TMailSettings& settings, const QStringList& to, const QString& subject, const QString& body,
              const QString& attachment, QObject* context, std::function<void(const TMailResult&)> done)
{
    auto* dialogue = new TSmtpDialogue(context);
    dialogue->Server = TSmtpServer::FromSettings(settings);
    TMailMessage message;
    message.FromName = settings.FromName;
    message.FromAddress = settings.FromAdr;
    message.To = to;
    message.Subject = subject;
    if (!body.isEmpty())
        message.Body = body.split(QLatin1Char('\n'));
    if (!attachment.isEmpty())
        message.Attachments = QStringList{attachment};
    dialogue->Start(message, [dialogue, done = std::move(done)](const TMailResult& result) {
        dialogue->deleteLater();
        if (done)
            done(result);
    });
}
