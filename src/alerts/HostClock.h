#pragma once
// Whether this machine's own clock may be trusted, as timedated tells it
// (its NTPSynchronized property): a regulator's clock is only judged against
// a host clock that is synchronised. The question goes to timedatectl as a
// child process, so no wait on the system bus ever holds up the main thread;
// the answer is kept and asked again every few minutes. Where timedated is
// not there (no systemd, no timedatectl) the host's clock is taken as right.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class THostClock {
public:
    enum class TState : uint8_t {
        Pending,         // not answered yet: nothing is judged
        Synchronized,    // timedated says so
        NotSynchronized, // timedated says the clock is not synchronised
        Absent,          // no timedated here: the host's clock is taken as right
    };
    static constexpr int RefreshMs = 10 * 60 * 1000;
    static constexpr int AnswerMs = 5000;

    THostClock();
    ~THostClock();
    THostClock(const THostClock&) = delete;
    THostClock& operator=(const THostClock&) = delete;

    // Starts asking (again); the first answer comes within AnswerMs.
    void Start();
    TState State() const { return Forced ? *Forced : FState; }
    // Whether a regulator's clock may be judged against this host's now.
    bool Trusted() const { return State() == TState::Synchronized || State() == TState::Absent; }

    // For tests, which have no systemd to ask: the state to report instead.
    std::optional<TState> Forced;
    // The program asked and its arguments.
    QString Program = QStringLiteral("timedatectl");
    QStringList Arguments = {QStringLiteral("show"), QStringLiteral("-p"), QStringLiteral("NTPSynchronized"),
                             QStringLiteral("--value")};
    // Told when an answer changes the state.
    std::function<void(TState)> OnChanged;

private:
    void Ask();
    void Answered(TState state);
    TState FState = TState::Pending;
    QProcess* Process = nullptr;
    QTimer Refresh;
    QTimer Deadline;
};
