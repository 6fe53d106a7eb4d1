#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// The serial component as the keying handlers drive it: a port number, an open state
// to assign and read, and the RTS line. Failures come back as false with a reason.
// Opening and raising RTS return once the port has answered, the window's events going
// on meanwhile; dropping RTS and closing return at once, whatever the port is doing.
class ISerialPort
{
public:
    // Why the last open or switch failed, for the window to explain. Cancelled: the
    // operator unkeyed (ΔΙΑΚΟΠΗ, closing, a signal) before the port had answered.
    enum class Failure { None, NotFound, Busy, PermissionDenied, Other, Cancelled };

    virtual ~ISerialPort();
    // 1 selects COM1, ... 6 selects COM6; takes effect at the next open.
    virtual void setCommPort(qint16 port) = 0;
    virtual qint16 commPort() const = 0;
    // Opens with RTS low, or closes. An open still waiting for the port is called off by
    // setRTSEnable(false) or setPortOpen(false), and then never raises RTS.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    // Holds RTS high or low while open; while closed it is only remembered.
    virtual bool setRTSEnable(bool enable) = 0;
    virtual QString errorString() const = 0;
    virtual Failure failure() const = 0;
    // The device COM<commPort> stood for at the last open.
    virtual QString portName() const = 0;
    // Called on the window's thread when a step that returned at once (dropping RTS,
    // closing) failed at the port after all; failure() and errorString() say why.
    virtual void setFailureListener(std::function<void()> listener) = 0;
};
