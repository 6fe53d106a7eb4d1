#include "qtfiledialog.h"

#include "helperprocess.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <unistd.h>

namespace {

// While the dialog is up the window takes no input but at its live controls, as under a
// modal dialog of its own; Escape there calls the dialog off.
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
            m_cancel();
            return true;
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

} // namespace

QtFileDialog::QtFileDialog() = default;
QtFileDialog::~QtFileDialog() = default;

void QtFileDialog::setParentWidget(QWidget *parent)
{
    m_parent = parent;
}

void QtFileDialog::keepLive(QWidget *control)
{
    m_live << control;
}

void QtFileDialog::setFilter(const QString &filter)
{
    m_nameFilters = nameFiltersFromPairs(filter);
}

bool QtFileDialog::showOpen()
{
    QStringList arguments;
    // The dialog is kept above its window by the window manager; offscreen there is none.
    if (m_parent && QGuiApplication::platformName() == QStringLiteral("xcb"))
        arguments << QStringLiteral("--parent") << QString::number(quintptr(m_parent->window()->winId()));
    if (!m_fileName.isEmpty())
        arguments << QStringLiteral("--select") << m_fileName;
    else if (!m_lastFolder.isEmpty())
        arguments << QStringLiteral("--folder") << m_lastFolder;
    for (const QString &filter : m_nameFilters)
        arguments << QStringLiteral("--filter") << filter;

    HelperProcess helper;
    if (!helper.start(QStringLiteral("vendrel9-filedialog"), arguments))
        return false;
    QEventLoop loop;
    QByteArray answer;
    bool answered = false;
    QSocketNotifier notifier(helper.socket(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(helper.socket(), buffer, sizeof buffer);
            if (got > 0) {
                answer.append(buffer, got);
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            // The helper has ended: its answer is all there.
            answered = true;
            notifier.setEnabled(false);
            loop.quit();
            return;
        }
    });
    {
        InputGate gate(m_parent, m_live, [&loop] { loop.quit(); });
        // Ends when the helper answers, Escape calls it off, or the program quits (a
        // closed window, a signal): then the helper, stuck or not, is left to the kernel.
        loop.exec();
    }
    if (!answered) {
        helper.kill();
        return false;
    }
    helper.release();
    if (m_parent)
        m_parent->window()->activateWindow();
    const qsizetype end = answer.indexOf('\n');
    if (end <= 0)
        return false;
    m_fileName = QString::fromUtf8(answer.left(end));
    m_lastFolder = QFileInfo(m_fileName).absolutePath();
    return true;
}

QString QtFileDialog::fileName() const
{
    return m_fileName;
}
