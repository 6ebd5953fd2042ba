#pragma once
// A mail message apart from how it travels: the sender, the recipients, the
// subject, a plain body and the files attached, and the message as the DATA
// command carries it (RFC 5322 headers, RFC 2047 words, quoted-printable,
// base64). The encoded form is made a piece at a time while it goes out, so
// a large attachment is never held whole, and its size is known before a
// byte of any file is read.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

struct TMailMessage {
    QString FromName;
    QString FromAddress;
    // Recipient entries: "Name <addr>", "Kopia: addr" or the bare address.
    QStringList To;
    QString Subject;
    QStringList Body; // lines
    QStringList Attachments; // file names
    // Declared for a body of plain ASCII; a body with other characters goes
    // out as UTF-8, quoted-printable (as does one with a line over 998
    // bytes), since the plain dialogue never learns of 8BITMIME.
    QString Charset = QStringLiteral("us-ascii");

    // What must not be sent: a field that would break the lines of the
    // exchange (a line end or another control character in a header field
    // or a file name), an address that is not local-part@domain. The Slovak
    // reason, empty when the message may be sent. A missing sender or
    // recipient is the caller's matter (Missing).
    QString Refusal() const;
    // 1: no sender address, 2: no recipient address, 0: both are there.
    int Missing() const;
    // The addresses RCPT TO names, with the entry each came from.
    std::vector<std::pair<QString, QString>> Recipients() const;
};

// The address of a recipient entry: between "<" and ">", else after ":",
// else the whole entry; blanks around it dropped.
QString MailRecipientAddress(const QString& entry);
// local-part@domain as a MAIL FROM or RCPT TO path can carry it: a dot-atom
// local part, one "@", a domain name or an address literal.
bool MailValidAddress(const QString& address);
// A character that would end or corrupt an SMTP line or a header line.
bool MailHasControl(const QString& text);

// The message as DATA carries it, every line ending in CR LF and every line
// that begins with "." given another; without the final ".".
class TMailEncoding {
public:
    TMailEncoding();
    ~TMailEncoding();
    TMailEncoding(const TMailEncoding&) = delete;
    TMailEncoding& operator=(const TMailEncoding&) = delete;

    // Lays out the headers and the body and opens the attachments; false
    // with FailedFile set when one cannot be opened or is not a regular file.
    bool Open(const TMailMessage& message);
    // Bytes of the whole encoded message.
    qint64 Size() const { return Total; }
    // Appends up to about max further bytes to out. False when an
    // attachment cannot be read as it was when opened (FailedFile set).
    bool Next(QByteArray& out, qint64 max);
    bool AtEnd() const { return Part >= Parts.size(); }
    QString FailedFile;

    // The boundary form, for readers of the messages.
    static constexpr const char* BoundaryPrefix = "====================54535";

private:
    // Text written as it is, or a file encoded as base64 lines.
    struct TPart {
        QByteArray Text;
        std::unique_ptr<QFile> File;
        QString Name;
        qint64 FileSize = 0;
        qint64 Read = 0;
    };
    std::vector<TPart> Parts;
    size_t Part = 0;
    qint64 Total = 0;
};
