#include "qtmessagebox.h"

#include "boxplacement.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QtMath>
#include <QVBoxLayout>

// Messages shown inside the window, one at a time, the next when the operator dismisses
// one. It never takes the focus: on air Space must stay on ΔΙΑΚΟΠΗ.
class NoticeStrip final : public QFrame
{
public:
    explicit NoticeStrip(QWidget *area) : QFrame(area)
    {
        setObjectName(QStringLiteral("notices"));
        setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
        setAutoFillBackground(true);
        QPalette colours = palette();
        colours.setColor(QPalette::Window, colours.color(QPalette::ToolTipBase));
        colours.setColor(QPalette::WindowText, colours.color(QPalette::ToolTipText));
        setPalette(colours);
        m_caption->setObjectName(QStringLiteral("caption"));
        QFont bold = font();
        bold.setBold(true);
        m_caption->setFont(bold);
        // A path is one long word: it wraps anywhere rather than leave the strip.
        m_text->setReadOnly(true);
        m_text->setFrameShape(QFrame::NoFrame);
        m_text->setFocusPolicy(Qt::NoFocus);
        m_text->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        m_text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        m_text->viewport()->setAutoFillBackground(false);
        m_text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
        m_text->setMinimumHeight(m_text->fontMetrics().lineSpacing());
        m_ok->setAutoDefault(false);
        m_ok->setFocusPolicy(Qt::TabFocus);
        auto *heading = new QHBoxLayout;
        heading->addWidget(m_icon);
        heading->addWidget(m_caption, 1);
        heading->addWidget(m_waiting);
        heading->addWidget(m_ok);
        auto *column = new QVBoxLayout(this);
        column->setContentsMargins(6, 4, 6, 4);
        column->setSpacing(2);
        column->addLayout(heading);
        column->addWidget(m_text, 1);
        QObject::connect(m_ok, &QPushButton::clicked, this, [this] {
            m_queue.removeFirst();
            showFirst();
        });
        hide();
    }

    void add(const QString &text, const QString &caption, IMessageBox::Icon icon, const QList<QRect> &inSight)
    {
        m_queue << Notice {text, caption, icon};
        m_inSight = inSight;
        if (m_queue.size() == 1)
            showFirst();
        else
            showWaiting();
    }

private:
    struct Notice
    {
        QString text;
        QString caption;
        IMessageBox::Icon icon;
    };

    void showFirst()
    {
        if (m_queue.isEmpty()) {
            hide();
            return;
        }
        const Notice &notice = m_queue.first();
        m_caption->setText(notice.caption);
        m_text->setPlainText(notice.text);
        setAccessibleName(notice.caption);
        setAccessibleDescription(notice.text);
        const bool warning = notice.icon == IMessageBox::Icon::Warning;
        const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
        m_icon->setPixmap(warning ? style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(side, side)
                                  : QPixmap());
        m_icon->setVisible(warning);
        showWaiting();
        show();
        raise();
    }

    // How many wait behind the one shown, and the strip's place for what it now holds.
    void showWaiting()
    {
        m_waiting->setText(QStringLiteral("1/%1").arg(m_queue.size()));
        m_waiting->setVisible(m_queue.size() > 1);
        const QRect area = parentWidget()->rect();
        const int width = area.width() - 8;
        const QMargins margins = layout()->contentsMargins();
        const int frame = 2 * frameWidth();
        QTextDocument *document = m_text->document();
        document->setTextWidth(width - frame - margins.left() - margins.right());
        const int height = frame + margins.top() + margins.bottom() + layout()->itemAt(0)->sizeHint().height()
            + layout()->spacing() + qCeil(document->size().height());
        setGeometry(placeNotice(area, m_inSight, QSize(width, height)));
    }

    QLabel *m_icon = new QLabel(this);
    QLabel *m_caption = new QLabel(this);
    QLabel *m_waiting = new QLabel(this);
    QPushButton *m_ok = new QPushButton(QStringLiteral("OK"), this);
    QTextEdit *m_text = new QTextEdit(this);
    QList<Notice> m_queue;
    QList<QRect> m_inSight; // in the area's coordinates
};

QtMessageBox::QtMessageBox() = default;

QtMessageBox::~QtMessageBox()
{
    delete m_notices;
}

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
    if (placedInside()) {
        post(text, caption, icon);
        return;
    }
    // Window-modal, and the window's own loop goes on: nothing waits for the OK.
    QMessageBox *shown = box(text, caption, icon);
    shown->open();
    place(*shown);
}

void QtMessageBox::notify(const QString &text, const QString &caption, Icon icon)
{
    if (placedInside()) {
        post(text, caption, icon);
        return;
    }
    QMessageBox *shown = box(text, caption, icon);
    shown->setWindowModality(Qt::NonModal);
    shown->show();
    place(*shown);
}

bool QtMessageBox::placedInside() const
{
    // A Wayland client cannot place its windows: the compositor would centre the box over
    // the window, on the lamps.
    return m_parent && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
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

void QtMessageBox::post(const QString &text, const QString &caption, Icon icon)
{
    // Over the window's client area, below its menu bar, which must stay reachable.
    auto *main = qobject_cast<QMainWindow *>(m_parent);
    QWidget *area = main && main->centralWidget() ? main->centralWidget() : m_parent;
    if (!m_notices || m_notices->parentWidget() != area)
        m_notices = new NoticeStrip(area);
    QList<QRect> inSight;
    for (const QPointer<QWidget> &widget : std::as_const(m_inSight)) {
        if (widget)
            inSight << QRect(area->mapFromGlobal(widget->mapToGlobal(QPoint(0, 0))), widget->size());
    }
    m_notices->add(text, caption, icon, inSight);
}
