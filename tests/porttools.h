#pragma once

#include "scopedenv.h"
#include "serialport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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

// ΔΙΑΚΟΠΗ at the port: RTS dropped and the port closed, neither waited for.
inline void unkeyPort(ISerialPort &port)
{
    port.setRTSEnable(false);
    port.setPortOpen(false);
}

// The user's own link naming the device of COMn, in a configuration folder of the test's
// own while it lives.
struct ComLink
{
    explicit ComLink(int com) : m_com(com) {}
    bool to(const QString &target) const
    {
        return QDir().mkpath(config.filePath(QStringLiteral("vendrel9")))
            && QFile::link(target, config.filePath(QStringLiteral("vendrel9/com%1").arg(m_com)));
    }
    QTemporaryDir config;

private:
    int m_com;
    ScopedEnv m_home {"XDG_CONFIG_HOME", QFile::encodeName(config.path())};
};

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
