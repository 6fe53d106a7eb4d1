#pragma once

#include "messagebox.h"

#include <QList>
#include <QPointer>

class NoticeStrip;
class QMessageBox;
class QWidget;

// Boxes beside the window, window-modal or not. Where the platform cannot place a window
// (a native Wayland session, where the compositor centres a box over its parent, on the
// lamps), the messages are shown inside the window instead, one after the other.
class QtMessageBox final : public IMessageBox
{
public:
    QtMessageBox();
    ~QtMessageBox() override;
    void setParentWidget(QWidget *parent);
    // Widgets no box may cover: the station's state and the buttons that key and unkey.
    void keepInSight(const QList<QWidget *> &widgets);
    void show(const QString &text, const QString &caption, Icon icon) override;
    void notify(const QString &text, const QString &caption, Icon icon) override;

private:
    bool placedInside() const;
    QMessageBox *box(const QString &text, const QString &caption, Icon icon);
    void place(QMessageBox &box);
    void post(const QString &text, const QString &caption, Icon icon);

    QWidget *m_parent = nullptr;
    QList<QPointer<QWidget>> m_inSight;
    QList<QPointer<QMessageBox>> m_open; // boxes shown and not closed yet
    QPointer<NoticeStrip> m_notices; // the messages inside the window
};
