#pragma once

#include "messagebox.h"

class QWidget;

class QtMessageBox final : public IMessageBox
{
public:
    void setParentWidget(QWidget *parent);
    void show(const QString &text, const QString &caption, Icon icon) override;
    void notify(const QString &text, const QString &caption, Icon icon) override;

private:
    QWidget *m_parent = nullptr;
};
