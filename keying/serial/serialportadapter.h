#pragma once

#include "serialport.h"

#include <memory>

// The device for COMn: "COMn" on Windows. On Linux the user's own link
// $XDG_CONFIG_HOME/vendrel9/comN when there is one (a USB adapter given a COM number, as
// Windows gives one), else /dev/ttyS(n-1). Resolving the link opens nothing, but it
// looks at a folder that may be on a stalled disk: never on the window's thread.
QString portDeviceName(qint16 port);

// The serial port, held by the helper process vendrel9-port: the port's descriptor is in
// no process that can wait on a disk, so killing the program always hangs the port up.
// The COM link is looked up on a thread of its own. Every step has a deadline: an open
// (the look-up included) and a raise kOpenDeadlineMs from the click, a close
// kCloseDeadlineMs; a helper that misses one is killed. RTS is dropped through the unkey
// watch (unkeywatch.h), never through the window's thread.
class SerialPortAdapter final : public ISerialPort
{
public:
    static constexpr int kOpenDeadlineMs = 5000;
    static constexpr int kCloseDeadlineMs = 100;

    SerialPortAdapter();
    ~SerialPortAdapter() override;
    void setCommPort(qint16 port) override;
    qint16 commPort() const override;
    void setPortOpen(bool open, Done done = nullptr) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable, Done done = nullptr) override;
    QString errorString() const override;
    Failure failure() const override;
    QString portName() const override;
    void setFailureListener(std::function<void()> listener) override;
    // The event loop has ended, and with it every deadline: a close is waited for until
    // its own deadline, not left to the helper past it; a helper that has not answered by
    // then is killed, so the kernel's hang-up drops RTS and DTR now, however long the
    // program still takes to end.
    void giveUpUnansweredClose();

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
