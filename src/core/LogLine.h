#pragma once
// One line of the site service's log: the event as the first word, then
// key=value pairs, so that journald, grep and a person all read it. A value
// with a blank, a quote, a backslash or an equals sign goes in double quotes
// with " and \ escaped by a backslash; control characters become blanks so
// one event stays one line.
#include <QString>

#include <initializer_list>
#include <utility>
#include <vector>

class TLogLine {
public:
    explicit TLogLine(const QString& event)
        : Text(event)
    {
    }
    TLogLine& Add(const QString& key, const QString& value);
    TLogLine& Add(const QString& key, qlonglong value) { return Add(key, QString::number(value)); }
    TLogLine& Add(const QString& key, double value, int decimals);
    const QString& Line() const { return Text; }

    // The value as it appears after key=.
    static QString Quote(const QString& value);

private:
    QString Text;
};
