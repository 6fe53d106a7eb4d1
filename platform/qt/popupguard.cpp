#include "popupguard.h"

#include <QApplication>
#include <QMouseEvent>
#include <QToolTip>
#include <QWidget>
#include <QWindow>

namespace {

bool onAPopup(const QPoint &global)
{
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (const QWidget *window : windows) {
        if (window->isVisible() && window->windowType() == Qt::Popup && window->frameGeometry().contains(global))
            return true;
    }
    return false;
}

void closePopups()
{
    // A submenu closes before the menu it hangs from; a popup that refuses to close ends
    // the loop rather than spinning in it.
    QWidget *last = nullptr;
    while (QWidget *popup = QApplication::activePopupWidget()) {
        if (popup == last)
            break;
        popup->close();
        last = popup;
    }
    QToolTip::hideText();
}

} // namespace

PopupGuard::PopupGuard(const QList<QWidget *> &controls, QObject *parent) : QObject(parent)
{
    for (QWidget *control : controls)
        m_controls << control;
    QCoreApplication::instance()->installEventFilter(this);
}

bool PopupGuard::eventFilter(QObject *watched, QEvent *event)
{
    // The press as the window system hands it to a window, before Qt routes it to the
    // popup: once routed, it is the popup's.
    if (event->type() != QEvent::MouseButtonPress || !watched->isWindowType())
        return false;
    const auto *window = static_cast<QWindow *>(watched);
    if (!QApplication::activePopupWidget() && window->type() != Qt::ToolTip)
        return false;
    const auto *press = static_cast<QMouseEvent *>(event);
    const QPoint global = press->globalPosition().toPoint();
    QWidget *control = controlAt(global);
    // A press on a menu is the menu's, even over the control: its item was chosen.
    if (!control || onAPopup(global))
        return false;
    closePopups();
    const QPointer<QWindow> target = control->window()->windowHandle();
    if (!target)
        return false;
    const QPointF local = target->mapFromGlobal(press->globalPosition());
    QMouseEvent replayed(QEvent::MouseButtonPress, local, local, press->globalPosition(), press->button(),
                         press->buttons(), press->modifiers(), press->pointingDevice());
    QCoreApplication::sendEvent(target, &replayed);
    // A release that follows the press at once (a touchpad's tap, a tool's click) is
    // delivered to the popup's grab and lost with the popup, no window ever getting it:
    // the control would stay pressed and never be clicked. So the press is the whole
    // click here; a release that does come later finds nothing pressed and is ignored.
    if (target) {
        QMouseEvent release(QEvent::MouseButtonRelease, local, local, press->globalPosition(), press->button(),
                            press->buttons() & ~press->button(), press->modifiers(), press->pointingDevice());
        QCoreApplication::sendEvent(target, &release);
    }
    return true;
}

QWidget *PopupGuard::controlAt(const QPoint &global) const
{
    // A modal dialog keeps its window's controls from answering, popup or not.
    if (QApplication::activeModalWidget())
        return nullptr;
    for (const QPointer<QWidget> &control : m_controls) {
        if (control && control->isVisible() && control->isEnabled()
            && control->rect().contains(control->mapFromGlobal(global)))
            return control;
    }
    return nullptr;
}
