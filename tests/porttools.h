#pragma once

#include "proctools.h"
#include "serialport.h"

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
