// qdrtool mail: mails a file (the month's text file, as a rule) through the
// SMTP server of section MAIL, exactly as the window's mail panel does, so a
// site can send the archive from cron and a technician can check the mail
// settings without the window.
#include "Tool.h"

#include "app/Settings.h"
#include "output/MailClient.h"

#include <QFileInfo>
#include <QtGlobal>

#include <cstdlib>

namespace {

const QString MailUsage = QStringLiteral(
    "usage: qdrtool mail FILE [--config FILE] [--to ADDR] [--subject TEXT]\n"
    "\n"
    "Sends FILE as the attachment of a message with an empty body through the SMTP server\n"
    "of section MAIL (Host, Port, User, FromName, FromAdr; Security none, starttls or tls,\n"
    "by default tls for port 465 and starttls for 587; Login and Password for AUTH; CAFile\n"
    "with certificates trusted besides the system's) and prints the outcome as the window\n"
    "shows it: 'Správa odoslaná' on stdout, any other message on stderr.\n"
    "\n"
    "  --config FILE   configuration file (default qdrwin.ini, current directory first,\n"
    "                  then beside the program)\n"
    "  --to ADDR       recipient (default ToAdr of section MAIL); 'Name <addr>' is accepted\n"
    "  --subject TEXT  subject (default 'Mesacny archiv')\n"
    "\n"
    "A message whose encoding would pass 25 MB, or the SIZE the server states, is not\n"
    "sent; the file is never read whole into memory. The connection and each reply wait\n"
    "at most 30 s, the whole dialogue at most 2 minutes and a second for every 16 KB of\n"
    "the message.\n"
    "\n"
    "Exit status: 0 the server accepted the message; 1 it was not sent (the server could not\n"
    "be reached, refused a recipient, the sender or the message, broke off or fell silent;\n"
    "its reply is quoted on stderr); 2 bad command line or configuration (no Host, no\n"
    "recipient, a Port or Security that is not understood, FILE cannot be read, the message\n"
    "too large).");

// Standard error carries the outcome and nothing else: the socket layer's
// own warnings would read as a second message.
void QuietQt(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg) {
        Fail(text);
        abort();
    }
}

const QStringList ValueOptions{QStringLiteral("config"), QStringLiteral("to"), QStringLiteral("subject")};

int RunMail(const QStringList& args)
{
    qInstallMessageHandler(QuietQt);
    // FILE is the one argument that is not an option or an option's value.
    QStringList files;
    QStringList options;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!a.startsWith(QLatin1String("--"))) {
            files << a;
            continue;
        }
        options << a;
        if (!a.contains(QLatin1Char('=')) && ValueOptions.contains(a.mid(2)) && i + 1 < args.size())
            options << args[++i];
    }
    TToolOptions parsed;
    if (!parsed.Parse(options, ValueOptions, {})) {
        Fail(parsed.Error + QStringLiteral(" (try 'qdrtool help mail')"));
        return ExitUsage;
    }
    if (files.size() != 1) {
        Fail(QStringLiteral("name one file to send (try 'qdrtool help mail')"));
        return ExitUsage;
    }
    const QString file = files.first();
    if (!QFileInfo(file).isFile() || !QFileInfo(file).isReadable()) {
        Fail(QStringLiteral("cannot read %1").arg(file));
        return ExitUsage;
    }
    TSettings settings;
    if (!ReadToolSettings(parsed.Value(QStringLiteral("config")), settings))
        return ExitUsage;
    return MailFile(settings.Mail, file, parsed.Value(QStringLiteral("to"), settings.Mail.ToAdr),
                    parsed.Value(QStringLiteral("subject"), QStringLiteral("Mesacny archiv")));
}

} // namespace

int MailFile(const TMailSettings& mail, const QString& file, const QString& to, const QString& subject)
{
    if (!mail.Problem.isEmpty()) {
        Fail(QStringLiteral("bad configuration: ") + mail.Problem);
        return ExitUsage;
    }
    if (mail.Host.isEmpty()) {
        Fail(QStringLiteral("bad configuration: MAIL Host is empty"));
        return ExitUsage;
    }
    if (TMailClient::RecipientAddress(to).isEmpty()) {
        Fail(QStringLiteral("no recipient: give --to or MAIL ToAdr"));
        return ExitUsage;
    }

    TMailClient client;
    client.Configure(mail);
    client.ToAddress = QStringList{to};
    client.Subject = subject;
    client.Attachments = QStringList{file};
    QString message;
    BindMailEvents(client, message, [] { Out(MailText::Sent); });
    const bool sent = DeliverMail(client, message);
    if (!message.isEmpty())
        Fail(message);
    if (sent)
        return ExitOk;
    return client.LastResult.LocalFault() ? ExitUsage : ExitNoAnswer;
}

namespace {

const TToolRegistration Registration({QStringLiteral("mail"),
                                      QStringLiteral("mail a file through the SMTP server of section MAIL"), MailUsage,
                                      RunMail});

} // namespace
