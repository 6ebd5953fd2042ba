#pragma once
// The program's own spreadsheet server. Where no spreadsheet program takes
// macro commands from outside, the driver talks to this one instead: it
// answers the conversation on service "Excel", topic "System", carries out
// the few commands the driver sends on a workbook in memory, answers the
// items "Selection" and "Status", and writes the workbook as an .xlsx file
// when the conversation closes. Commands complete on the event loop, as an
// outside server's would, so the driver's waits are real waits.
#include "core/SafeFile.h"
#include "output/DdeConversation.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

struct TSheetCell {
    bool IsNumber = false;
    double Number = 0;
    QString Text;
};

struct TSheet {
    static constexpr uint32_t MaxRows = 1048576;
    static constexpr uint32_t MaxColumns = 16384;
    QString Name;
    // Keyed by (row, column), both from 1.
    std::map<std::pair<uint32_t, uint32_t>, TSheetCell> Cells;
    // Column (from 1) -> width in characters.
    std::map<uint32_t, double> Widths;
    uint32_t Row = 1;
    uint32_t Column = 1;
};

// Writes sheets as a workbook at path, through a file beside it that
// replaces path only once complete (ReplaceFile), so a failed write leaves an
// earlier workbook as it was and a link or FIFO of that name is refused.
// Failed() false on success, else why it failed.
TFileError WriteWorkbook(const std::vector<TSheet>& sheets, const QString& path);
// The workbook's name for a table output's file name: its extension (if
// any) becomes ".xlsx"; a bare name lands in the current directory.
QString XlsxFileName(const QString& name);

class TSheetServer : public TDdeConversation {
public:
    TSheetServer();
    ~TSheetServer() override;
    TSheetServer(const TSheetServer&) = delete;
    TSheetServer& operator=(const TSheetServer&) = delete;

    bool Open(const QString& service, const QString& topic) override;
    void Close() override;
    bool IsOpen() const override { return FOpen; }
    QString Topic() const override { return FTopic; }
    bool Execute(const QString& command, bool wait) override;
    bool TransactionInProgress() const override { return FWaitedPending; }
    std::optional<QString> Request(const QString& item) override;

    // Where the workbook of the next conversation is written when it closes.
    QString FileName;
    // The outcome of the last close: the file written (empty when the
    // conversation inserted no sheet or the write failed) and why a write
    // failed (empty otherwise).
    QString SavedPath() const { return FSavedPath; }
    QString SaveError() const { return FSaveFailure.Text(); }
    const TFileError& SaveFailure() const { return FSaveFailure; }
    // Raised after every close that had a workbook to write.
    std::function<void(const QString& path, const QString& error)> OnSaved;

    // The workbook of the running (or last) conversation.
    const std::vector<TSheet>& Sheets() const { return FSheets; }
    bool InputDisabled() const { return FInputDisabled; }
    bool ErrorMode() const { return FErrorMode; }
    // Commands not yet completed.
    int Pending() const { return FPending; }

    // Every step of the conversation as it happens: "open", "close",
    // "execute COMMAND", "refuse COMMAND", "request ITEM: REPLY" (REPLY
    // "(none)" for no answer).
    std::function<void(const QString& entry)> OnLog;
    // A command this returns true for is refused as if not understood.
    std::function<bool(const QString& command)> Refuse;
    // More uncompleted commands than this and the server is busy: further
    // ones are refused until it has caught up.
    int MaxPending = 256;
    // False: no server answers an Open.
    bool Available = true;

private:
    bool Apply(const QString& command);
    bool ApplyFormula(const QString& arguments);
    TSheet* Active();
    void Completed(uint64_t generation, uint64_t serial);
    void Log(const QString& entry) const;
    void Save();

    QObject FContext;
    bool FOpen = false;
    QString FTopic;
    uint64_t FGeneration = 0;
    uint64_t FSerial = 0;
    uint64_t FWaitedSerial = 0;
    bool FWaitedPending = false;
    int FPending = 0;
    bool FInputDisabled = false;
    bool FErrorMode = false;
    std::vector<TSheet> FSheets;
    int FActive = -1;
    QString FSavedPath;
    TFileError FSaveFailure;
};
