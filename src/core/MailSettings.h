#pragma once
// Section MAIL of the configuration: the SMTP server the measurement text
// file is mailed through. Read with the other settings, given to the mail
// client by the window and by qdrtool alike.
#include <QString>

struct TMailSettings {
    QString Host;          // empty: no mailing
    int Port = 25;
    QString User;          // the argument of HELO
    QString FromName;
    QString FromAdr;
    QString ToAdr;         // the recipient offered first
};
