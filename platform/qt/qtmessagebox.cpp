#include "qtmessagebox.h"

#include "boxplacement.h"

#include <QMessageBox>
#include <QScreen>

void QtMessageBox::setParentWidget(QWidget *parent)
{
    m_parent = parent;
}

void QtMessageBox::keepInSight(const QList<QWidget *> &widgets)
{
    m_inSight.clear();
    for (QWidget *widget : widgets)
        m_inSight << widget;
}

void QtMessageBox::show(const QString &text, const QString &caption, Icon icon)
{
    // Window-modal, and the window's own loop goes on: nothing waits for the OK.
    QMessageBox *shown = box(text, caption, icon);
    shown->open();
    place(*shown);
}

void QtMessageBox::notify(const QString &text, const QString &caption, Icon icon)
{
    QMessageBox *shown = box(text, caption, icon);
    shown->setWindowModality(Qt::NonModal);
    shown->show();
    place(*shown);
}

QMessageBox *QtMessageBox::box(const QString &text, const QString &caption, Icon icon)
{
    auto *box = new QMessageBox(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
                                QMessageBox::Ok, m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_open.removeAll(nullptr);
    m_open << box;
    return box;
}

void QtMessageBox::place(QMessageBox &box)
{
    if (!m_parent || !m_parent->isVisible())
        return;
    QScreen *screen = m_parent->screen();
    if (!screen)
        return;
    BoxPlacement where;
    where.screen = screen->availableGeometry();
    where.window = m_parent->frameGeometry();
    for (const QPointer<QWidget> &widget : std::as_const(m_inSight)) {
        // A hidden button keeps its place: it may be shown while the box is up.
        if (widget)
            where.inSight << QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    }
    for (const QPointer<QMessageBox> &other : std::as_const(m_open)) {
        if (other && other != &box && other->isVisible())
            where.others << other->frameGeometry();
    }
    // The window manager may not have framed the box yet: take the window's frame for it.
    const QSize frame = m_parent->frameGeometry().size() - m_parent->size();
    QSize size = box.frameGeometry().size();
    if (size == box.size())
        size += frame;
    box.move(placeBox(where, size));
}
