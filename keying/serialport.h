#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// The serial component as the keying handlers drive it: a port number, an open state
// and the RTS line. Nothing here waits: opening and raising RTS answer later through a
// continuation, on the window's thread, never inside the call; dropping RTS and closing
// act at once and tell a late failure through the failure listener.
class ISerialPort
{
public:
    // Why the last step failed, for the window to explain. Cancelled: called off before
    // the port answered. NoAnswer: the port did not answer in time, and was given up.
    // HelperGone: the process holding the port ended, and the kernel hung the port up.
    enum class Failure { None, NotFound, Busy, PermissionDenied, Other, Cancelled, NoAnswer, HelperGone };
    using Done = std::function<void(bool ok)>;

    virtual ~ISerialPort();
    // 1 selects COM1, ... 6 selects COM6; takes effect at the next open.
    virtual void setCommPort(qint16 port) = 0;
    virtual qint16 commPort() const = 0;
    // Opens with RTS low (`done` says whether it opened), or closes. Dropping RTS or
    // closing calls off an open or a raise still waiting: its `done` is never called and
    // RTS never rises for it.
    virtual void setPortOpen(bool open, Done done = nullptr) = 0;
    virtual bool portOpen() const = 0;
    // Raises RTS while open (`done` says whether it rose), or drops it at once.
    virtual void setRTSEnable(bool enable, Done done = nullptr) = 0;
    virtual QString errorString() const = 0;
    virtual Failure failure() const = 0;
    // The device COM<commPort> stood for at the last open.
    virtual QString portName() const = 0;
    // Called on the window's thread when the port fails with nobody waiting: a drop or a
    // close that failed, the port given up, its process gone; failure() says why.
    virtual void setFailureListener(std::function<void()> listener) = 0;
};
