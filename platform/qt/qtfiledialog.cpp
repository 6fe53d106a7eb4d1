#include "qtfiledialog.h"

#include "helperclient.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

namespace {

// While the dialog is up the window takes no input but at its live controls, as under a
// modal dialog of its own; Escape there takes the dialog down.
class InputGate final : public QObject
{
public:
    InputGate(QWidget *window, const QList<QPointer<QWidget>> &live, std::function<void()> cancel)
        : m_window(window), m_live(live), m_cancel(std::move(cancel))
    {
        qApp->installEventFilter(this);
    }
    ~InputGate() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
            break;
        default:
            return false;
        }
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || !m_window || widget->window() != m_window->window())
            return false;
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
            // Queued: the gate goes with the dialog, and must not go inside its own filter.
            // The key goes on to the window too, where it calls off a transmission still
            // waiting for the port.
            QTimer::singleShot(0, this, [cancel = m_cancel] { cancel(); });
            return false;
        }
        for (const QPointer<QWidget> &control : m_live) {
            if (control && (widget == control || control->isAncestorOf(widget)))
                return false;
        }
        return true;
    }

private:
    QPointer<QWidget> m_window;
    const QList<QPointer<QWidget>> &m_live;
    std::function<void()> m_cancel;
};

QString rect(const QRect &r)
{
    return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

QtFileDialog::QtFileDialog() : m_showDeadline(std::make_unique<QTimer>()), m_clients(std::make_unique<QObject>())
{
    m_showDeadline->setSingleShot(true);
    QObject::connect(m_showDeadline.get(), &QTimer::timeout, [this] {
        fail(QStringLiteral("the file dialog did not appear within %1 s").arg(m_showDeadline->interval() / 1000));
    });
}

QtFileDialog::~QtFileDialog()
{
    cancel();
}

void QtFileDialog::setParentWidget(QWidget *parent)
{
    m_parent = parent;
}

void QtFileDialog::keepLive(QWidget *control)
{
    m_live << control;
}

void QtFileDialog::keepInSight(const QList<QWidget *> &widgets)
{
    m_inSight.clear();
    for (QWidget *widget : widgets)
        m_inSight << widget;
}

void QtFileDialog::setFilter(const QString &filter)
{
    m_nameFilters = nameFiltersFromPairs(filter);
}

QStringList QtFileDialog::arguments() const
{
    QStringList arguments {QStringLiteral("--program"), QString::number(::getpid())};
    // Where the window stands and what of it must stay in sight: the dialog stands beside
    // it, as the message boxes do, and is kept above it by the window manager.
    if (m_parent && m_parent->isVisible()) {
        QWidget *window = m_parent->window();
        if (QGuiApplication::platformName() == QStringLiteral("xcb"))
            arguments << QStringLiteral("--parent") << QString::number(quintptr(window->winId()));
        if (QScreen *screen = window->screen())
            arguments << QStringLiteral("--screen") << rect(screen->availableGeometry());
        arguments << QStringLiteral("--window") << rect(window->frameGeometry());
        for (const QPointer<QWidget> &widget : m_inSight) {
            if (widget)
                arguments << QStringLiteral("--in-sight") << rect(QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()));
        }
    }
    if (!m_fileName.isEmpty())
        arguments << QStringLiteral("--select") << m_fileName;
    else if (!m_lastFolder.isEmpty())
        arguments << QStringLiteral("--folder") << m_lastFolder;
    for (const QString &filter : m_nameFilters)
        arguments << QStringLiteral("--filter") << filter;
    return arguments;
}

void QtFileDialog::setOnAir(std::function<bool()> onAir)
{
    m_onAir = std::move(onAir);
}

void QtFileDialog::showOpen(Done done)
{
    if (m_helper)
        return;
    m_done = std::move(done);
    m_helper = new HelperClient(m_clients.get());
    // A Wayland compositor puts a new window where it likes, over the lamps and ΔΙΑΚΟΠΗ
    // as likely as not.
    const bool unplaceable = QGuiApplication::platformName() == QStringLiteral("wayland") && m_onAir && m_onAir();
    if (unplaceable || !m_helper->start(QStringLiteral("vendrel9-filedialog"), arguments())) {
        const QString reason = unplaceable
            ? QStringLiteral("on this desktop it would cover the lamps while on air; press ΔΙΑΚΟΠΗ first")
            : QStringLiteral("the file dialog could not be started: %1")
                  .arg(HelperProcess::programPath(QStringLiteral("vendrel9-filedialog")));
        // Told after the click's handler has returned, as every answer is.
        QTimer::singleShot(0, m_helper, [this, helper = m_helper, reason] {
            if (m_helper == helper)
                fail(reason);
        });
        return;
    }
    m_helper->setMessageListener([this](const frames::Fields &message) {
        const QByteArray what = message.value(0);
        if (what == "up")
            m_showDeadline->start(kShowDeadlineMs);
        else if (what == "shown")
            shown();
        else if (what == "chosen" && message.size() == 2)
            finish(true, QFile::decodeName(message.at(1)));
        else
            finish(false);
    });
    m_helper->setEndListener([this](HelperClient::End) { fail(QStringLiteral("the file dialog ended without an answer")); });
    m_showDeadline->start(kStartDeadlineMs);
}

void QtFileDialog::shown()
{
    m_showDeadline->stop();
    m_gate = std::make_unique<InputGate>(m_parent, m_live, [this] { finish(false); });
}

void QtFileDialog::finish(bool chosen, const QString &path)
{
    const Done done = std::move(m_done);
    const bool wasShown = m_gate != nullptr;
    cancel();
    if (chosen) {
        m_fileName = path;
        m_lastFolder = QFileInfo(m_fileName).absolutePath();
    }
    if (wasShown && m_parent)
        m_parent->window()->activateWindow();
    if (done)
        done(chosen);
}

void QtFileDialog::fail(const QString &reason)
{
    if (!m_helper)
        return;
    const Done done = std::move(m_done);
    cancel();
    if (m_failureListener)
        m_failureListener(reason);
    if (done)
        done(false);
}

void QtFileDialog::cancel()
{
    m_showDeadline->stop();
    m_gate.reset();
    m_done = nullptr;
    if (m_helper) {
        // Whatever it is doing, stuck on a share or not: killed, then reaped by the kernel's
        // leave. Deleted later: this may run inside one of its own calls.
        m_helper->kill();
        m_helper->deleteLater();
        m_helper = nullptr;
    }
}

QString QtFileDialog::fileName() const
{
    return m_fileName;
}

void QtFileDialog::setFailureListener(std::function<void(const QString &reason)> listener)
{
    m_failureListener = std::move(listener);
}
