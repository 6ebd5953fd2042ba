#include "output/MailClient.h"

#include "output/SmtpReply.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QTimer>

#include <cstdlib>

namespace {

// How often a handler that set handled may send the client round again: a
// handler that always asks must not keep the window in a loop.
constexpr int MaxRetries = 3;
// Attachment bytes per base64 line: 60 characters.
constexpr qsizetype Base64Chunk = 45;
// Header text bytes per encoded word.
constexpr qsizetype WordChunk = 39;
// A header text longer than this goes out as encoded words, which fold, so
// no line of the message passes 998 bytes.
constexpr qsizetype LongHeaderText = 900;
// A folded header line stays within this many characters where it can.
constexpr qsizetype FoldWidth = 76;

bool IsAscii(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// A character that would end or corrupt an SMTP line or a header line.
bool HasControl(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || u == 0x7F)
            return true;
    }
    return false;
}

// RFC 2047 encoded words for a header value that is not ASCII, each short
// enough to keep its line within 76 characters behind the field name (39
// bytes of UTF-8 give 52 base64 characters) and never splitting a character;
// the words are folded onto continuation lines.
QByteArray EncodeHeaderText(const QString& text)
{
    if (IsAscii(text) && text.size() <= LongHeaderText)
        return text.toLatin1();
    QList<QByteArray> words;
    QByteArray chunk;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QByteArray bytes = text.mid(i, n).toUtf8();
        if (chunk.size() + bytes.size() > WordChunk) {
            words << chunk;
            chunk.clear();
        }
        chunk += bytes;
        i += n;
    }
    if (!chunk.isEmpty())
        words << chunk;
    QByteArray out;
    for (const QByteArray& w : words) {
        if (!out.isEmpty())
            out += "\r\n ";
        out += "=?utf-8?B?" + w.toBase64() + "?=";
    }
    return out;
}

// A display name as RFC 5322 takes it: encoded words beyond ASCII, a quoted
// string when it holds specials such as the comma of "Energetik, a.s.",
// otherwise as written.
QByteArray DisplayName(const QString& written)
{
    // A name the user already put in quotes is taken as its content.
    QString name = written;
    if (name.size() >= 2 && name.startsWith(QLatin1Char('"')) && name.endsWith(QLatin1Char('"'))) {
        name = name.mid(1, name.size() - 2);
        name.replace(QLatin1String("\\\""), QLatin1String("\""));
        name.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    }
    if (!IsAscii(name) || name.size() > LongHeaderText)
        return EncodeHeaderText(name);
    static const QString specials = QStringLiteral("()<>[]:;@\\,.\"");
    bool plain = true;
    for (const QChar c : name)
        plain = plain && !specials.contains(c);
    if (plain)
        return name.toLatin1();
    QString quoted = name;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    quoted.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return '"' + quoted.toLatin1() + '"';
}

// A recipient entry for the To line: "name <address>" with the name made
// safe, or the bare address. "Kopia: jan@firma.sk" names its recipient the
// way RecipientAddress reads it.
QByteArray EncodeRecipient(const QString& entry)
{
    const QString address = TMailClient::RecipientAddress(entry);
    const qsizetype lt = entry.indexOf(QLatin1Char('<'));
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    const QString name = (lt >= 0 ? entry.left(lt) : colon >= 0 ? entry.left(colon) : QString()).trimmed();
    if (name.isEmpty())
        return lt >= 0 ? '<' + address.toLatin1() + '>' : address.toLatin1();
    return DisplayName(name) + " <" + address.toLatin1() + '>';
}

// Words joined by sep, folded onto continuation lines where a line would
// pass FoldWidth.
QByteArray Folded(const QList<QByteArray>& words, const QByteArray& sep, qsizetype used)
{
    QByteArray out;
    qsizetype column = used;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QByteArray piece = words[i] + (i + 1 < words.size() ? sep : QByteArray());
        if (i > 0 && column + piece.size() > FoldWidth) {
            out += "\r\n ";
            column = 1;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

// Quoted-printable (RFC 2045) of one body line: lines of at most 76
// characters, soft breaks between them, blanks before a line end encoded.
QByteArray QuotedPrintable(const QByteArray& line)
{
    QByteArray out;
    qsizetype column = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const uchar c = static_cast<uchar>(line.at(i));
        const bool last = i + 1 == line.size();
        QByteArray piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
            piece = QByteArray(1, char(c));
        else
            piece = '=' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        if (column + piece.size() > (last ? 76 : 75)) {
            out += "=\r\n";
            column = 0;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

// The attachment's parameters: an ASCII name in quotes; any other as an
// encoded word for name= and as RFC 2231 for filename*=, which readers of
// either kind understand.
QByteArray FileNameParameter(const QString& fileName, const char* parameter)
{
    QString name = QFileInfo(fileName).fileName();
    if (!IsAscii(name)) {
        if (qstrcmp(parameter, "name") == 0)
            return "name=\"" + EncodeHeaderText(name).replace("\r\n ", " ") + '"';
        return QByteArray(parameter) + "*=utf-8''" + name.toUtf8().toPercentEncoding();
    }
    name.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    name.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QByteArray(parameter) + "=\"" + name.toLatin1() + '"';
}

bool IsAtext(QChar c)
{
    static const QString others = QStringLiteral("!#$%&'*+-/=?^_`{|}~");
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || others.contains(c);
}

} // namespace

QString MailText::RecipientNotFound(const QString& entry)
{
    return QStringLiteral("Neznámy príjemca \"%1\" !").arg(entry);
}

QString MailText::AttachmentNotFound(const QString& fileName)
{
    return QStringLiteral("Neexistuje súbor \"%1\" !").arg(fileName);
}

TMailClient::TMailClient(QObject* parent)
    : QObject(parent)
    , Socket(new QSslSocket(this))
{
}

TMailClient::~TMailClient() { Socket->abort(); }

bool TMailClient::Connected() const { return Socket->state() == QAbstractSocket::ConnectedState; }

QString TMailClient::RecipientAddress(const QString& entry)
{
    const qsizetype lt = entry.indexOf(QLatin1Char('<'));
    if (lt >= 0) {
        const qsizetype gt = entry.indexOf(QLatin1Char('>'), lt + 1);
        return entry.mid(lt + 1, gt < 0 ? -1 : gt - lt - 1).trimmed();
    }
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    if (colon >= 0)
        return entry.mid(colon + 1).trimmed();
    return entry.trimmed();
}

bool TMailClient::ValidAddress(const QString& address)
{
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || at > 64 || address.size() > 254)
        return false;
    const QString local = address.left(at);
    const QString domain = address.mid(at + 1);
    for (const QString& atom : local.split(QLatin1Char('.'))) {
        if (atom.isEmpty())
            return false;
        for (const QChar c : atom)
            if (!IsAtext(c))
                return false;
    }
    if (domain.startsWith(QLatin1Char('[')) && domain.endsWith(QLatin1Char(']')) && domain.size() > 2) {
        for (const QChar c : domain.mid(1, domain.size() - 2))
            if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char(':'))
                return false;
        return IsAscii(domain);
    }
    for (const QString& label : domain.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) || label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label)
            if (c.unicode() >= 0x80 || !(c.isLetterOrNumber() || c == QLatin1Char('-')))
                return false;
    }
    return true;
}

void TMailClient::Configure(const TMailSettings& settings)
{
    ClearParams = false;
    Host = settings.Host;
    Port = settings.Port;
    UserID = settings.User;
    FromName = settings.FromName;
    FromAddress = settings.FromAdr;
    Security = settings.Security;
    Login = settings.Login;
    Password = settings.Password;
    CAFile = settings.CAFile;
    SettingsProblem = settings.Problem;
}

QString TMailClient::Refusal() const
{
    if (!SettingsProblem.isEmpty())
        return SettingsProblem;
    const QString text = QStringLiteral("%1 obsahuje koniec riadku alebo iný nepovolený znak !");
    if (HasControl(UserID))
        return text.arg(QStringLiteral("Meno užívateľa"));
    if (HasControl(FromName))
        return text.arg(QStringLiteral("Meno odosielateľa"));
    if (HasControl(FromAddress))
        return text.arg(QStringLiteral("Adresa odosielateľa"));
    for (const QString& entry : ToAddress)
        if (HasControl(entry))
            return text.arg(QStringLiteral("Adresa príjemcu"));
    if (HasControl(Subject))
        return text.arg(QStringLiteral("Predmet"));
    for (const QString& name : Attachments)
        if (HasControl(name))
            return text.arg(QStringLiteral("Názov súboru"));
    // An address with a ">" or a blank would carry parameters of its own
    // into MAIL FROM or RCPT TO. An empty one is the header check's matter.
    const QString invalid = QStringLiteral("%1 \"%2\" nie je platná adresa (meno@doména) !");
    const QString from = FromAddress.trimmed();
    if (!from.isEmpty() && !ValidAddress(from))
        return invalid.arg(QStringLiteral("Adresa odosielateľa"), from);
    for (const QString& entry : ToAddress) {
        const QString address = RecipientAddress(entry);
        if (!address.isEmpty() && !ValidAddress(address))
            return invalid.arg(QStringLiteral("Adresa príjemcu"), address);
    }
    if (!Login.isEmpty() && Security == TMailSecurity::None)
        return QStringLiteral("Prihlásenie (MAIL Login) sa nepošle nešifrovane: nastavte MAIL Security na starttls "
                              "alebo tls !");
    if (!CAFile.isEmpty() && Security != TMailSecurity::None &&
        QSslCertificate::fromPath(CAFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString).isEmpty())
        return QStringLiteral("Súbor certifikátov MAIL CAFile=%1 sa nedá prečítať !").arg(CAFile);
    return QString();
}

TMailClient::TWaitResult TMailClient::Wait(const std::function<bool()>& done)
{
    const auto broken = [this] {
        const QAbstractSocket::SocketState s = Socket->state();
        return s == QAbstractSocket::UnconnectedState || s == QAbstractSocket::ClosingState;
    };
    // What came with a close still counts: a server may answer and hang up.
    // done may consume what it recognises, so it is asked until it holds and
    // never again after that.
    bool finished = false;
    const auto settled = [&] {
        Incoming += Socket->readAll();
        finished = finished || done();
        return finished || broken();
    };
    if (settled())
        return finished ? TWaitResult::Done : TWaitResult::Broken;

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool timedOut = false;
    connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    const auto check = [&] {
        if (settled())
            loop.quit();
    };
    // The time-out counts from the last byte written, so a large attachment
    // on a slow line is not cut off while it still moves; what the server
    // sends does not restart it, so a reply that trickles in is bounded as a
    // whole.
    connect(Socket, &QIODevice::readyRead, &loop, check);
    connect(Socket, &QIODevice::bytesWritten, &loop, [&] { timer.start(TimeoutMs); });
    connect(Socket, &QAbstractSocket::stateChanged, &loop, check);
    connect(Socket, &QAbstractSocket::errorOccurred, &loop, check);
    connect(Socket, &QSslSocket::encrypted, &loop, check);
    timer.start(TimeoutMs);
    Busy = true;
    loop.exec();
    Busy = false;
    if (finished)
        return TWaitResult::Done;
    return timedOut ? TWaitResult::TimedOut : TWaitResult::Broken;
}

int TMailClient::Reply()
{
    TSmtpReply reply;
    bool tooLong = false;
    const auto whole = [&] {
        switch (TSmtpReply::Take(Incoming, reply)) {
        case TSmtpReply::TTake::Whole:
            return true;
        case TSmtpReply::TTake::TooLong:
            if (!tooLong)
                Socket->abort();
            tooLong = true;
            return false;
        case TSmtpReply::TTake::More:
            return false;
        }
        return false;
    };
    LastLines.clear();
    if (Wait(whole) == TWaitResult::Done) {
        LastLines = reply.Lines;
        return reply.Code;
    }
    Drop();
    return -1;
}

int TMailClient::Command(const QByteArray& line)
{
    if (!Connected())
        return -1;
    Socket->write(line + "\r\n");
    return Reply();
}

int TMailClient::Command(const QString& line) { return Command(line.toUtf8()); }

void TMailClient::Drop()
{
    Socket->abort();
    Incoming.clear();
}

QString TMailClient::TlsProblem() const
{
    const QString host = Host.trimmed();
    for (const QSslError& e : Socket->sslHandshakeErrors())
        if (e.error() == QSslError::HostNameMismatch)
            return QStringLiteral("Certifikát servera nepatrí serveru %1 ! Správa nebola odoslaná.").arg(host);
    for (const QSslError& e : Socket->sslHandshakeErrors())
        if (e.error() == QSslError::CertificateExpired || e.error() == QSslError::CertificateNotYetValid)
            return QStringLiteral("Certifikát servera %1 nie je platný (dátum) ! Správa nebola odoslaná.").arg(host);
    if (!Socket->sslHandshakeErrors().isEmpty())
        return QStringLiteral("Certifikát servera %1 nie je dôveryhodný (MAIL CAFile) ! Správa nebola odoslaná.").arg(host);
    return QStringLiteral("Šifrované spojenie so serverom %1 zlyhalo ! Správa nebola odoslaná.").arg(host);
}

bool TMailClient::Open(const QString& host, bool& unresolved)
{
    unresolved = false;
    ConnectionProblem.clear();
    if (Port < 1 || Port > 65535) {
        ConnectionProblem = QStringLiteral("port %1 nie je platný").arg(Port);
        if (OnConnectionFailed)
            OnConnectionFailed();
        return false;
    }
    // The system's store is always trusted; CAFile adds to it. The host name
    // is checked against the certificate by the socket itself.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!CAFile.isEmpty())
        tls.addCaCertificates(QSslCertificate::fromPath(CAFile, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString));
    Socket->setSslConfiguration(tls);
    Socket->setPeerVerifyName(host);
    const bool tlsNow = Security == TMailSecurity::Tls;
    if (tlsNow)
        Socket->connectToHostEncrypted(host, static_cast<quint16>(Port));
    else
        Socket->connectToHost(host, static_cast<quint16>(Port));
    const TWaitResult r = Wait([this, tlsNow] {
        return Socket->state() == QAbstractSocket::ConnectedState && (!tlsNow || Socket->isEncrypted());
    });
    if (r == TWaitResult::Done)
        return true;
    const QAbstractSocket::SocketError error = Socket->error();
    ConnectionProblem = r == TWaitResult::TimedOut ? QStringLiteral("server neodpovedal do %1 s").arg((TimeoutMs + 999) / 1000)
                                                   : Socket->errorString();
    const bool tcpUp = tlsNow && error == QAbstractSocket::SslHandshakeFailedError;
    if (tcpUp)
        LastError = TlsProblem();
    Drop();
    if (tcpUp)
        return false;
    if (r != TWaitResult::TimedOut && error == QAbstractSocket::HostNotFoundError) {
        unresolved = true;
        return false;
    }
    // Refused, unreachable, timed out, or a TLS handshake that never ended:
    // no connection was established.
    if (OnConnectionFailed)
        OnConnectionFailed();
    return false;
}

bool TMailClient::Connect()
{
    LastError.clear();
    LoginRefused = false;
    if (Busy)
        return false;
    if (Connected())
        return true;
    try {
        for (int attempt = 0;; ++attempt) {
            if (const QString refusal = Refusal(); !refusal.isEmpty()) {
                LastError = refusal;
                return false;
            }
            Drop();
            const QString host = Host.trimmed();
            if (!host.isEmpty()) {
                bool unresolved = false;
                if (Open(host, unresolved))
                    break;
                if (!unresolved)
                    return false;
            }
            bool handled = false;
            if (OnInvalidHost)
                OnInvalidHost(handled);
            if (!handled || attempt >= MaxRetries)
                return false;
        }

        const int greeting = Reply();
        if (greeting < 0 || greeting > 399)
            return false;
        return Security == TMailSecurity::None ? Hello(false) : Secure();
    } catch (...) {
        Busy = false;
        Drop();
        return false;
    }
}

bool TMailClient::Hello(bool extended)
{
    for (int attempt = 0;; ++attempt) {
        if (const QString refusal = Refusal(); !refusal.isEmpty()) {
            LastError = refusal;
            return false;
        }
        // EHLO wants a domain; without "User" the address literal of this
        // end stands for it. HELO says "User" as it is.
        QString name = extended ? UserID.trimmed() : UserID;
        if (extended && name.isEmpty()) {
            const QHostAddress local = Socket->localAddress();
            name = local.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[IPv6:%1]").arg(local.toString())
                                                                     : QStringLiteral("[%1]").arg(local.toString());
        }
        const int code = Command((extended ? QStringLiteral("EHLO ") : QStringLiteral("HELO ")) + name);
        if (code < 0)
            return false;
        if (code < 300)
            return true;
        ExplainRefusal();
        if (!RetryAfterRefusal(attempt))
            return false;
    }
}

bool TMailClient::RetryAfterRefusal(int attempt)
{
    // The handler may change the identity or the credentials and ask for
    // another attempt, a bounded number of times.
    bool handled = false;
    if (OnAuthenticationFailed)
        OnAuthenticationFailed(handled);
    return handled && attempt < MaxRetries;
}

bool TMailClient::Encrypt()
{
    TSmtpReply offer;
    offer.Lines = LastLines;
    // Asked for and not offered: nothing more goes out in clear.
    if (!offer.Offers("STARTTLS")) {
        LastError = QStringLiteral("Server %1 neponúka šifrovanie STARTTLS ! Správa nebola odoslaná.").arg(Host.trimmed());
        return false;
    }
    const int code = Command(QByteArrayLiteral("STARTTLS"));
    if (code != 220) {
        if (code >= 0)
            LastError = QStringLiteral("Server %1 odmietol šifrovanie STARTTLS ! Správa nebola odoslaná.").arg(Host.trimmed());
        return false;
    }
    // Anything the server sent before the handshake is not to be trusted.
    Incoming.clear();
    Socket->startClientEncryption();
    const TWaitResult r = Wait([this] { return Socket->isEncrypted(); });
    if (r == TWaitResult::Done)
        return true;
    LastError = TlsProblem();
    Drop();
    return false;
}

bool TMailClient::Authenticate()
{
    TSmtpReply offer;
    offer.Lines = LastLines;
    const QList<QByteArray> mechanisms = offer.Params("AUTH");
    for (int attempt = 0;; ++attempt) {
        // Read on every attempt: a handler that asks for another one may
        // have changed them.
        const QByteArray login = Login.toUtf8();
        const QByteArray password = Password.toUtf8();
        int code = -1;
        if (mechanisms.contains("PLAIN")) {
            code = Command("AUTH PLAIN " + (QByteArray(1, '\0') + login + '\0' + password).toBase64());
        } else if (mechanisms.contains("LOGIN")) {
            code = Command(QByteArrayLiteral("AUTH LOGIN"));
            if (code == 334)
                code = Command(login.toBase64());
            if (code == 334)
                code = Command(password.toBase64());
        } else {
            LastError = QStringLiteral("Server %1 neponúka prihlásenie AUTH PLAIN ani LOGIN ! Správa nebola odoslaná.")
                            .arg(Host.trimmed());
            return false;
        }
        if (code < 0)
            return false;
        if (code >= 200 && code < 300)
            return true;
        LoginRefused = true;
        if (!RetryAfterRefusal(attempt))
            return false;
    }
}

bool TMailClient::Secure()
{
    if (!Hello(true))
        return false;
    if (Security == TMailSecurity::StartTls && !Socket->isEncrypted()) {
        if (!Encrypt() || !Hello(true))
            return false;
    }
    if (!Socket->isEncrypted())
        return false;
    return Login.isEmpty() || Authenticate();
}

void TMailClient::ExplainRefusal()
{
    TSmtpReply refusal;
    refusal.Lines = LastLines;
    const QByteArray text = refusal.Text().toUpper();
    if (text.contains("TLS"))
        LastError = QStringLiteral("Server vyžaduje šifrované spojenie (MAIL Security=starttls alebo tls) !");
    else if (text.contains("AUTH") || text.contains("5.7.0"))
        LastError = QStringLiteral("Server vyžaduje prihlásenie (MAIL Login, Password) !");
}

bool TMailClient::ComposeMessage(QByteArray& message)
{
    bool asciiBody = true;
    bool longLine = false;
    QStringList body;
    // A body line holding a line break would otherwise put an unstuffed line,
    // even a lone ".", on the wire.
    for (const QString& entry : Body) {
        QString text = entry;
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            body << line;
            longLine = longLine || line.toUtf8().size() > 998;
        }
        asciiBody = asciiBody && IsAscii(entry);
    }
    // The plain dialogue never learns whether the server takes 8-bit data,
    // and no line may pass 998 bytes: such a body goes quoted-printable.
    const bool encoded = !asciiBody || longLine;
    const QByteArray charset = asciiBody ? Charset.toLatin1() : QByteArray("utf-8");
    QList<QByteArray> textType{"Content-Type: text/plain; charset=" + charset};
    if (encoded)
        textType << "Content-Transfer-Encoding: quoted-printable";

    QByteArray boundary = BoundaryPrefix;
    for (int i = 0; i < 6; ++i)
        boundary += char('a' + QRandomGenerator::global()->bounded(25));
    boundary += "====";

    QList<QByteArray> lines;
    const auto header = [&lines](const char* name, const QByteArray& value) {
        if (!value.isEmpty())
            lines << QByteArray(name) + ": " + value;
    };
    // An encoded word must stand apart from the "<" that follows it; a plain
    // or quoted name keeps the layout without the blank.
    const QByteArray name = DisplayName(FromName);
    const QByteArray gap = name.startsWith("=?") ? QByteArray(" ") : QByteArray();
    const QString from = FromAddress.trimmed();
    header("From", name + gap + '<' + from.toUtf8() + '>');
    QList<QByteArray> to;
    for (const QString& entry : ToAddress)
        if (!entry.trimmed().isEmpty())
            to << EncodeRecipient(entry);
    header("To", Folded(to, ",", 4));
    header("Subject", EncodeHeaderText(Subject));
    // Relays and filters expect both; the date in English whatever the
    // locale, the identifier unique with the sender's domain.
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc() / 60;
    header("Date", QLocale::c().toString(now, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss ")).toLatin1() +
                       (offset < 0 ? '-' : '+') + QByteArray::number(std::abs(offset) / 60 * 100 + std::abs(offset) % 60).rightJustified(4, '0'));
    const QString domain = from.mid(from.lastIndexOf(QLatin1Char('@')) + 1);
    header("Message-ID", QStringLiteral("<%1.%2@%3>")
                             .arg(now.toMSecsSinceEpoch())
                             .arg(QRandomGenerator::global()->generate64(), 0, 36)
                             .arg(ValidAddress(from) ? domain : QStringLiteral("qdrwin.invalid"))
                             .toLatin1());
    header("Mime-Version", "1.0");
    if (!Attachments.isEmpty())
        header("Content-Type", "multipart/mixed; boundary=\"" + boundary + '"');
    else
        lines << textType;
    lines << QByteArray() << QByteArray();

    if (!Attachments.isEmpty())
        lines << "--" + boundary << textType << QByteArray();
    for (const QString& line : body)
        lines << (encoded ? QuotedPrintable(line.toUtf8()) : line.toUtf8());
    for (const QString& fileName : Attachments) {
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray data = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            if (OnAttachmentNotFound)
                OnAttachmentNotFound(fileName);
            return false;
        }
        lines << "--" + boundary << "Content-Type: application/octet-stream; " + FileNameParameter(fileName, "name")
              << "Content-Transfer-Encoding: base64"
              << "Content-Disposition: attachment; " + FileNameParameter(fileName, "filename") << QByteArray();
        for (qsizetype at = 0; at < data.size(); at += Base64Chunk)
            lines << data.mid(at, Base64Chunk).toBase64();
    }
    if (!Attachments.isEmpty())
        lines << "--" + boundary + "--";

    message.clear();
    for (const QByteArray& line : lines)
        message += line + "\r\n";
    // A line that begins with "." gets one more, whatever part made it.
    if (message.startsWith('.'))
        message.prepend('.');
    message.replace("\r\n.", "\r\n..");
    return true;
}
bool TMailClient::SendMail()
{
    LastError.clear();
    if (Busy || !Connected())
        return false;
    try {
        QByteArray message;
        for (int attempt = 0;; ++attempt) {
            if (const QString refusal = Refusal(); !refusal.isEmpty()) {
                LastError = refusal;
                return false;
            }
            if (!ComposeMessage(message))
                return false;
            bool anyRecipient = false;
            for (const QString& entry : ToAddress)
                anyRecipient = anyRecipient || !RecipientAddress(entry).isEmpty();
            const int kind = FromAddress.trimmed().isEmpty() ? 1 : !anyRecipient ? 2 : 0;
            if (kind == 0)
                break;
            bool handled = false;
            if (OnHeaderIncomplete)
                OnHeaderIncomplete(handled, kind);
            if (!handled || attempt >= MaxRetries)
                return false;
        }

        // A refused RSET or MAIL FROM tells why when the server asks for
        // AUTH or encryption.
        const auto accepted = [this](int code) {
            if (code > 399)
                ExplainRefusal();
            return code >= 0 && code <= 399;
        };
        if (!accepted(Command(QStringLiteral("RSET"))))
            return false;
        if (!accepted(Command(QStringLiteral("MAIL FROM:<") + FromAddress.trimmed() + QLatin1Char('>'))))
            return false;
        for (const QString& entry : ToAddress) {
            const QString address = RecipientAddress(entry);
            if (address.isEmpty())
                continue;
            const int code = Command(QStringLiteral("RCPT TO:<") + address + QLatin1Char('>'));
            if (code < 0)
                return false;
            if (code > 300 && OnRecipientNotFound)
                OnRecipientNotFound(entry);
        }
        if (!accepted(Command(QStringLiteral("DATA"))))
            return false;
        if (!Connected())
            return false;
        Socket->write(message + ".\r\n");
        const int code = Reply();
        if (code < 0)
            return false;
        if (code > 399) {
            if (OnFailure)
                OnFailure();
            return false;
        }
        if (OnSuccess)
            OnSuccess();
        if (ClearParams) {
            FromName.clear();
            FromAddress.clear();
            ToAddress.clear();
            Subject.clear();
            Body.clear();
            Attachments.clear();
        }
        return true;
    } catch (...) {
        Busy = false;
        Drop();
        return false;
    }
}

void TMailClient::Disconnect()
{
    if (Busy)
        return;
    try {
        // The answer to QUIT changes nothing: the connection is closed either way.
        if (Connected())
            Command(QStringLiteral("QUIT"));
    } catch (...) {
        Busy = false;
    }
    Drop();
}

void BindMailEvents(TMailClient& client, QString& mailMessage, std::function<void()> sent)
{
    QString* message = &mailMessage;
    client.OnInvalidHost = [message](bool&) { *message = MailText::InvalidHost; };
    client.OnConnectionFailed = [message] { *message = MailText::ConnectionFailed; };
    TMailClient* c = &client;
    client.OnAuthenticationFailed = [message, c](bool&) {
        *message = c->LoginRefused       ? MailText::LoginRefused
                   : c->LastError.isEmpty() ? MailText::AuthenticationFailed
                                            : c->LastError;
    };
    client.OnHeaderIncomplete = [message](bool&, int kind) {
        *message = kind == 1 ? MailText::NoSender : MailText::NoRecipient;
    };
    client.OnRecipientNotFound = [message](const QString& entry) { *message = MailText::RecipientNotFound(entry); };
    client.OnAttachmentNotFound = [message](const QString& fileName) {
        *message = MailText::AttachmentNotFound(fileName);
    };
    client.OnFailure = [message] { *message = MailText::Failure; };
    client.OnSuccess = [sent = std::move(sent)] {
        if (sent)
            sent();
    };
}

bool DeliverMail(TMailClient& client, QString& mailMessage)
{
    bool sent = false;
    if (client.Connect() && client.Connected())
        sent = client.SendMail();
    if (!sent && mailMessage.isEmpty())
        mailMessage = client.LastError.isEmpty() ? MailText::Error : client.LastError;
    if (client.Connected())
        client.Disconnect();
    return sent;
}
