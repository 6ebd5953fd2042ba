#include "output/MailClient.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

namespace {

// How often a handler that set handled may send the client round again: a
// handler that always asks must not keep the window in a loop.
constexpr int MaxRetries = 3;
// Attachment bytes per base64 line: 60 characters.
constexpr qsizetype Base64Chunk = 45;
// Header text bytes per encoded word.
constexpr qsizetype WordChunk = 39;
// A server that sends this much without finishing a reply is not an SMTP
// server worth waiting for.
constexpr qsizetype MaxReplyBytes = 64 * 1024;

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
    if (IsAscii(text))
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

// A recipient entry for the To line: a display name that is not ASCII is
// encoded, the address part stays readable.
QByteArray EncodeRecipient(const QString& entry)
{
    const qsizetype lt = entry.indexOf(QLatin1Char('<'));
    if (IsAscii(entry) || lt < 0)
        return entry.toUtf8();
    const QString name = entry.left(lt).trimmed();
    const QByteArray encoded = name.isEmpty() ? QByteArray() : EncodeHeaderText(name) + ' ';
    return encoded + entry.mid(lt).toUtf8();
}

QByteArray QuotedFileName(const QString& fileName)
{
    QString name = QFileInfo(fileName).fileName();
    name.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    name.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return '"' + name.toUtf8() + '"';
}

// The code of a reply's last line; a line that does not start with three
// digits is not understood, which every step judges as a refusal.
int ReplyCode(const QByteArray& line)
{
    if (line.size() < 3)
        return 500;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        const char c = line.at(i);
        if (c < '0' || c > '9')
            return 500;
        code = code * 10 + (c - '0');
    }
    return code;
}

bool IsContinuation(const QByteArray& line)
{
    return line.size() >= 4 && line.at(3) == '-' && ReplyCode(line) != 500;
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
    , Socket(new QTcpSocket(this))
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

void TMailClient::Configure(const TMailSettings& settings)
{
    ClearParams = false;
    Host = settings.Host;
    Port = settings.Port;
    UserID = settings.User;
    FromName = settings.FromName;
    FromAddress = settings.FromAdr;
}

QString TMailClient::Refusal() const
{
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
    // The time-out counts from the last sign of progress, so a large
    // attachment on a slow line is not cut off while it still moves.
    connect(Socket, &QIODevice::readyRead, &loop, [&] {
        timer.start(TimeoutMs);
        if (settled())
            loop.quit();
    });
    connect(Socket, &QIODevice::bytesWritten, &loop, [&] { timer.start(TimeoutMs); });
    connect(Socket, &QAbstractSocket::stateChanged, &loop, [&] {
        if (settled())
            loop.quit();
    });
    connect(Socket, &QAbstractSocket::errorOccurred, &loop, [&] {
        if (settled())
            loop.quit();
    });
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
    int code = -1;
    const auto whole = [&] {
        qsizetype from = 0;
        for (;;) {
            const qsizetype end = Incoming.indexOf('\n', from);
            if (end < 0) {
                if (Incoming.size() > MaxReplyBytes)
                    Socket->abort();
                return false;
            }
            QByteArray line = Incoming.mid(from, end - from);
            if (line.endsWith('\r'))
                line.chop(1);
            from = end + 1;
            if (IsContinuation(line))
                continue;
            code = ReplyCode(line);
            Incoming.remove(0, from);
            return true;
        }
    };
    if (Wait(whole) == TWaitResult::Done)
        return code;
    Drop();
    return -1;
}

int TMailClient::Command(const QString& line)
{
    if (!Connected())
        return -1;
    Socket->write(line.toUtf8() + "\r\n");
    return Reply();
}

void TMailClient::Drop()
{
    Socket->abort();
    Incoming.clear();
}

bool TMailClient::Connect()
{
    LastError.clear();
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
                if (Port < 1 || Port > 65535) {
                    if (OnConnectionFailed)
                        OnConnectionFailed();
                    return false;
                }
                Socket->connectToHost(host, static_cast<quint16>(Port));
                const TWaitResult r = Wait([this] { return Socket->state() == QAbstractSocket::ConnectedState; });
                if (r == TWaitResult::Done)
                    break;
                const QAbstractSocket::SocketError error = Socket->error();
                Drop();
                if (r == TWaitResult::TimedOut)
                    return false;
                if (error != QAbstractSocket::HostNotFoundError) {
                    if (OnConnectionFailed)
                        OnConnectionFailed();
                    return false;
                }
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
        for (int attempt = 0;; ++attempt) {
            if (const QString refusal = Refusal(); !refusal.isEmpty()) {
                LastError = refusal;
                return false;
            }
            const int code = Command(QStringLiteral("HELO ") + UserID);
            if (code < 0)
                return false;
            if (code < 300)
                return true;
            bool handled = false;
            if (OnAuthenticationFailed)
                OnAuthenticationFailed(handled);
            if (!handled || attempt >= MaxRetries)
                return false;
        }
    } catch (...) {
        Busy = false;
        Drop();
        return false;
    }
}

bool TMailClient::ComposeMessage(QByteArray& message)
{
    bool asciiBody = true;
    QStringList body;
    // A body line holding a line break would otherwise put an unstuffed line,
    // even a lone ".", on the wire.
    for (const QString& entry : Body) {
        QString text = entry;
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        body << text.split(QLatin1Char('\n'));
        asciiBody = asciiBody && IsAscii(entry);
    }
    const QByteArray charset = asciiBody ? Charset.toLatin1() : QByteArray("utf-8");
    const QByteArray textType = "Content-Type: text/plain; charset=" + charset;

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
    // name keeps the layout without the blank.
    const QByteArray name = EncodeHeaderText(FromName);
    const QByteArray gap = IsAscii(FromName) ? QByteArray() : QByteArray(" ");
    header("From", name + gap + '<' + FromAddress.trimmed().toUtf8() + '>');
    QList<QByteArray> to;
    for (const QString& entry : ToAddress)
        if (!entry.trimmed().isEmpty())
            to << EncodeRecipient(entry);
    header("To", to.join(','));
    header("Subject", EncodeHeaderText(Subject));
    header("Mime-Version", "1.0");
    if (!Attachments.isEmpty()) {
        header("Content-Type", "multipart/mixed; boundary=\"" + boundary + '"');
    } else {
        lines << textType;
        if (!asciiBody)
            lines << "Content-Transfer-Encoding: 8bit";
    }
    lines << QByteArray() << QByteArray();

    if (!Attachments.isEmpty()) {
        lines << "--" + boundary << textType;
        if (!asciiBody)
            lines << "Content-Transfer-Encoding: 8bit";
        lines << QByteArray();
    }
    for (const QString& line : body) {
        QByteArray bytes = line.toUtf8();
        if (bytes.startsWith('.'))
            bytes.prepend('.');
        lines << bytes;
    }
    for (const QString& name : Attachments) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray data = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            if (OnAttachmentNotFound)
                OnAttachmentNotFound(name);
            return false;
        }
        const QByteArray quoted = QuotedFileName(name);
        lines << "--" + boundary << "Content-Type: application/octet-stream; name=" + quoted
              << "Content-Transfer-Encoding: base64" << "Content-Disposition: attachment; filename=" + quoted
              << QByteArray();
        for (qsizetype at = 0; at < data.size(); at += Base64Chunk)
            lines << data.mid(at, Base64Chunk).toBase64();
    }
    if (!Attachments.isEmpty())
        lines << "--" + boundary + "--";

    message.clear();
    for (const QByteArray& line : lines)
        message += line + "\r\n";
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

        const auto accepted = [](int code) { return code >= 0 && code <= 399; };
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
    client.OnAuthenticationFailed = [message](bool&) { *message = MailText::AuthenticationFailed; };
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
