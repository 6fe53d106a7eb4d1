#include "qtmessagebox.h"

#include "boxplacement.h"

#include <QMessageBox>
#include <QScreen>
#include <QTimer>

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
    QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption,
                    text, QMessageBox::Ok, m_parent);
    // The box takes its final size as it is shown, inside exec().
    QTimer::singleShot(0, &box, [this, &box] { place(box); });
    box.exec();
}

void QtMessageBox::notify(const QString &text, const QString &caption, Icon icon)
{
    auto *box = new QMessageBox(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
                                QMessageBox::Ok, m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    place(*box);
    m_open << box;
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
    m_open.removeAll(nullptr);
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
