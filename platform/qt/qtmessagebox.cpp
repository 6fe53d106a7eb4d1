#include "qtmessagebox.h"

#include <QMessageBox>


void QtMessageBox::setParentWidget(QWidget *parent)
{
    m_parent = parent;
}

void QtMessageBox::show(const QString &text, const QString &caption, Icon icon)
{
    QMessageBox box(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption,
                    text, QMessageBox::Ok, m_parent);
    box.exec();
}

void QtMessageBox::notify(const QString &text, const QString &caption, Icon icon)
{
    auto *box = new QMessageBox(icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
                                QMessageBox::Ok, m_parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}
