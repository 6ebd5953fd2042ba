#include "output/SmtpReply.h"

namespace {

// -1 for a line that does not start with a code.
int LineCode(const QByteArray& line)
{
    if (line.size() < 3)
        return -1;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        const char c = line.at(i);
        if (c < '0' || c > '9')
            return -1;
        code = code * 10 + (c - '0');
    }
    // "2500 ..." is not a code followed by a separator.
    if (line.size() > 3 && line.at(3) != ' ' && line.at(3) != '-')
        return -1;
    return code;
}

// The keyword and its words of one EHLO line, upper-cased; "AUTH=LOGIN"
// splits like "AUTH LOGIN".
QList<QByteArray> Words(const QByteArray& line)
{
    QByteArray text = line.toUpper();
    const qsizetype eq = text.indexOf('=');
    const qsizetype blank = text.indexOf(' ');
    if (eq > 0 && (blank < 0 || eq < blank))
        text[eq] = ' ';
    return text.simplified().split(' ');
}

} // namespace

TSmtpReply::TTake TSmtpReply::Take(QByteArray& buffer, TSmtpReply& reply)
{
    QList<QByteArray> lines;
    qsizetype from = 0;
    for (;;) {
        const qsizetype end = buffer.indexOf('\n', from);
        if (end < 0)
            return buffer.size() > MaxBytes ? TTake::TooLong : TTake::More;
        QByteArray line = buffer.mid(from, end - from);
        if (line.endsWith('\r'))
            line.chop(1);
        from = end + 1;
        const int code = LineCode(line);
        lines << line.mid(4);
        if (code >= 0 && line.size() >= 4 && line.at(3) == '-')
            continue;
        reply.Code = code < 0 ? 500 : code;
        reply.Lines = lines;
        buffer.remove(0, from);
        return TTake::Whole;
    }
}

bool TSmtpReply::Offers(const QByteArray& keyword) const
{
    const QByteArray key = keyword.toUpper();
    for (const QByteArray& line : Lines)
        if (Words(line).value(0) == key)
            return true;
    return false;
}

QList<QByteArray> TSmtpReply::Params(const QByteArray& keyword) const
{
    const QByteArray key = keyword.toUpper();
    QList<QByteArray> params;
    for (const QByteArray& line : Lines) {
        const QList<QByteArray> words = Words(line);
        if (words.value(0) == key)
            params << words.mid(1);
    }
    return params;
}

QByteArray TSmtpReply::Text() const { return Lines.join(' '); }
