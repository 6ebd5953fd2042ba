#pragma once
// The spreadsheet driver's base: one conversation with the spreadsheet on
// its "System" topic, macro commands sent in bursts with a wait for "Ready"
// between them, and requests of the system items. Every wait processes the
// event loop, so the window stays alive (and its STOP button noticed) while
// the spreadsheet works; every wait ends, with ExcelError, as soon as the
// conversation is not open.
#include "output/DdeConversation.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

class TCustomExcel {
public:
    static inline const QString Service = QStringLiteral("Excel");
    static inline const QString SystemTopic = QStringLiteral("System");
    static inline const QString NoReply = QStringLiteral("*** Excel - No Reply ***");

    explicit TCustomExcel(std::unique_ptr<TDdeConversation> conversation);
    virtual ~TCustomExcel();
    TCustomExcel(const TCustomExcel&) = delete;
    TCustomExcel& operator=(const TCustomExcel&) = delete;

    // ExcelError "No open DDE connection to Excel" when not Connected.
    virtual void CheckConnected() const;
    // Finds the program that opens the spreadsheet's files: ExeName becomes
    // its path, empty when there is none.
    virtual void LocateExcel();
    // Starts ExeName; ExcelError "Excel could not be launched" when it is
    // not an executable file or does not start.
    virtual void LaunchExcel();

    void Connect();
    void Disconnect();
    void Exec(const QString& command);
    QString Request(const QString& item);
    void WaitReady();
    void SetErrorMode(bool on);

    TDdeConversation& Conversation() { return *FConversation; }
    bool Connected() const { return FConnected; }
    bool ErrorMode() const { return FErrorMode; }

    QString ExeName = Service;
    // The arguments ExeName is started with (LocateExcel sets them).
    QStringList ExeArguments;
    bool DDELaunch = true;
    int32_t MacroCount = 0;
    int32_t BurstCount = 128;
    // Where LocateExcel looks for programs (PATH); the process's own by default.
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();

    std::function<void()> OnOpen;
    std::function<void()> OnClose;
    std::function<void()> OnBeginWait;
    std::function<void()> OnEndWait;
    std::function<void()> OnWaiting;

private:
    bool OpenLink();
    void ConversationClosed();

    std::unique_ptr<TDdeConversation> FConversation;
    bool FConnected = false;
    bool FErrorMode = false;
};
