#pragma once

#include "serialport.h"

#include <memory>

// The device for COMn: "COMn" on Windows. On Linux the user's own link
// $XDG_CONFIG_HOME/vendrel9/comN when there is one (a USB adapter given a COM number, as
// Windows gives one), else /dev/ttyS(n-1). Resolving the link opens nothing.
QString portDeviceName(qint16 port);

class QSerialPort;

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

private:
    bool fail(const QString &reason, Failure failure = Failure::Other);
    bool failFromPort();
    void closePort();

    std::unique_ptr<QSerialPort> m_port;
    qint16 m_commPort = 1;
    bool m_rtsEnable = false;
    QString m_error;
    Failure m_failure = Failure::None;
};
