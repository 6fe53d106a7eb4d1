#pragma once

#include "messagebox.h"

#include <QList>
#include <QPointer>

class QMessageBox;
class QWidget;

// Boxes beside the window, window-modal or not.
class QtMessageBox final : public IMessageBox
{
public:
    void setParentWidget(QWidget *parent);
    // Widgets no box may cover: the station's state and the buttons that key and unkey.
    void keepInSight(const QList<QWidget *> &widgets);
    void show(const QString &text, const QString &caption, Icon icon) override;
    void notify(const QString &text, const QString &caption, Icon icon) override;

private:
    QMessageBox *box(const QString &text, const QString &caption, Icon icon);
    void place(QMessageBox &box);

    QWidget *m_parent = nullptr;
    QList<QPointer<QWidget>> m_inSight;
    QList<QPointer<QMessageBox>> m_open; // boxes shown and not closed yet
};
