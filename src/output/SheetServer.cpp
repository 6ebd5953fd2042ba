#include "output/SheetServer.h"

#include "core/SafeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <xlsxwriter.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {
const QString Ready = QStringLiteral("Ready");
const QString Busy = QStringLiteral("Busy");
// The longest text a cell of the workbook format can hold.
constexpr int MaxCellText = 32767;

const QRegularExpression& CommandPattern()
{
    static const QRegularExpression re(QStringLiteral(R"(^\[([A-Za-z.]+)\((.*)\)\]$)"),
                                       QRegularExpression::DotMatchesEverythingOption);
    return re;
}

// An R1C1 reference, absolute (R3C2) or relative to the active cell (R[1]C).
const QString CellReference = QStringLiteral(R"(R(\[-?\d+\]|\d+)?C(\[-?\d+\]|\d+)?)");

bool Coordinate(const QString& part, uint32_t active, uint32_t limit, uint32_t& result)
{
    int64_t value = active;
    if (part.startsWith(QLatin1Char('['))) {
        bool ok = false;
        const qlonglong offset = part.mid(1, part.size() - 2).toLongLong(&ok);
        if (!ok)
            return false;
        value += offset;
    } else if (!part.isEmpty()) {
        bool ok = false;
        value = part.toLongLong(&ok);
        if (!ok)
            return false;
    }
    if (value < 1 || value > int64_t(limit))
        return false;
    result = uint32_t(value);
    return true;
}

bool ParseCell(const QString& text, const TSheet& sheet, uint32_t& row, uint32_t& column)
{
    static const QRegularExpression re(QLatin1Char('^') + CellReference + QLatin1Char('$'),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(text);
    return m.hasMatch() && Coordinate(m.captured(1), sheet.Row, TSheet::MaxRows, row) &&
           Coordinate(m.captured(2), sheet.Column, TSheet::MaxColumns, column);
}

// A quoted argument's text, taken literally: the driver does not escape a
// double quote inside, so only the outer pair is the quoting.
std::optional<QString> Quoted(const QString& argument)
{
    const QString a = argument.trimmed();
    if (a.size() < 2 || !a.startsWith(QLatin1Char('"')) || !a.endsWith(QLatin1Char('"')))
        return std::nullopt;
    return a.mid(1, a.size() - 2);
}

std::optional<double> TypedNumber(const QString& text)
{
    static const QRegularExpression re(QStringLiteral(R"(^\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*$)"));
    if (!re.match(text).hasMatch())
        return std::nullopt;
    const double v = text.trimmed().toDouble();
    if (!std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<bool> Flag(const QString& argument)
{
    const QString a = argument.trimmed().toUpper();
    if (a == QLatin1String("TRUE") || a == QLatin1String("1"))
        return true;
    if (a == QLatin1String("FALSE") || a == QLatin1String("0"))
        return false;
    return std::nullopt;
}

QString LxwProblem(lxw_error error) { return QString::fromUtf8(lxw_strerror(error)); }
} // namespace

QString XlsxFileName(const QString& name)
{
    if (name.trimmed().isEmpty())
        return QString();
    const QFileInfo info(name);
    const QString file = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    const QString dir = name.contains(QLatin1Char('/')) ? info.path() + QLatin1Char('/') : QString();
    return dir + file + QStringLiteral(".xlsx");
}

TFileError WriteWorkbook(const std::vector<TSheet>& sheets, const QString& path)
{
    // Messages name the workbook, not the private scratch file it is
    // written as.
    return ReplaceFileWith(path, [&sheets, &path](const QString& scratch) {
        const QByteArray scratchName = QFile::encodeName(scratch);
        errno = 0;
        lxw_workbook* book = workbook_new(scratchName.constData());
        if (!book)
            return errno != 0 ? TFileError::System(TFileError::TStep::Write, path, errno)
                              : TFileError::Other(TFileError::TStep::Write, path, QStringLiteral("no workbook"));
        TFileError problem;
        for (const TSheet& sheet : sheets) {
            const QByteArray name = sheet.Name.toUtf8();
            lxw_worksheet* ws = workbook_add_worksheet(book, name.constData());
            if (!ws) {
                problem = TFileError::Said(path, QStringLiteral("cannot add sheet %1").arg(sheet.Name));
                break;
            }
            for (const auto& [column, width] : sheet.Widths)
                worksheet_set_column(ws, lxw_col_t(column - 1), lxw_col_t(column - 1), width, nullptr);
            for (const auto& [at, cell] : sheet.Cells) {
                const lxw_row_t r = lxw_row_t(at.first - 1);
                const lxw_col_t c = lxw_col_t(at.second - 1);
                const lxw_error e = cell.IsNumber ? worksheet_write_number(ws, r, c, cell.Number, nullptr)
                                                  : worksheet_write_string(ws, r, c, cell.Text.toUtf8().constData(), nullptr);
                if (e != LXW_NO_ERROR && !problem.Failed())
                    problem = TFileError::Said(
                        path, QStringLiteral("cell R%1C%2: %3").arg(at.first).arg(at.second).arg(LxwProblem(e)));
            }
        }
        errno = 0;
        const lxw_error closed = workbook_close(book);
        const int e = errno;
        if (!problem.Failed() && closed != LXW_NO_ERROR)
            // The system's reason where the library failed on a file (a full
            // disk), else the library's own.
            problem = e != 0 ? TFileError::System(TFileError::TStep::Write, path, e)
                             : TFileError::Other(TFileError::TStep::Write, path, LxwProblem(closed));
        return problem;
    });
}

TSheetServer::TSheetServer() = default;

TSheetServer::~TSheetServer()
{
    OnClosed = nullptr;
    Close();
}

void TSheetServer::Log(const QString& entry) const
{
    if (OnLog)
        OnLog(entry);
}

bool TSheetServer::Open(const QString& service, const QString& topic)
{
    if (FOpen)
        Close();
    if (!Available || service.compare(QLatin1String("Excel"), Qt::CaseInsensitive) != 0 ||
        topic.compare(QLatin1String("System"), Qt::CaseInsensitive) != 0)
        return false;
    FOpen = true;
    FTopic = topic;
    FPending = 0;
    FWaitedPending = false;
    FInputDisabled = false;
    FErrorMode = false;
    FSheets.clear();
    FActive = -1;
    Log(QStringLiteral("open"));
    return true;
}

void TSheetServer::Close()
{
    if (!FOpen)
        return;
    FOpen = false;
    ++FGeneration; // completions still queued belong to the closed conversation
    FPending = 0;
    FWaitedPending = false;
    Log(QStringLiteral("close"));
    Save();
    if (OnClosed)
        OnClosed();
}

void TSheetServer::Save()
{
    FSavedPath.clear();
    FSaveFailure = {};
    if (FSheets.empty())
        return;
    if (FileName.isEmpty())
        FSaveFailure = TFileError::Said(FileName, QStringLiteral("no file name for the workbook"));
    else
        FSaveFailure = WriteWorkbook(FSheets, FileName);
    if (!FSaveFailure.Failed())
        FSavedPath = QFileInfo(FileName).absoluteFilePath();
    if (OnSaved)
        OnSaved(FSavedPath, FSaveFailure.Text());
}

bool TSheetServer::Execute(const QString& command, bool wait)
{
    const bool accepted = FOpen && !FWaitedPending && FPending < MaxPending && !(Refuse && Refuse(command)) &&
                          Apply(command);
    Log((accepted ? QStringLiteral("execute ") : QStringLiteral("refuse ")) + command);
    if (!accepted)
        return false;
    ++FPending;
    const uint64_t serial = ++FSerial;
    if (wait) {
        FWaitedSerial = serial;
        FWaitedPending = true;
    }
    const uint64_t generation = FGeneration;
    QMetaObject::invokeMethod(&FContext, [this, generation, serial] { Completed(generation, serial); }, Qt::QueuedConnection);
    return true;
}

void TSheetServer::Completed(uint64_t generation, uint64_t serial)
{
    if (generation != FGeneration || FPending == 0)
        return;
    --FPending;
    if (FWaitedPending && serial == FWaitedSerial)
        FWaitedPending = false;
}

std::optional<QString> TSheetServer::Request(const QString& item)
{
    std::optional<QString> reply;
    if (FOpen && item.compare(QLatin1String("Status"), Qt::CaseInsensitive) == 0)
        reply = FPending == 0 ? Ready : Busy;
    else if (FOpen && item.compare(QLatin1String("Selection"), Qt::CaseInsensitive) == 0) {
        const TSheet* sheet = Active();
        reply = sheet ? QStringLiteral("[%1]%2!R%3C%4")
                            .arg(QFileInfo(FileName).fileName(), sheet->Name, QString::number(sheet->Row),
                                 QString::number(sheet->Column))
                      : QString();
    }
    Log(QStringLiteral("request %1: %2").arg(item, reply ? *reply : QStringLiteral("(none)")));
    return reply;
}

TSheet* TSheetServer::Active() { return FActive >= 0 ? &FSheets[size_t(FActive)] : nullptr; }

bool TSheetServer::Apply(const QString& command)
{
    const QRegularExpressionMatch m = CommandPattern().match(command);
    if (!m.hasMatch())
        return false;
    const QString name = m.captured(1).toUpper();
    const QString arguments = m.captured(2);
    if (name == QLatin1String("ERROR")) {
        const std::optional<bool> on = Flag(arguments);
        if (!on)
            return false;
        // ERROR(0) turns the spreadsheet's own error prompts off.
        FErrorMode = !*on;
        return true;
    }
    if (name == QLatin1String("DISABLE.INPUT")) {
        const std::optional<bool> on = Flag(arguments);
        if (!on)
            return false;
        FInputDisabled = *on;
        return true;
    }
    if (name == QLatin1String("WORKBOOK.INSERT")) {
        if (arguments.trimmed() != QLatin1String("1"))
            return false;
        TSheet sheet;
        sheet.Name = QStringLiteral("Hárok%1").arg(FSheets.size() + 1);
        FSheets.push_back(std::move(sheet));
        FActive = int(FSheets.size()) - 1;
        return true;
    }
    TSheet* sheet = Active();
    if (!sheet)
        return false;
    if (name == QLatin1String("COLUMN.WIDTH")) {
        static const QRegularExpression re(QStringLiteral(R"(^\s*(\d+(?:\.\d+)?)\s*,\s*"C(\d+)(?::C(\d+))?"\s*$)"),
                                           QRegularExpression::CaseInsensitiveOption);
        const QRegularExpressionMatch w = re.match(arguments);
        if (!w.hasMatch())
            return false;
        const double width = w.captured(1).toDouble();
        uint32_t first = 0;
        uint32_t last = 0;
        if (width > 255 || !Coordinate(w.captured(2), 0, TSheet::MaxColumns, first) ||
            !Coordinate(w.captured(3).isEmpty() ? w.captured(2) : w.captured(3), 0, TSheet::MaxColumns, last))
            return false;
        if (first > last)
            std::swap(first, last);
        for (uint32_t c = first; c <= last; ++c)
            sheet->Widths[c] = width;
        return true;
    }
    if (name == QLatin1String("SELECT")) {
        const std::optional<QString> ref = Quoted(arguments);
        uint32_t row = 0;
        uint32_t column = 0;
        if (!ref || !ParseCell(*ref, *sheet, row, column))
            return false;
        sheet->Row = row;
        sheet->Column = column;
        return true;
    }
    if (name == QLatin1String("FORMULA"))
        return ApplyFormula(arguments);
    return false;
}

bool TSheetServer::ApplyFormula(const QString& arguments)
{
    TSheet& sheet = *Active();
    static const QRegularExpression withCell(QStringLiteral(R"re(^(.*),\s*"()re") + CellReference + QStringLiteral(R"re()"\s*$)re"),
                                             QRegularExpression::DotMatchesEverythingOption |
                                                 QRegularExpression::CaseInsensitiveOption);
    QString value = arguments;
    uint32_t row = sheet.Row;
    uint32_t column = sheet.Column;
    if (const QRegularExpressionMatch m = withCell.match(arguments); m.hasMatch()) {
        value = m.captured(1);
        if (!ParseCell(m.captured(2), sheet, row, column))
            return false;
    }
    // A text constant is the cell's entry as if typed; an unquoted argument
    // is taken only as a number (this server computes no formulas).
    TSheetCell cell;
    if (const std::optional<QString> text = Quoted(value)) {
        if (text->size() > MaxCellText)
            return false;
        if (text->startsWith(QLatin1Char('\''))) {
            cell.Text = text->mid(1);
        } else if (const std::optional<double> number = TypedNumber(*text)) {
            cell.IsNumber = true;
            cell.Number = *number;
        } else {
            // A leading "=" stays text too: a meter's name from the
            // configuration must not become a formula in the user's sheet.
            cell.Text = *text;
        }
    } else if (const std::optional<double> number = TypedNumber(value)) {
        cell.IsNumber = true;
        cell.Number = *number;
    } else {
        return false;
    }
    const std::pair<uint32_t, uint32_t> at{row, column};
    if (!cell.IsNumber && cell.Text.isEmpty())
        sheet.Cells.erase(at);
    else
        sheet.Cells[at] = std::move(cell);
    return true;
}
