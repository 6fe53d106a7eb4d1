#include "lineeditfield.h"

#include <QLineEdit>

QString LineEditField::text() const
{
    return m_edit.text();
}

void LineEditField::setText(const QString &text)
{
    m_edit.setText(text);
}
