#pragma once

#include "messagebox.h"

#include <QList>
#include <QPointer>

class QMessageBox;
class QWidget;

class QtMessageBox final : public IMessageBox
{
public:
    void setParentWidget(QWidget *parent);
    // Widgets no box may cover: the station's state and the buttons that key and unkey.
    void keepInSight(const QList<QWidget *> &widgets);
    void show(const QString &text, const QString &caption, Icon icon) override;
    void notify(const QString &text, const QString &caption, Icon icon) override;

private:
    void place(QMessageBox &box);

    QWidget *m_parent = nullptr;
    QList<QPointer<QWidget>> m_inSight;
    QList<QPointer<QMessageBox>> m_open; // boxes shown by notify and not closed yet
};
