#pragma once
// The sheet "Merania" of the archive page: which measurements are shown and
// in which colour, which tables and records go out, and the outputs that
// write them (text file, text print, spreadsheet, mail) and print the
// graphs. The texts and drawings are the archive view's and the output
// library's; the sheet holds the choices, the busy flag's buttons and the
// print layout.
#include "demand/Contract.h"
#include "print/PrintLayout.h"
#include "output/ArchText.h"

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPrinter;
class QPushButton;
class QRadioButton;
class QThread;
class TAdvExcel;
class TDispArch;
class TDrawGrid;
class TFolderFigures;
class TMailClient;
class TPanelMail;
class TSheetServer;
struct TFileError;

// The desktop's spreadsheet program opens the workbook at path.
bool OpenInSpreadsheetProgram(const QString& path);

class TSheetMeasurements : public QWidget {
    Q_OBJECT
public:
    // outputBusy is the window's flag (it refuses to close or change pages
    // while it is set); view and the flag must outlive the sheet.
    TSheetMeasurements(TDispArch& view, bool& outputBusy, QWidget* parent = nullptr);
    ~TSheetMeasurements() override;

    TDrawGrid* DrawGridM = nullptr;
    QCheckBox* CheckBoxP = nullptr;
    QCheckBox* CheckBoxA = nullptr;
    QRadioButton* RadioButtonA = nullptr;
    QRadioButton* RadioButtonB = nullptr;
    QPushButton* ButtonF = nullptr;
    QPushButton* ButtonP = nullptr;
    QPushButton* ButtonE = nullptr;
    QPushButton* ButtonM = nullptr;
    QPushButton* ButtonR = nullptr; // the monthly report
    QPushButton* ButtonC = nullptr; // the interval powers as CSV beside the text file
    QLineEdit* EditF = nullptr;
    QLineEdit* EditM = nullptr;
    QPushButton* ButtonS = nullptr;
    QCheckBox* CheckBoxS = nullptr;
    QCheckBox* CheckBoxM = nullptr;
    QLabel* Label28 = nullptr;
    QLabel* LabelP = nullptr;
    QPushButton* ButtonT = nullptr;
    QPushButton* ButtonQ = nullptr;
    TPanelMail* PanelM = nullptr;

    // A printer is installed and Printer is the default one (a test gives a
    // PDF printer instead).
    bool PrinterPresent = false;
    void SetPrinter(std::unique_ptr<QPrinter> printer);
    // The default printer as it is now, null when none is installed. It is
    // called off the main thread (a print system may take long to answer,
    // or never), so it must touch nothing shared; its result comes back by
    // a queued call.
    std::function<std::unique_ptr<QPrinter>()> LookUpPrinter;
    QPrinter* Printer() const { return FPrinter.get(); }
    TPrintLayout Layout;
    // Looks for the default printer again without waiting for it: at
    // start-up, whenever the sheet is shown and at each print. The buttons
    // follow when the answer comes.
    void RequestPrinter();
    // A lookup runs or is asked for.
    bool LookingForPrinter() const { return Lookup || LookupAgain; }
    // A print waits this long for the print system, processing events.
    int PrinterWaitMs = 15000;
    // Says why the print buttons are disabled while no printer exists.
    QLabel* LabelPrinter = nullptr;
    // What an output wrote (its full path) or why it could not; the window
    // shows it in its status line.
    std::function<void(const QString&)> OnNotice;

    // Not owned; null when the window has none.
    TMailClient* MailClient = nullptr;
    TAdvExcel* Excel = nullptr;
    // The conversation under Excel, which writes the workbook.
    TSheetServer* Sheets = nullptr;
    // Shows a written workbook; false when no program could (the path is
    // then told to the user).
    std::function<bool(const QString& path)> OpenSpreadsheet = OpenInSpreadsheetProgram;
    // The measurement labels by channel and the month's caption.
    QStringList Labels;
    // The zone of the CSV times ("INE" TimeZone); empty: the system's.
    QString TimeZone;
    std::function<QString()> Caption;
    QString Site; // the configured site name, for the report
    // ZMLUVA: the sheet shows the open month's billing demand and charge
    // under it (set after TimeZone); the report shows the reserved capacity.
    void SetContract(const TContract& contract);
    const TContract& Contract() const { return FContract; }
    QGroupBox* GroupDemand = nullptr;
    QLabel* LabelDemand = nullptr;
    // A colour was chosen: the archive page refreshes its tables and graph
    // (and calls CheckAM).
    std::function<void()> OnColorsChanged;

    // An output's handler is on the stack: after STOP clears the busy flag it
    // still winds down (closing a conversation, ending a job), and nothing
    // may start or change under it until it has.
    bool OutputRunning() const { return Running; }
    // Busy or still winding down: the window may not close or change pages,
    // nor the archive page open another month.
    bool OutputActive() const { return OutputBusy || Running || WaitingForPrinter; }

    void CheckAM();
    void SetOutputBusy(QPushButton* button, bool busy, QString& savedCaption);
    // The progress of a running output in the STOP button.
    void ShowProgress(QPushButton* stop, const QString& savedCaption, int percent);
    // The progress callback of a print: caption, events, and whether to go on.
    std::function<bool(int)> Progress(QPushButton* stop, const QString& savedCaption);
    void ButtonSClick();
    void DrawGridMSelectCell(int col, int row);
    void ButtonFClick();
    // Writes the text file named in EditF; mailing: the file is the mail's
    // own and is overwritten without asking when it holds a text output of
    // the same month. True when it was written.
    bool WriteTextFile(bool mailing = false);
    void ButtonPClick();
    void ButtonTClick();
    void ButtonMClick();
    void ButtonEClick();
    void ButtonRClick();
    void ButtonCClick();
    // The sheet's choices for the outputs.
    TTableChoice Choice() const;
    // After the chosen colours changed: CheckBoxM is available only while
    // two or more measurements are shown.
    void ColorsChanged();
    // The open month's billing demand and charge, as its records are now.
    void ShowDemand();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void DrawGridMDrawCell(QPainter& painter, int col, int row, const QRect& rect);
    // The answer of a lookup, on the main thread.
    void PrinterArrived(std::unique_ptr<QPrinter> printer);
    void ShowPrinterState();
    void Notice(const QString& text);
    // Says in the status line and a box why a file was not written.
    void NotWritten(const TFileError& error);
    bool Lookup = false;
    bool LookupAgain = false;
    bool PrinterKnown = false; // a lookup has answered (or a printer was given)
    std::unique_ptr<QThread> LookupThread;
    bool WaitingForPrinter = false;
    // A print uses the printer: an answer waits in Parked until it ends.
    bool Printing = false;
    bool HasParked = false;
    std::unique_ptr<QPrinter> Parked;
    void FitGrid();
    void PlaceStop(QPushButton* button);
    // A print starts: the default printer now (looked up afresh, waiting
    // with events processed), and the layout for its page. False, with the
    // reason said, when there is none or the print system does not answer.
    bool TakeDefaultPrinter();
    // Names the job after the month and the output.
    void TitleJob(const QString& output);

    TDispArch& View;
    bool& OutputBusy;
    bool Running = false;
    class TRunning;
    class TPrinting;
    QGroupBox* GroupTable = nullptr;
    std::unique_ptr<QPrinter> FPrinter;
    TContract FContract;
    // The months before the open one, read once while it stays open.
    std::unique_ptr<TFolderFigures> DemandFigures;
    uint16_t DemandMonth = 0;
};
