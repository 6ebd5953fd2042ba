#include "PrintOutput.h"

#include <QPrinter>

TPrintJob::TPrintJob(QPrinter& printer)
    : FPrinter(printer)
{
}

TPrintJob::~TPrintJob()
{
    if (FPainter.isActive()) {
        FPrinter.abort();
        FPainter.end();
    }
}

bool TPrintJob::Start() { return FPainter.isActive() || FPainter.begin(&FPrinter); }

bool TPrintJob::NewPage() { return FPainter.isActive() && FPrinter.newPage(); }

bool TPrintJob::Finish()
{
    return FPainter.isActive() && FPainter.end() && FPrinter.printerState() != QPrinter::Error;
}
