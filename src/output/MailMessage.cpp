#include "output/MailMessage.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

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
// way MailRecipientAddress reads it.
QByteArray EncodeRecipient(const QString& entry)
{
    const QString address = MailRecipientAddress(entry);
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

// Lines joined with CR LF, every line that begins with "." given another,
// whatever part made it (a quoted-printable line holds soft breaks of its
// own). Each part begins a line.
QByteArray Stuffed(const QList<QByteArray>& lines)
{
    QByteArray text;
    for (const QByteArray& line : lines)
        text += line + "\r\n";
    if (text.startsWith('.'))
        text.prepend('.');
    text.replace("\r\n.", "\r\n..");
    return text;
}

// Bytes of n attachment bytes as base64 lines with their line ends.
qint64 Base64Size(qint64 n)
{
    const qint64 rest = n % Base64Chunk;
    return n / Base64Chunk * (Base64Chunk / 3 * 4 + 2) + (rest > 0 ? (rest + 2) / 3 * 4 + 2 : 0);
}

// The file opened for reading without waiting on it: a FIFO or a device in
// its place would hold the thread that sends; only a regular file is taken.
std::unique_ptr<QFile> OpenRegular(const QString& fileName, qint64& size)
{
    const int fd = ::open(QFile::encodeName(fileName).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    size = st.st_size;
    return file;
}

} // namespace

QString MailRecipientAddress(const QString& entry)
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

bool MailValidAddress(const QString& address)
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

bool MailHasControl(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || u == 0x7F)
            return true;
    }
    return false;
}

QString TMailMessage::Refusal() const
{
    const QString text = QStringLiteral("%1 obsahuje koniec riadku alebo iný nepovolený znak !");
    if (MailHasControl(FromName))
        return text.arg(QStringLiteral("Meno odosielateľa"));
    if (MailHasControl(FromAddress))
        return text.arg(QStringLiteral("Adresa odosielateľa"));
    for (const QString& entry : To)
        if (MailHasControl(entry))
            return text.arg(QStringLiteral("Adresa príjemcu"));
    if (MailHasControl(Subject))
        return text.arg(QStringLiteral("Predmet"));
    for (const QString& name : Attachments)
        if (MailHasControl(name))
            return text.arg(QStringLiteral("Názov súboru"));
    // An address with a ">" or a blank would carry parameters of its own
    // into MAIL FROM or RCPT TO. An empty one is Missing's matter.
    const QString invalid = QStringLiteral("%1 \"%2\" nie je platná adresa (meno@doména) !");
    const QString from = FromAddress.trimmed();
    if (!from.isEmpty() && !MailValidAddress(from))
        return invalid.arg(QStringLiteral("Adresa odosielateľa"), from);
    for (const QString& entry : To) {
        const QString address = MailRecipientAddress(entry);
        if (!address.isEmpty() && !MailValidAddress(address))
            return invalid.arg(QStringLiteral("Adresa príjemcu"), address);
    }
    return QString();
}

int TMailMessage::Missing() const
{
    if (FromAddress.trimmed().isEmpty())
        return 1;
    return Recipients().empty() ? 2 : 0;
}

std::vector<std::pair<QString, QString>> TMailMessage::Recipients() const
{
    std::vector<std::pair<QString, QString>> out;
    for (const QString& entry : To)
        if (const QString address = MailRecipientAddress(entry); !address.isEmpty())
            out.emplace_back(address, entry);
    return out;
}

TMailEncoding::TMailEncoding() = default;
TMailEncoding::~TMailEncoding() = default;

bool TMailEncoding::Open(const TMailMessage& m)
{
    Parts.clear();
    Part = 0;
    Total = 0;
    FailedFile.clear();

    bool asciiBody = true;
    bool longLine = false;
    QStringList body;
    // A body line holding a line break would otherwise put an unstuffed line,
    // even a lone ".", on the wire.
    for (const QString& entry : m.Body) {
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
    const QByteArray charset = asciiBody ? m.Charset.toLatin1() : QByteArray("utf-8");
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
    const QByteArray name = DisplayName(m.FromName);
    const QByteArray gap = name.startsWith("=?") ? QByteArray(" ") : QByteArray();
    const QString from = m.FromAddress.trimmed();
    header("From", name + gap + '<' + from.toUtf8() + '>');
    QList<QByteArray> to;
    for (const QString& entry : m.To)
        if (!entry.trimmed().isEmpty())
            to << EncodeRecipient(entry);
    header("To", Folded(to, ",", 4));
    header("Subject", EncodeHeaderText(m.Subject));
    // Relays and filters expect both; the date in English whatever the
    // locale, the identifier unique with the sender's domain.
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc() / 60;
    header("Date", QLocale::c().toString(now, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss ")).toLatin1() +
                       (offset < 0 ? '-' : '+') +
                       QByteArray::number(std::abs(offset) / 60 * 100 + std::abs(offset) % 60).rightJustified(4, '0'));
    const QString domain = from.mid(from.lastIndexOf(QLatin1Char('@')) + 1);
    header("Message-ID", QStringLiteral("<%1.%2@%3>")
                             .arg(now.toMSecsSinceEpoch())
                             .arg(QRandomGenerator::global()->generate64(), 0, 36)
                             .arg(MailValidAddress(from) ? domain : QStringLiteral("qdrwin.invalid"))
                             .toLatin1());
    header("Mime-Version", "1.0");
    if (!m.Attachments.isEmpty())
        header("Content-Type", "multipart/mixed; boundary=\"" + boundary + '"');
    else
        lines << textType;
    lines << QByteArray() << QByteArray();

    if (!m.Attachments.isEmpty())
        lines << "--" + boundary << textType << QByteArray();
    for (const QString& line : body)
        lines << (encoded ? QuotedPrintable(line.toUtf8()) : line.toUtf8());
    for (const QString& fileName : m.Attachments) {
        qint64 size = 0;
        std::unique_ptr<QFile> file = OpenRegular(fileName, size);
        if (!file) {
            Parts.clear();
            FailedFile = fileName;
            return false;
        }
        lines << "--" + boundary << "Content-Type: application/octet-stream; " + FileNameParameter(fileName, "name")
              << "Content-Transfer-Encoding: base64"
              << "Content-Disposition: attachment; " + FileNameParameter(fileName, "filename") << QByteArray();
        Parts.push_back({Stuffed(lines), nullptr, {}, 0, 0});
        lines.clear();
        TPart data;
        data.File = std::move(file);
        data.Name = fileName;
        data.FileSize = size;
        Parts.push_back(std::move(data));
    }
    if (!m.Attachments.isEmpty())
        lines << "--" + boundary + "--";
    Parts.push_back({Stuffed(lines), nullptr, {}, 0, 0});
    for (const TPart& p : Parts)
        Total += p.File ? Base64Size(p.FileSize) : p.Text.size();
    return true;
}

bool TMailEncoding::Next(QByteArray& out, qint64 max)
{
    qint64 room = std::max<qint64>(max, 1);
    while (room > 0 && Part < Parts.size()) {
        TPart& p = Parts[Part];
        if (!p.File) {
            out += p.Text;
            room -= p.Text.size();
            ++Part;
            continue;
        }
        // Whole base64 lines of 45 bytes each, up to what room takes.
        const qint64 lines = std::max<qint64>(1, room / (Base64Chunk / 3 * 4 + 2));
        const qint64 want = std::min(p.FileSize - p.Read, lines * Base64Chunk);
        QByteArray data(want, Qt::Uninitialized);
        qint64 got = 0;
        while (got < want) {
            const qint64 n = p.File->read(data.data() + got, want - got);
            if (n <= 0)
                break;
            got += n;
        }
        // A file that shrank or failed since it was measured would make a
        // message other than the one announced.
        if (got < want) {
            FailedFile = p.Name;
            return false;
        }
        for (qint64 at = 0; at < got; at += Base64Chunk)
            out += data.mid(at, Base64Chunk).toBase64() + "\r\n";
        room -= Base64Size(got);
        p.Read += got;
        if (p.Read >= p.FileSize) {
            p.File.reset();
            ++Part;
        }
    }
    return true;
}
