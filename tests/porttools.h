#pragma once

#include "serialport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <optional>
#include <sys/types.h>

// Runs one step of the port to its answer. Only tests wait: the program never does.
template<typename Step>
bool settle(Step step, int timeoutMs = 20000)
{
    std::optional<bool> result;
    step([&result](bool ok) { result = ok; });
    [[maybe_unused]] const bool answered = QTest::qWaitFor([&result] { return result.has_value(); }, timeoutMs);
    return result.value_or(false);
}

inline bool openPort(ISerialPort &port)
{
    return settle([&port](ISerialPort::Done done) { port.setPortOpen(true, std::move(done)); });
}

inline bool raiseRts(ISerialPort &port)
{
    return settle([&port](ISerialPort::Done done) { port.setRTSEnable(true, std::move(done)); });
}

// The running child of this process named `name` (a helper), or -1.
inline pid_t childNamed(const QByteArray &name)
{
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &pid : children.readAll().split(' ')) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid.trimmed())));
            if (!pid.trimmed().isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
                return pid_t(pid.trimmed().toInt());
        }
    }
    return -1;
}

// True while `pid` runs (a zombie waiting for its reaper counts as gone).
inline bool running(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return pid > 0 && stat.open(QIODevice::ReadOnly) && !stat.readAll().split(')').value(1).trimmed().startsWith('Z');
}
