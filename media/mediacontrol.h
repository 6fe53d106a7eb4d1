#pragma once

#include <QString>

// The media bar as the handlers drive it: properties assigned, then a command string
// executed at once. Nothing the device does is reported back to the handlers; what went
// wrong out of sight (a failed save) reaches the window through the device itself.
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
};
