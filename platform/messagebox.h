#pragma once

#include <QString>

class QWidget;

// A modal message with a single OK button.
class IMessageBox
{
public:
    enum class Icon { None, Warning };
    virtual ~IMessageBox();
    // Returns when the user has dismissed it.
    virtual void show(const QString &text, const QString &caption, Icon icon) = 0;
};

class QtMessageBox final : public IMessageBox
{
public:
    void setParentWidget(QWidget *parent);
    void show(const QString &text, const QString &caption, Icon icon) override;

private:
    QWidget *m_parent = nullptr;
};
