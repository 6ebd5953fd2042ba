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
    // The command line of an output subcommand: MONTHFILE [-o NAME]
    // [--config FILE]. Reads the configuration into settings and opens the
    // month, which must be read whole; refuses an output that is the month
    // itself, any monthly file or not a regular file. -1 when all is well,
    // else the exit status (the reason told).
    int OpenFromArgs(const QStringList& args, const QString& command, TSettings& settings);
    QString Output; // -o / --output, empty when not given
    // The file the command writes: -o, else the month as the window names it.
    QString OutputName(const QString& command) const;

    TToolMonth();
    ~TToolMonth();
    // False with Error set when the file cannot be shown.
    bool Open(const QString& fileName, const TSettings& settings);

    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;
    TTableChoice Choice;
    QString Error;
};
