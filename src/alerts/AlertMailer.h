#pragma once
// The alerts' mail: a short message per alert, at most one per kind within
// the mail interval; alerts of a kind that come sooner are held back and go
// together in one message when the interval ends. Messages leave from a
// queue one at a time through a transport that never blocks (the SMTP
// client's asynchronous send), so a slow or dead server never holds up the
// polling; a message that fails is retried later, each failure logged.
#include "alerts/Alert.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimeZone>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>

struct TAlertMail {
    QString Subject;     // plain text; the message part encodes it
    QStringList Body;    // lines
    QStringList To;
    int Alerts = 0;      // how many alerts it carries
    QString Kind;        // of the first
};

class TAlertMailer {
public:
    // Hands a message to the server and calls done once, later, with an empty
    // text when the server took it, else why not. It must return at once.
    using TDone = std::function<void(const QString& error)>;
    using TTransport = std::function<void(const TAlertMail&, TDone)>;
    static constexpr int MaxQueued = 50;
    static constexpr int FirstRetrySeconds = 60;

    TAlertMailer();
    ~TAlertMailer();
    TAlertMailer(const TAlertMailer&) = delete;
    TAlertMailer& operator=(const TAlertMailer&) = delete;

    // Recipients (none: no mail), the seconds between two mails of a kind
    // and the site's name for the subject. A changed setting applies to the
    // next message; what is queued keeps its recipients.
    void Configure(const QStringList& to, uint32_t intervalSeconds, const QString& site, const QTimeZone& zone);
    TTransport Transport;
    // Log lines about the mail itself (failures, retries, drops).
    std::function<void(const QString& line)> OnLog;

    void Post(const TAlert& alert);
    // A message waiting for its retry is tried at once (the mail settings
    // were changed).
    void RetryNow();
    // Messages waiting or being sent.
    size_t Queued() const { return Queue.size(); }
    bool Idle() const { return Queue.empty() && !Sending; }

    // The message for alerts of one kind (one, or several held back).
    TAlertMail Compose(const std::vector<TAlert>& alerts) const;

private:
    struct TKindState {
        bool Sent = false;
        QElapsedTimer Since;             // since the last message of the kind was queued
        std::vector<TAlert> Held;
    };
    std::map<QString, TKindState> Kinds; // by the line's kind
    QStringList To;
    uint32_t IntervalMs = 900000;
    QString Site;
    QTimeZone Zone;

    std::deque<TAlertMail> Queue;
    bool Sending = false;
    int Attempt = 0;
    // A marker the transport's callback checks, so a callback that comes
    // after this mailer is gone does nothing.
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
    QTimer Release;   // sends what was held back
    QTimer Retry;

    void Enqueue(TAlertMail mail);
    void SendNext();
    void Sent(const QString& error);
    void ReleaseHeld();
    void Log(const QString& line) const;
};
