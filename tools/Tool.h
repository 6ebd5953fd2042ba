#pragma once
// What every qdrtool subcommand shares: its entry in the command table, output
// helpers and the option reader.
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <vector>

// Exit statuses shared by every subcommand.
enum TToolExit : int {
    ExitOk = 0,
    ExitNoAnswer = 1,   // the regulator did not answer as required
    ExitUsage = 2,      // bad command line or bad configuration
    ExitPort = 3,       // the port or socket could not be used
    ExitFolder = 4,     // the folder cannot be written
    ExitDatabase = 5,   // the database refused or could not be reached
};

struct TToolCommand {
    QString Name;
    QString Summary;
    QString Usage;      // full help text of the subcommand
    std::function<int(const QStringList& args)> Run;
};

// Every subcommand registers itself in this table (see Probe.cpp).
std::vector<TToolCommand>& ToolCommands();

struct TToolRegistration {
    explicit TToolRegistration(TToolCommand command) { ToolCommands().push_back(std::move(command)); }
};

void Out(const QString& line);
// One line on stderr, prefixed with "qdrtool: ".
void Fail(const QString& reason);

// SIGINT and SIGTERM only set a flag from here on, so that a command can end
// on its own terms (saving what is whole) within moments; StopSignal is that
// signal's number, 0 while none came. ExitFor gives the status of a command
// ended by it (130 or 143).
void CatchStopSignals();
int StopSignal();
int ExitFor(int signal);

// Why a command must not write its output to output (it is the monthly file
// input, any monthly file, or not a regular file); empty when it may.
QString OutputProblem(const QString& output, const QString& input);

class TEngine;
struct TSettings;
struct TMailSettings;
// Why the engine's port or socket cannot be used, for the message of exit 3.
QString PortProblem(const TEngine& engine, const TSettings& settings);
// Reads the configuration named by --config (or the default one) into
// settings; false after telling why on stderr (exit 2 then).
bool ReadToolSettings(const QString& configName, TSettings& settings);

// Mails file to the recipient entry to through the server of mail, as the
// window's mail panel does, telling the outcome; the exit status: 0 the
// server accepted it, 1 not sent, 2 no server or no recipient configured, or
// a message that cannot be sent as it is (too large, a file not readable).
int MailFile(const TMailSettings& mail, const QString& file, const QString& to, const QString& subject);

// Options of the form --name VALUE or --name=VALUE; flags take no value.
class TToolOptions {
public:
    // valueOptions: names (without "--") that take a value; flagOptions: names
    // that do not. False with Error set on anything else.
    // Up to maxPositional other arguments are kept in Positional, in order;
    // shortNames maps one-letter options ("o" for -o) to their long names.
    bool Parse(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions,
               int maxPositional = 0, const std::map<QString, QString>& shortNames = {});
    bool Has(const QString& name) const { return Values.count(name) != 0; }
    QString Value(const QString& name, const QString& def = QString()) const;
    // False (Error set) when the option is present but not an integer in range.
    bool Integer(const QString& name, int min, int max, int& value) const;
    QStringList Positional;
    QString Error;
    mutable QString IntegerError;

private:
    std::map<QString, QString> Values;
};
