#pragma once

#include "proctools.h"
#include "scopedenv.h"
#include "serialport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

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

