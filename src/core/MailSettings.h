#pragma once
// Section MAIL of the configuration: the SMTP server the measurement text
// file is mailed through. Read with the other settings, given to the mail
// client by the window and by qdrtool alike.
#include <QString>

// How the connection to the server is protected: not at all (the plain HELO
// dialogue for relays that still take it), STARTTLS after an EHLO
// (submission, port 587) or TLS from the first byte (port 465).
enum class TMailSecurity { None, StartTls, Tls };

struct TMailSettings {
    QString Host;          // empty: no mailing
    int Port = 25;
    QString User;          // the argument of HELO or EHLO
    QString FromName;
    QString FromAdr;
    QString ToAdr;         // the recipient offered first
    TMailSecurity Security = TMailSecurity::None;
    QString Login;         // AUTH credentials; empty: no AUTH
    QString Password;
    QString CAFile;        // PEM certificates trusted besides the system's
    // What in the section cannot be used (a port or a security that is not
    // understood), in Slovak for the user; empty when nothing. No mail is
    // sent while it is set.
    QString Problem;

    // The security a port stands for when "Security" is not given, so that
    // files written before it keep working.
    static TMailSecurity DefaultSecurity(int port)
    {
        return port == 465 ? TMailSecurity::Tls : port == 587 ? TMailSecurity::StartTls : TMailSecurity::None;
    }
};
