#pragma once
// A monthly file opened for the output subcommands: the archive view over it
// and the table choice the window makes by default (both tables, all
// records, every channel shown, the labels of the configuration).
#include "output/ArchText.h"

#include <QString>
#include <QStringList>

#include <memory>

class TArchiveQDR;
class TDispArch;
struct TSettings;

struct TToolMonth {
    // The one start of every output subcommand (text, xlsx, csv, report):
    // opens the monthly file input, which must be read whole and hold a
    // record dated within its month, and checks the file the command will
    // write: output, or when empty the month as the window names it with
    // extension ("2026NOV" + ".csv"). The output must not be the month
    // itself, any monthly file or anything but a regular file. "-" is
    // standard output where allowStdout. -1 when all is well (Output then
    // holds the name to write), else the exit status (2, the reason told).
    int Load(const QString& input, const QString& output, const QString& extension, const TSettings& settings,
             bool allowStdout = false);
    // Load for the command line MONTHFILE [-o NAME] [--config FILE], which
    // it reads first with the configuration into settings.
    int OpenFromArgs(const QStringList& args, const QString& command, const QString& extension, TSettings& settings);
    QString Output;

    TToolMonth();
    ~TToolMonth();
    // The month alone, for a command that writes no file of its own (store):
    // false with Error set when the file cannot be shown. NothingToWrite
    // (output/RecordClock.h) then tells a month with nothing to store.
    bool Open(const QString& fileName, const TSettings& settings);

    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;
    TTableChoice Choice;
    QString Error;
};
