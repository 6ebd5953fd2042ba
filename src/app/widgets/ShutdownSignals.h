#pragma once
// SIGTERM and SIGINT (a logout, a service stop, Ctrl+C) end the program the
// same orderly way as the KONIEC button, so the monthly files are saved. The
// handler only writes a byte to a pipe; the main thread reads it through a
// socket notifier and runs OnSignal there.
#include <QObject>

#include <functional>

class QSocketNotifier;

class TShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit TShutdownSignals(QObject* parent = nullptr);
    ~TShutdownSignals() override;
    TShutdownSignals(const TShutdownSignals&) = delete;
    TShutdownSignals& operator=(const TShutdownSignals&) = delete;

    // Runs on the main thread once per signal received; gets the signal number.
    std::function<void(int)> OnSignal;
    bool Installed() const { return Notifier != nullptr; }

private:
    QSocketNotifier* Notifier = nullptr;
    void Read();
};
