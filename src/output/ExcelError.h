#pragma once
// The one failure the spreadsheet driver raises: a message and nothing else,
// so the output only has to say that it failed.
#include <QString>

#include <stdexcept>

class ExcelError : public std::runtime_error {
public:
    explicit ExcelError(const QString& message)
        : std::runtime_error(message.toStdString())
        , Message(message)
    {
    }

    const QString Message;
};
