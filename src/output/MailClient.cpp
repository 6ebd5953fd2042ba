#include "output/MailClient.h"

#include <QEventLoop>
#include <QPointer>

namespace {
// How often a handler that set handled may send the client round again: a
// handler that always asks must not keep the window in a loop.
constexpr int MaxRetries = 3;
} // namespace

TMailClient::TMailClient(QObject* parent)
    : QObject(parent)
    , Dialogue(new TSmtpDialogue(this))
{
}

TMailClient::~TMailClient()
{
    // A send still waited for ends with its client.
    if (Waiting)
        Waiting->quit();
}

bool TMailClient::Connected() const { return Dialogue->Connected(); }

void TMailClient::Configure(const TMailSettings& settings)
{
    ClearParams = false;
    Host = settings.Host;
    Port = settings.Port;
    UserID = settings.User;
    FromName = settings.FromName;
    FromAddress = settings.FromAdr;
    Security = settings.Security;
    Login = settings.Login;
    Password = settings.Password;
    CAFile = settings.CAFile;
    SettingsProblem = settings.Problem;
}

TMailMessage TMailClient::Message() const
{
    TMailMessage m;
    m.FromName = FromName;
    m.FromAddress = FromAddress;
    m.To = ToAddress;
    m.Subject = Subject;
    m.Body = Body;
    m.Attachments = Attachments;
    m.Charset = Charset;
    return m;
}

QString TMailClient::Refusal() const
{
    TSmtpServer server;
    server.HeloName = UserID;
    server.Security = Security;
    server.Login = Login;
    server.CAFile = CAFile;
    server.Problem = SettingsProblem;
    if (const QString refusal = server.Refusal(); !refusal.isEmpty())
        return refusal;
    return Message().Refusal();
}

bool TMailClient::Deliver()
{
    if (Waiting)
        return false;
    LastError.clear();
    LastResult = TMailResult{};
    LoginRefused = false;
    for (int attempt = 0;; ++attempt) {
        // Read on every attempt: a handler that asks for another one may
        // have changed them.
        TSmtpServer& server = Dialogue->Server;
        server.Host = Host;
        server.Port = Port;
        server.HeloName = UserID;
        server.Security = Security;
        server.Login = Login;
        server.Password = Password;
        server.CAFile = CAFile;
        server.Problem = SettingsProblem;
        Dialogue->StepTimeoutMs = TimeoutMs;
        Dialogue->DialogueTimeoutMs = DialogueTimeoutMs;
        Dialogue->SizeLimit = SizeLimit;

        QPointer<TMailClient> self(this);
        QEventLoop loop;
        bool finished = false;
        TMailResult result;
        Dialogue->Start(Message(), [&](const TMailResult& r) {
            result = r;
            finished = true;
            loop.quit();
        });
        if (!finished) {
            Waiting = &loop;
            loop.exec();
        }
        if (!self)
            return false;
        Waiting = nullptr;
        if (!finished) {
            Dialogue->Abort();
            return false;
        }

        LastResult = result;
        LastError = result.Reason;
        bool handled = false;
        bool again = false;
        switch (result.Fault) {
        case TMailFault::None:
            if (OnSuccess)
                OnSuccess();
            if (ClearParams) {
                FromName.clear();
                FromAddress.clear();
                ToAddress.clear();
                Subject.clear();
                Body.clear();
                Attachments.clear();
            }
            return true;
        case TMailFault::InvalidHost:
            if (OnInvalidHost)
                OnInvalidHost(handled);
            again = handled;
            break;
        case TMailFault::ConnectionFailed:
            if (OnConnectionFailed)
                OnConnectionFailed();
            break;
        case TMailFault::LoginRefused:
            LoginRefused = true;
            [[fallthrough]];
        case TMailFault::HelloRefused:
            if (OnAuthenticationFailed)
                OnAuthenticationFailed(handled);
            again = handled;
            break;
        case TMailFault::NoSender:
        case TMailFault::NoRecipient:
            if (OnHeaderIncomplete)
                OnHeaderIncomplete(handled, result.Fault == TMailFault::NoSender ? 1 : 2);
            again = handled;
            break;
        case TMailFault::RecipientRefused:
            if (OnRecipientNotFound)
                OnRecipientNotFound(result.Entry);
            break;
        case TMailFault::AttachmentMissing:
            if (OnAttachmentNotFound)
                OnAttachmentNotFound(result.Entry);
            break;
        case TMailFault::MessageRefused:
            if (OnFailure)
                OnFailure();
            break;
        default:
            break;
        }
        if (!self || !again || attempt >= MaxRetries)
            return false;
    }
}

void BindMailEvents(TMailClient& client, QString& mailMessage, std::function<void()> sent)
{
    QString* message = &mailMessage;
    TMailClient* c = &client;
    // The client's reason says most (the server's reply where it gave one);
    // the event's own text stands where there is none.
    const auto say = [message, c](const QString& fallback) {
        *message = c->LastError.isEmpty() ? fallback : c->LastError;
    };
    client.OnInvalidHost = [say](bool&) { say(MailText::InvalidHost); };
    client.OnConnectionFailed = [say] { say(MailText::ConnectionFailed); };
    client.OnAuthenticationFailed = [say, c](bool&) {
        say(c->LoginRefused ? MailText::LoginRefused : MailText::AuthenticationFailed);
    };
    client.OnHeaderIncomplete = [say](bool&, int kind) { say(kind == 1 ? MailText::NoSender : MailText::NoRecipient); };
    client.OnRecipientNotFound = [say](const QString& entry) { say(MailText::RecipientNotFound(entry)); };
    client.OnAttachmentNotFound = [say](const QString& fileName) { say(MailText::AttachmentNotFound(fileName)); };
    client.OnFailure = [say] { say(MailText::Failure); };
    client.OnSuccess = [sent = std::move(sent)] {
        if (sent)
            sent();
    };
}

bool DeliverMail(TMailClient& client, QString& mailMessage)
{
    QPointer<TMailClient> self(&client);
    const bool sent = client.Deliver();
    if (self && !sent && mailMessage.isEmpty())
        mailMessage = client.LastError.isEmpty() ? MailText::Error : client.LastError;
    return sent;
}
