#pragma once

#include <QString>

// A message with a single OK button.
class IMessageBox
{
public:
    enum class Icon { None, Warning };
    virtual ~IMessageBox();
    // Returns at once and runs no loop of its own; where the platform allows, the window
    // takes no input until the user has dismissed the message. For news the operator must
    // read before going on, never for what arrives on air.
    virtual void show(const QString &text, const QString &caption, Icon icon) = 0;
    // Returns at once and leaves the window usable behind the message: for news that
    // arrives while the operator may need the window, on air above all.
    virtual void notify(const QString &text, const QString &caption, Icon icon) = 0;
};
