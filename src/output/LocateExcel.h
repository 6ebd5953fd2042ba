#pragma once
// Which desktop program opens a workbook, and opening one with it. No
// registry here: the desktop's default application for the workbook type
// (asked of xdg-mime and reached through xdg-open), else a spreadsheet
// program found on the PATH.
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct TSpreadsheetProgram {
    QString Program;        // absolute path; empty when none was found
    QStringList Arguments;  // given before the workbook's name
    bool Found() const { return !Program.isEmpty(); }
};

// Looks along env's PATH. Waits for xdg-mime (at most 3 s) with the event
// loop running.
TSpreadsheetProgram LocateSpreadsheetProgram(const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
// Starts program on the workbook at path, detached; false when it did not start.
bool OpenWorkbook(const TSpreadsheetProgram& program, const QString& path);
