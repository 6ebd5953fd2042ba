#pragma once
// The alerts' mail: one message per kind at a time. A kind is mailed at most
// once within the mail interval; its alerts that come meanwhile wait and go
// together in one message when the interval ends, and so do those that come
// while the server is away: at most one message per kind ever waits, so an
// outage of the server costs no alert, however long. Messages leave one at a
// time through a transport that never blocks (the SMTP client's asynchronous
// send), so a slow or dead server never holds up the polling. A message the
// server refuses for good (a 5xx reply) ends there and the next one goes; one
// that fails otherwise waits for a later try while the other kinds take
// their turn. Every outcome is a log line naming its kind.
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
    QString Kind;
};

class TAlertMailer {
public:
    // Hands a message to the server and calls done once, later, with an empty
    // text when the server took it, else why not, and whether the server
    // refused it for good (trying it again cannot help). It must return at
    // once.
    using TDone = std::function<void(const QString& error, bool final)>;
    using TTransport = std::function<void(const TAlertMail&, TDone)>;
    static constexpr int FirstRetrySeconds = 60;
    static constexpr int LastRetrySeconds = 900;
    // A message lists at most this many of its alerts, the latest; its
    // subject counts them all. So a kind that waits for days stays small.
    static constexpr size_t MaxListed = 20;

    TAlertMailer();
    ~TAlertMailer();
    TAlertMailer(const TAlertMailer&) = delete;
    TAlertMailer& operator=(const TAlertMailer&) = delete;

    // Recipients (none: no mail, and what waits is given up), the seconds
    // between two mails of a kind and the site's name for the subject. A
    // message is made when it goes, so a change applies to what waits too.
    void Configure(const QStringList& to, uint32_t intervalSeconds, const QString& site, const QTimeZone& zone);
    TTransport Transport;
    // Log lines about the mail itself (sent, failed, unsent).
    std::function<void(const QString& line)> OnLog;
    // The length of a second of every wait here: the mail interval and the
    // pauses between tries (tests run an hour in seconds).
    int SecondMs = 1000;

    void Post(const TAlert& alert);
    // The pause before the next try ends now (the mail settings were changed).
    void RetryNow();
    // The process ends: what still waits is said in the log, one line per
    // kind, and given up; a send under way is forgotten (its transport must
    // be ended by the caller). Nothing is sent after this until Post.
    void Stop();
    // Messages waiting or being sent: at most one per kind.
    size_t Queued() const;
    bool Idle() const { return Queued() == 0; }

    // The message for alerts of one kind: alerts are the latest of count.
    TAlertMail Compose(const std::deque<TAlert>& alerts, int count) const;

private:
    struct TWaiting {
        std::deque<TAlert> Alerts; // the latest MaxListed
        int Count = 0;             // all of them
        int Attempt = 0;           // tries of their message so far
        void Add(const TAlert& alert);
        // others came first: they go before these.
        void Prepend(TWaiting&& others);
    };
    struct TKindState {
        TWaiting Waiting;
        bool Due = false;    // in Order
        bool Mailed = false; // a message of the kind ended (taken, or refused for good)
        QElapsedTimer Since; // ... this long ago
    };
    std::map<QString, TKindState> Kinds; // by the line's kind
    std::deque<QString> Order;           // kinds whose message may go, in turn; each once
    QStringList To;
    uint32_t IntervalSeconds = 900;
    QString Site;
    QTimeZone Zone;

    // The message under way: its kind and the alerts it carries.
    bool Sending = false;
    QString SendingKind;
    TWaiting InFlight;
    int Failures = 0; // in a row, for the pause before the next try
    // A marker the transport's callback checks, so a callback that comes
    // after this mailer is gone, or stopped, does nothing.
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
    QTimer Release;   // the mail interval of a kind that waits ends
    QTimer Retry;     // the pause after a failure ends

    // Puts the kinds whose interval is over in Order and sends the next.
    void Schedule();
    void SendNext();
    void Sent(const QString& error, bool final);
    // Gives up every alert that waits (not the message under way), saying so.
    void Unsent();
    void Log(const QString& line) const;
};
