#pragma once

#include "textfield.h"

class QLineEdit;

// A QLineEdit as the handlers' text box; its textChanged is the change event.
class LineEditField final : public ITextField
{
public:
    explicit LineEditField(QLineEdit &edit) : m_edit(edit) {}
    QString text() const override;
    void setText(const QString &text) override;

private:
    QLineEdit &m_edit;
};
