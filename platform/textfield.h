#pragma once

#include <QString>

// A single-line text box as handlers read and write it. Assigning a text that differs
// from the current one raises the box's change event at once, before setText returns.
class ITextField
{
public:
    virtual ~ITextField();
    virtual QString text() const = 0;
    virtual void setText(const QString &text) = 0;
};
