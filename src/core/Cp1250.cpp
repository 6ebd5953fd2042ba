#include "core/Cp1250.h"

#include "core/SafeFile.h"

#include <QHash>
#include <QStringDecoder>

namespace {
// The reverse of the decoder's table. Encoding through it, rather than through
// an encoder, makes every character the code page lacks a "?" whatever
// substitute the platform's converter would pick.
const QHash<char32_t, char>& EncodeTable()
{
    static const QHash<char32_t, char> table = [] {
        QHash<char32_t, char> t;
        QStringDecoder decoder("windows-1250");
        for (int b = 0; b < 256; ++b) {
            const QString s = decoder.decode(QByteArray(1, static_cast<char>(b)));
            if (s.size() == 1 && s[0] != QChar::ReplacementCharacter)
                t.insert(s[0].unicode(), static_cast<char>(b));
        }
        return t;
    }();
    return table;
}
} // namespace

QByteArray ToCp1250(const QString& text)
{
    const auto& table = EncodeTable();
    QByteArray out;
    out.reserve(text.size());
    for (char32_t cp : text.toUcs4())
        out.append(table.value(cp, '?'));
    return out;
}

QString FromCp1250(const QByteArray& bytes)
{
    QStringDecoder decoder("windows-1250");
    return decoder.decode(bytes);
}

bool SaveTextLines(const QStringList& lines, const QString& fileName, TFileError& error)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += ToCp1250(line) + "\r\n";
    error = ReplaceFileWith(fileName, bytes);
    return !error.Failed();
}

bool SaveTextLines(const QStringList& lines, const QString& fileName, QString* error)
{
    TFileError problem;
    if (SaveTextLines(lines, fileName, problem))
        return true;
    if (error)
        *error = problem.Text();
    return false;
}
