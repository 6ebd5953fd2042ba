#include "output/CustomExcel.h"

#include "output/ExcelError.h"
#include "output/LocateExcel.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

namespace {
const QString Ready = QStringLiteral("Ready");
QString NotConnected() { return QStringLiteral("No open DDE connection to Excel"); }
QString NotLaunched() { return QStringLiteral("Excel could not be launched"); }
} // namespace

TCustomExcel::TCustomExcel(std::unique_ptr<TDdeConversation> conversation)
    : FConversation(std::move(conversation))
{
    FConversation->OnClosed = [this] { ConversationClosed(); };
}

TCustomExcel::~TCustomExcel()
{
    FConversation->OnClosed = nullptr;
    FConversation->Close();
}

void TCustomExcel::ConversationClosed()
{
    FConnected = false;
    if (OnClose)
        OnClose();
}

bool TCustomExcel::OpenLink()
{
    if (!FConversation->Open(Service, SystemTopic))
        return false;
    FConnected = true;
    if (OnOpen)
        OnOpen();
    return true;
}

void TCustomExcel::CheckConnected() const
{
    if (!FConnected)
        throw ExcelError(NotConnected());
}

void TCustomExcel::LocateExcel()
{
    const TSpreadsheetProgram program = LocateSpreadsheetProgram(Environment);
    ExeName = program.Program;
    ExeArguments = program.Arguments;
}

void TCustomExcel::LaunchExcel()
{
    const QFileInfo exe(ExeName);
    if (ExeName.isEmpty() || !exe.isFile() || !exe.isExecutable() || !QProcess::startDetached(ExeName, ExeArguments))
        throw ExcelError(NotLaunched());
}

void TCustomExcel::Connect()
{
    if (FConnected)
        return;
    if (!OpenLink()) {
        LocateExcel();
        if (!DDELaunch)
            LaunchExcel();
        if (!OpenLink() && !OpenLink())
            throw ExcelError(NotLaunched());
    }
    // Only a probe of the selection: whatever fails here, the commands of
    // the output will fail again and say so.
    const bool mode = FErrorMode;
    try {
        SetErrorMode(true);
        if (Request(QStringLiteral("Selection")) == NoReply)
            throw ExcelError(NoReply);
    } catch (const ExcelError&) {
    }
    try {
        SetErrorMode(mode);
    } catch (const ExcelError&) {
    }
}

void TCustomExcel::Disconnect()
{
    if (FConversation->IsOpen())
        FConversation->Close();
    FConnected = false;
}

void TCustomExcel::Exec(const QString& command)
{
    if (FConversation->Topic() != SystemTopic) {
        FConversation->Close();
        if (FConnected && !OpenLink())
            FConnected = false;
    }
    ++MacroCount;
    if (BurstCount >= 0 && MacroCount == BurstCount) {
        WaitReady();
        MacroCount = 0;
    }
    if (FConversation->Execute(command, false))
        return;
    WaitReady();
    if (!FConversation->Execute(command, true))
        throw ExcelError(QStringLiteral("\"%1\" not accepted by Excel").arg(command));
}

QString TCustomExcel::Request(const QString& item)
{
    const std::optional<QString> reply = FConversation->Request(item);
    return reply ? *reply : NoReply;
}

void TCustomExcel::WaitReady()
{
    if (OnBeginWait)
        OnBeginWait();
    // Not open, nothing will ever read "Ready": the wait ends with an error
    // instead of spinning for ever.
    for (;;) {
        if (!FConversation->IsOpen()) {
            if (OnEndWait)
                OnEndWait();
            throw ExcelError(NotConnected());
        }
        if (!FConversation->TransactionInProgress() && Request(QStringLiteral("Status")) == Ready)
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (OnWaiting)
            OnWaiting();
    }
    if (OnEndWait)
        OnEndWait();
}

void TCustomExcel::SetErrorMode(bool on)
{
    CheckConnected();
    FErrorMode = on;
    Exec(QStringLiteral("[ERROR(%1)]").arg(on ? 0 : 1));
}
