#include "PrintOutput.h"

#include <QFile>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryFile>

bool PrinterInstalled()
{
    return !QPrinterInfo::availablePrinters().isEmpty();
}

TPrintJob::TPrintJob(QPrinter& printer)
    : FPrinter(printer)
{
}

TPrintJob::~TPrintJob()
{
    if (!FDone)
        Abort();
}

bool TPrintJob::Prepare()
{
    if (FPrinter.outputFormat() != QPrinter::PdfFormat)
        return FPrinter.isValid();
    FTarget = FPrinter.outputFileName();
    if (FTarget.isEmpty())
        return false;
    QTemporaryFile temp(FTarget + QStringLiteral(".XXXXXX"));
    temp.setAutoRemove(false);
    if (!temp.open()) {
        FTarget.clear();
        return false;
    }
    FTemp = temp.fileName();
    temp.close();
    FPrinter.setOutputFileName(FTemp);
    return true;
}

bool TPrintJob::Start()
{
    if (FDone)
        return false;
    if (!FPainter.isActive() && !FPainter.begin(&FPrinter))
        return false;
    return true;
}

bool TPrintJob::NewPage()
{
    return FPainter.isActive() && FPrinter.newPage();
}

bool TPrintJob::Finish()
{
    if (FDone)
        return false;
    FDone = true;
    const bool ended = FPainter.isActive() && FPainter.end() && FPrinter.printerState() != QPrinter::Error;
    if (FTemp.isEmpty())
        return ended;
    bool placed = false;
    if (ended) {
        // The earlier file goes only once the new one is whole.
        if (QFile::exists(FTarget))
            QFile::remove(FTarget);
        placed = QFile::rename(FTemp, FTarget);
    }
    if (!placed)
        QFile::remove(FTemp);
    RestoreName();
    return placed;
}

void TPrintJob::Abort()
{
    if (FDone)
        return;
    FDone = true;
    if (FPainter.isActive()) {
        // The PDF engine cannot abort; its pages go to the temporary file,
        // which is dropped.
        FPrinter.abort();
        FPainter.end();
    }
    if (!FTemp.isEmpty()) {
        QFile::remove(FTemp);
        RestoreName();
    }
}

void TPrintJob::RestoreName()
{
    FPrinter.setOutputFileName(FTarget);
    FTemp.clear();
}
