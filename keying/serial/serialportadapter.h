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
// The COM link is looked up on a thread of its own. Opening and raising RTS wait for
// the helper's answer inside the window's event loop, so closing, ΔΙΑΚΟΠΗ and signals
// still act, and call the wait off; dropping RTS and closing never wait.
class SerialPortAdapter final : public ISerialPort
{
public:
    SerialPortAdapter();
    ~SerialPortAdapter() override;
    void setCommPort(qint16 port) override;
    qint16 commPort() const override;
    bool setPortOpen(bool open) override;
    bool portOpen() const override;
    bool setRTSEnable(bool enable) override;
    QString errorString() const override;
    Failure failure() const override;
    QString portName() const override;
    void setFailureListener(std::function<void()> listener) override;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
