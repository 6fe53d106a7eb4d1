#pragma once

#include "wavedevice.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QTemporaryFile>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <unistd.h>

// Helpers for tests and benchmarks of the real wave device, which works on threads of its
// own.
namespace devicetools {

// Waits until the device has carried out every command given so far and written every
// save; says whether it did within the time (generous, for a busy machine).
inline bool settled(const WaveDevice &device, int ms = 10000)
{
    const QDeadlineTimer deadline(ms);
    while (device.busy() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
    return !device.busy();
}

// Opens and waits for the outcome: true when the device ended open.
inline bool openAndSettle(WaveDevice &device, const QString &path)
{
    return device.open(path) && settled(device) && device.mode() != IAudioDevice::Mode::Closed;
}

struct SaveOutcome
{
    bool failed = false;
    QString reason;
};

// Saves and waits; what the device reported through its problem listener.
inline SaveOutcome saveAndSettle(WaveDevice &device)
{
    SaveOutcome outcome;
    device.setProblemListener([&outcome](IAudioDevice::Problem problem, const QString &, const QString &reason) {
        if (problem == IAudioDevice::Problem::SaveFailed) {
            outcome.failed = true;
            outcome.reason = reason;
        }
    });
    device.save();
    settled(device);
    QCoreApplication::processEvents();
    device.setProblemListener(nullptr);
    return outcome;
}

// What the program's exit says on standard error while it waits for the saves.
inline QByteArray finishSavesSays(WaveDevice &device, std::chrono::milliseconds stall)
{
    QTemporaryFile said;
    if (!said.open())
        return QByteArrayLiteral("(no temporary file to hear it in)");
    std::fflush(stderr);
    const int kept = ::dup(STDERR_FILENO);
    ::dup2(said.handle(), STDERR_FILENO);
    device.finishSaves(stall);
    std::fflush(stderr);
    ::dup2(kept, STDERR_FILENO);
    ::close(kept);
    said.seek(0);
    return said.readAll();
}

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace devicetools
