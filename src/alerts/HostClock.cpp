#include "alerts/HostClock.h"

#include <utility>

THostClock::THostClock()
{
    Refresh.setInterval(RefreshMs);
    Refresh.callOnTimeout([this] { Ask(); });
    Deadline.setSingleShot(true);
    Deadline.setInterval(AnswerMs);
    Deadline.callOnTimeout([this] {
        // A timedated that does not answer says nothing about the clock: the
        // last answer stands, and a first one counts as no timedated.
        if (QProcess* p = std::exchange(Process, nullptr)) {
            p->disconnect();
            p->kill();
            p->waitForFinished(1000);
            p->deleteLater();
        }
        if (FState == TState::Pending)
            Answered(TState::Absent);
    });
}

THostClock::~THostClock()
{
    if (Process) {
        Process->disconnect();
        Process->kill();
        Process->waitForFinished(1000);
        delete Process;
    }
}

void THostClock::Start()
{
    Refresh.start();
    Ask();
}

void THostClock::Ask()
{
    if (Process || Forced)
        return;
    Process = new QProcess;
    Process->setProcessChannelMode(QProcess::SeparateChannels);
    // The answer must not be translated.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    // systemd's socket and watchdog are this service's: a child that found
    // them would speak for it (a READY or STOPPING it never meant).
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        env.remove(QLatin1String(name));
    Process->setProcessEnvironment(env);
    QProcess* p = Process;
    QObject::connect(p, &QProcess::errorOccurred, p, [this, p](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || p != Process)
            return;
        Deadline.stop();
        Process = nullptr;
        p->deleteLater();
        Answered(TState::Absent);
    });
    QObject::connect(p, &QProcess::finished, p, [this, p](int code, QProcess::ExitStatus status) {
        if (p != Process)
            return;
        Deadline.stop();
        Process = nullptr;
        p->deleteLater();
        const QByteArray out = p->readAllStandardOutput().trimmed();
        if (status == QProcess::NormalExit && code == 0 && out == "yes")
            Answered(TState::Synchronized);
        else if (status == QProcess::NormalExit && code == 0 && out == "no")
            Answered(TState::NotSynchronized);
        else
            // "System has not been booted with systemd", no bus, no such
            // property: nothing here keeps the time but the host itself.
            Answered(TState::Absent);
    });
    Deadline.start();
    p->start(Program, Arguments, QIODevice::ReadOnly);
}

void THostClock::Answered(TState state)
{
    if (state == FState)
        return;
    FState = state;
    if (OnChanged)
        OnChanged(state);
}
