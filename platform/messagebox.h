#pragma once

#include <QString>

// A message with a single OK button.
class IMessageBox
{
public:
    enum class Icon { None, Warning };
    virtual ~IMessageBox();
    // Modal: returns when the user has dismissed it.
    virtual void show(const QString &text, const QString &caption, Icon icon) = 0;
    // Returns at once and leaves the window usable behind the message: for news that
    // arrives while the operator may need the window, on air above all.
    virtual void notify(const QString &text, const QString &caption, Icon icon) = 0;
};
