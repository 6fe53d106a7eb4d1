#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QWidget;

// Lets a few controls answer the first click while a menu, a submenu or a tooltip is up.
// Qt hands every press to the open popup, which takes a press outside itself only to
// close, and a tooltip's window swallows a press that lands on it: the operator would
// have to click twice. The guard closes what is open and gives the control the whole
// click at the press.
class PopupGuard final : public QObject
{
public:
    // Watches the whole application's input for the controls given, while it lives.
    PopupGuard(const QList<QWidget *> &controls, QObject *parent);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *controlAt(const QPoint &global) const;

    QList<QPointer<QWidget>> m_controls;
};
