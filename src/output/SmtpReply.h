#pragma once
// One reply of an SMTP server: its code and the text of each of its lines.
// Take reads it from the front of what has arrived, so the client never acts
// on half a reply, and the server's EHLO lines say what it offers.
#include <QByteArray>
#include <QList>

class TSmtpReply {
public:
    enum class TTake { Whole, More, TooLong };

    // The code of the last line; a line that does not start with three
    // digits is not understood and reads as 500, a refusal at every step.
    int Code = -1;
    // The text of each line after the code and its separator.
    QList<QByteArray> Lines;

    // A server that sends this much without finishing a reply is not an SMTP
    // server worth waiting for.
    static constexpr qsizetype MaxBytes = 64 * 1024;

    // Whole: the first complete reply of buffer is in reply and removed from
    // buffer. More: the reply is not complete yet, buffer is left alone.
    // TooLong: more than MaxBytes without the end of a reply.
    static TTake Take(QByteArray& buffer, TSmtpReply& reply);

    // An EHLO keyword the server named at the start of a line ("STARTTLS",
    // "AUTH"), ASCII case ignored.
    bool Offers(const QByteArray& keyword) const;
    // The upper-cased words after the keyword ("AUTH PLAIN LOGIN" and the old
    // "AUTH=LOGIN" alike).
    QList<QByteArray> Params(const QByteArray& keyword) const;
    // All lines in one text, for telling why a command was refused.
    QByteArray Text() const;
};
