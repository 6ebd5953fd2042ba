#pragma once
// One client conversation with a spreadsheet server: the little the
// spreadsheet driver needs from the data-exchange layer below it. Today the
// server is the program's own (TSheetServer); a platform with a system-wide
// exchange can put its client conversation under the same calls.
#include <QString>

#include <functional>
#include <optional>

class TDdeConversation {
public:
    virtual ~TDdeConversation() = default;

    // Opens the conversation with a server of service on topic; false when
    // no server answers.
    virtual bool Open(const QString& service, const QString& topic) = 0;
    // Closes the conversation when it is open; OnClosed follows.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual QString Topic() const = 0;
    // Starts an execute transaction; it completes later, on the event loop.
    // False when refused at once: the conversation is closed, a waited
    // transaction is still in progress, or the server will not take the
    // command. With wait the conversation reports a transaction in progress
    // until the server has completed this one.
    virtual bool Execute(const QString& command, bool wait) = 0;
    virtual bool TransactionInProgress() const = 0;
    // The server's text for item, answered at once; nothing when the
    // conversation is closed or the server has no such item.
    virtual std::optional<QString> Request(const QString& item) = 0;

    // Raised whenever an open conversation closes, from either side.
    std::function<void()> OnClosed;
};
