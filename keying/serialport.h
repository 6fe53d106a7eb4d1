#pragma once

#include <QString>
#include <QtGlobal>

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
