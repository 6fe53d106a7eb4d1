#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

// The serial component as the keying handlers drive it: a port number, an open state
// to assign and read, and the RTS line. Failures come back as false with a reason.
class ISerialPort
{
public:
    // Why the last open or switch failed, for the window to explain.
    enum class Failure { None, NotFound, Busy, PermissionDenied, Other };

    virtual ~ISerialPort();
    // 1 selects COM1, ... 6 selects COM6; takes effect at the next open.
    virtual void setCommPort(qint16 port) = 0;
    virtual qint16 commPort() const = 0;
    // Opens with RTS at its enable value (low unless enabled), or closes.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    // Holds RTS high or low while open; while closed it is only remembered.
    virtual bool setRTSEnable(bool enable) = 0;
    virtual QString errorString() const = 0;
    virtual Failure failure() const = 0;
    // The device COM<commPort> stands for, as it is tried at the next open.
    virtual QString portName() const = 0;
};

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
