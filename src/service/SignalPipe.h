#pragma once
// SIGTERM, SIGINT and SIGHUP for a program running an event loop. The
// handler does nothing but write the signal's number into a pipe; the main
// thread's event loop reads it and calls OnSignal, where the real work
// (saving, re-reading the configuration) is safe.
#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class TSignalPipe : public QObject {
public:
    // Installs the handlers; the previous ones come back with the object's end.
    TSignalPipe();
    ~TSignalPipe() override;
    TSignalPipe(const TSignalPipe&) = delete;
    TSignalPipe& operator=(const TSignalPipe&) = delete;

    // False when the pipe or a handler could not be set up; Error says why.
    bool Ok() const { return Error.isEmpty(); }
    QString Error;

    std::function<void(int signal)> OnSignal;

private:
    void Drain();
    std::unique_ptr<QSocketNotifier> Notifier;
    int ReadFd = -1;
};
