#include "core/LogLine.h"

QString TLogLine::Quote(const QString& value)
{
    bool plain = !value.isEmpty();
    QString clean;
    clean.reserve(value.size());
    for (QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
        if (c.isSpace() || c == QLatin1Char('"') || c == QLatin1Char('\\') || c == QLatin1Char('='))
            plain = false;
        clean += c;
    }
    if (plain)
        return clean;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : clean) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

TLogLine& TLogLine::Add(const QString& key, const QString& value)
{
    Text += QLatin1Char(' ') + key + QLatin1Char('=') + Quote(value);
    return *this;
}

TLogLine& TLogLine::Add(const QString& key, double value, int decimals)
{
    return Add(key, QString::number(value, 'f', decimals));
}
