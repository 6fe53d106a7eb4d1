#pragma once

#include <QString>

// The media bar as the handlers drive it: properties assigned, then a command string
// executed at once. Nothing the device fails to do is reported back, except a "Save"
// that could not write, which leaves its reason in errorString().
class IMediaControl
{
public:
    virtual ~IMediaControl();
    virtual void setDeviceType(const QString &type) = 0;
    virtual void setNotify(bool notify) = 0;
    virtual void setWait(bool wait) = 0;
    virtual void setShareable(bool shareable) = 0;
    virtual void setFileName(const QString &fileName) = 0;
    // "Open", "Close", "Play", "Stop" or "Save".
    virtual void setCommand(const QString &command) = 0;
    // Why the last "Save" failed; empty after any command that did not fail to save.
    virtual QString errorString() const = 0;
};
