#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a signal on the event loop, so that the program
// closes its window (unkeying the transmitter) instead of dying keyed. One per process.
class ShutdownSignals final : public QObject
{
    Q_OBJECT
public:
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;
    bool isInstalled() const { return m_notifier != nullptr; }
    // A shutdown signal has arrived, even if the event loop has not got to it yet: what
    // is about to key the transmitter checks this first.
    static bool requested();
    // Runs first in the signal handler itself, before the event loop hears of the
    // signal: what must happen even while the window's thread is stuck (RTS dropped).
    // It must be async-signal-safe.
    static void setFirstResponder(void (*responder)());

signals:
    void shutdownRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
