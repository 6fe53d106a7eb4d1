#include "mediabar.h"

#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QTimer>
#include <QToolButton>

#include <cmath>

namespace {

// The level's scale, in dB below full scale: speech sits in its upper half.
constexpr double kFloorDb = -48;
// Full scale stays shown as reached this many redraws (a second) after a clip: a clip
// lasts milliseconds, and the operator's eyes may be elsewhere.
constexpr int kClipHoldRedraws = 10;
const QColor kLevelColour(0x00, 0xA0, 0x00);
const QColor kClipColour(0xE0, 0x00, 0x00);

// The level's line along the top edge of the bar, above where a focus frame runs, and the
// mark of full scale just past its right end.
QRect levelTrack(const QSize &bar)
{
    return QRect(2, 0, bar.width() - 11, 3);
}

QRect fullScaleMark(const QSize &bar)
{
    return QRect(bar.width() - 7, 0, 3, 7);
}

// Whole seconds as m:ss.
QString clock(qint64 frames, int rate)
{
    const qint64 seconds = rate > 0 ? frames / rate : 0;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QIcon recordIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xCC, 0x00, 0x00));
    painter.drawEllipse(QRectF(6, 6, 20, 20));
    return QIcon(pixmap);
}

// Drawn above the buttons, which would otherwise cover a focus frame painted by the bar.
class FocusOverlay final : public QWidget
{
public:
    explicit FocusOverlay(MediaBar *bar) : QWidget(bar), m_bar(bar)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        // The position as a thin line along the foot of the bar: a message that will
        // start in its middle, or has nothing left to play, is seen before it keys.
        if (m_bar->isEnabled() && m_bar->positionText().size() > 0) {
            const QRect track(2, height() - 5, width() - 4, 3);
            painter.fillRect(track, palette().color(QPalette::Mid));
            QRect done = track;
            done.setWidth(int(track.width() * m_bar->shownProgress() + 0.5));
            painter.fillRect(done, palette().color(QPalette::Highlight));
        }
        // The level, while the sound moves.
        if (m_bar->isEnabled() && !m_bar->levelText().isEmpty()) {
            const QRect track = levelTrack(size());
            painter.fillRect(track, palette().color(QPalette::Mid));
            QRect lit = track;
            lit.setWidth(int(track.width() * m_bar->shownLevel() + 0.5));
            const bool clipped = m_bar->shownClipping();
            painter.fillRect(lit, clipped ? kClipColour : kLevelColour);
            painter.fillRect(fullScaleMark(size()), clipped ? kClipColour : palette().color(QPalette::WindowText));
        }
        if (!m_bar->hasFocus())
            return;
        QStyleOptionFocusRect option;
        option.initFrom(this);
        // Styles draw the frame only once the keyboard has moved the focus; the bar has
        // it from the start, and Left and Right move a choice that must be seen.
        option.state |= QStyle::State_KeyboardFocusChange | QStyle::State_HasFocus;
        option.rect = m_bar->button(MediaBar::Button(m_bar->currentButton()))->geometry().adjusted(3, 3, -3, -3);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
    }

private:
    MediaBar *m_bar;
};

} // namespace

MediaBar::MediaBar(IAudioDevice &device, QWidget *parent) : QWidget(parent), m_device(device)
{
    setFocusPolicy(Qt::StrongFocus);
    const std::array<QIcon, ButtonCount> icons {
        style()->standardIcon(QStyle::SP_MediaSkipBackward),
        style()->standardIcon(QStyle::SP_MediaPlay),
        style()->standardIcon(QStyle::SP_MediaPause),
        style()->standardIcon(QStyle::SP_MediaStop),
        recordIcon(),
    };
    // Named like the captions above and below the bar, for screen readers.
    const std::array<QString, ButtonCount> names {
        QStringLiteral("ΑΡΧΗ"), QStringLiteral("ΑΝΑΠΑΡΑΓΩΓΗ"), QStringLiteral("ΠΑΥΣΗ"),
        QStringLiteral("ΔΙΑΚΟΠΗ"), QStringLiteral("ΕΓΓΡΑΦΗ"),
    };
    const std::array<QString, ButtonCount> descriptions {
        QStringLiteral("Επιστροφη στην αρχη του αρχειου"),
        QStringLiteral("Αναπαραγωγη του αρχειου χωρις εκπομπη"),
        QStringLiteral("Παυση της αναπαραγωγης"),
        QStringLiteral("Διακοπη αναπαραγωγης η εγγραφης"),
        QStringLiteral("Εγγραφη απο το μικροφωνο απο το σημειο αυτο και μετα"),
    };
    setAccessibleName(QStringLiteral("Ελεγχος ηχου"));
    setAccessibleDescription(m_keysDescription);
    for (int i = 0; i < ButtonCount; ++i) {
        auto *button = new QToolButton(this);
        button->setAccessibleName(names[size_t(i)]);
        button->setAccessibleDescription(descriptions[size_t(i)]);
        button->setIcon(icons[size_t(i)]);
        button->setIconSize(QSize(24, 24));
        // The bar is one stop in the tab order, as a single control.
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QToolButton::clicked, this, [this, i] { press(Button(i)); });
        m_buttons[size_t(i)] = button;
    }
    m_overlay = new FocusOverlay(this);
    m_follow = new QTimer(this);
    m_follow->setInterval(100);
    connect(m_follow, &QTimer::timeout, this, &MediaBar::showPosition);
    m_device.setModeListener([this] { refresh(); });
    m_device.setProblemListener([this](IAudioDevice::Problem what, const QString &path, const QString &reason) {
        emit problem(what, path, reason);
    });
    refresh();
}

MediaBar::~MediaBar()
{
    m_device.setModeListener(nullptr);
    m_device.setProblemListener(nullptr);
}

void MediaBar::setDeviceType(const QString &type)
{
    m_deviceType = type;
}

// Every command here returns at once and the device is this program's alone, so there is
// nothing for notify, wait or shareable to change.
void MediaBar::setNotify(bool) {}

void MediaBar::setWait(bool) {}

void MediaBar::setShareable(bool) {}

void MediaBar::setFileName(const QString &fileName)
{
    m_fileName = fileName;
}

void MediaBar::setCommand(const QString &command)
{
    if (command.compare(QStringLiteral("Open"), Qt::CaseInsensitive) == 0) {
        // Only wave audio is played here; no type yet means the file decides.
        if (m_deviceType.isEmpty() || m_deviceType.compare(QStringLiteral("WaveAudio"), Qt::CaseInsensitive) == 0)
            m_device.open(m_fileName);
    } else if (command.compare(QStringLiteral("Close"), Qt::CaseInsensitive) == 0) {
        m_device.close();
    } else if (command.compare(QStringLiteral("Play"), Qt::CaseInsensitive) == 0) {
        // The handlers' "Play" is the message on air; the bar's own button is a preview.
        m_device.play(IAudioDevice::Output::Air);
    } else if (command.compare(QStringLiteral("Stop"), Qt::CaseInsensitive) == 0) {
        m_device.stop();
    } else if (command.compare(QStringLiteral("Save"), Qt::CaseInsensitive) == 0) {
        // Written on the device's own thread; a failure comes back through problem().
        m_device.save();
    }
    refresh();
}

void MediaBar::refresh()
{
    using Mode = IAudioDevice::Mode;
    const Mode mode = m_device.mode();
    const bool open = mode != Mode::Closed;
    // Without a sound server only what needs none stays usable; the stop button never
    // goes grey while something plays or records. No dialog: nothing may stand between
    // the operator and the button that unkeys. While the file opens, what is pressed is
    // carried out once it is open, so play and record are there to press.
    const bool sound = m_device.soundAvailable();
    const bool atEnd = mode == Mode::Stopped && m_device.position() >= m_device.length();
    const bool ready = mode == Mode::Opening || mode == Mode::Stopped || mode == Mode::Paused;
    m_buttons[Start]->setEnabled(open && mode != Mode::Recording);
    m_buttons[Play]->setEnabled(sound && ready && !atEnd);
    m_buttons[Pause]->setEnabled(sound && mode == Mode::Playing);
    m_buttons[Stop]->setEnabled(mode == Mode::Playing || mode == Mode::Paused || mode == Mode::Recording);
    m_buttons[Record]->setEnabled(sound && ready);
    const bool moving = mode == Mode::Playing || mode == Mode::Recording;
    if (moving && !m_follow->isActive())
        m_follow->start();
    else if (!moving)
        m_follow->stop();
    m_soundShown = sound;
    showPosition();
}

void MediaBar::showPosition()
{
    using Mode = IAudioDevice::Mode;
    const Mode mode = m_device.mode();
    const qint64 length = m_device.length();
    const qint64 position = std::min(m_device.position(), length);
    const int rate = m_device.sampleRate();
    QString text;
    if (mode == Mode::Recording) {
        text = QStringLiteral("Εγγραφη: %1").arg(clock(position, rate));
    } else if (mode != Mode::Closed && mode != Mode::Opening && length > 0) {
        text = QStringLiteral("Θεση %1 απο %2").arg(clock(position, rate), clock(length, rate));
        if (mode != Mode::Playing && position >= length)
            text += QStringLiteral(": τελος του μηνυματος, ΑΡΧΗ για να ξαναπαιξει απο την αρχη");
        else if (mode != Mode::Playing && position > 0)
            text += QStringLiteral(": συνεχιζει απο εδω, ΑΡΧΗ για την αρχη");
    }
    showLevel(mode == Mode::Playing || mode == Mode::Recording);
    const double progress = mode == Mode::Recording ? 1.0 : length > 0 ? double(position) / double(length) : 0.0;
    if (progress != m_progress) {
        m_progress = progress;
        m_overlay->update();
    }
    const QString away = m_soundShown ? QString()
                                      : QStringLiteral("Δεν υπαρχει διακομιστης ηχου: ουτε αναπαραγωγη ουτε εγγραφη");
    const QString tip = QStringList({text, away}).join(QLatin1Char('\n')).trimmed();
    if (text != m_positionText || tip != toolTip()) {
        m_positionText = text;
        m_overlay->update();
        setToolTip(tip);
        for (QToolButton *button : m_buttons)
            button->setToolTip(tip);
    }
    // A screen reader hears the level with the position, in whole decibels.
    QStringList description {m_soundShown ? m_keysDescription : away};
    for (const QString &said : {text, m_levelText}) {
        if (!said.isEmpty())
            description << said;
    }
    const QString described = description.join(QStringLiteral(". "));
    if (described != accessibleDescription())
        setAccessibleDescription(described);
}

// Reads the number the sound's thread keeps, never the audio; redraws only the level's
// line, and only when what it shows has changed.
void MediaBar::showLevel(bool moving)
{
    double level = 0;
    QString text;
    if (moving) {
        const double peak = m_device.level();
        const bool clipping = m_device.clipping();
        m_clipHold = clipping ? kClipHoldRedraws : qMax(0, m_clipHold - 1);
        const double db = peak > 0 ? 20 * std::log10(peak) : kFloorDb - 1;
        level = qBound(0.0, (db - kFloorDb) / -kFloorDb, 1.0);
        if (clipping)
            text = QStringLiteral("Σταθμη: στο μεγιστο, ψαλιδιζει");
        else if (db < kFloorDb)
            text = QStringLiteral("Σταθμη: σιωπη");
        else
            text = QStringLiteral("Σταθμη %1 dB").arg(qMin(0, int(std::lround(db))));
    } else {
        m_clipHold = 0;
    }
    const QRect strip = levelTrack(size()).united(fullScaleMark(size()));
    const int width = levelTrack(size()).width();
    const bool redraw = text.isEmpty() != m_levelText.isEmpty() || int(width * level + 0.5) != int(width * m_level + 0.5)
                        || (m_clipHold > 0) != m_clipDrawn;
    m_level = level;
    m_levelText = text;
    m_clipDrawn = m_clipHold > 0;
    if (redraw)
        m_overlay->update(strip);
}

void MediaBar::press(Button which)
{
    switch (which) {
    case Start:
        m_device.rewind();
        break;
    case Play:
        m_device.play(IAudioDevice::Output::Desk);
        break;
    case Pause:
        m_device.pause();
        break;
    case Stop:
        m_device.stop();
        break;
    case Record:
        m_device.record();
        break;
    case ButtonCount:
        break;
    }
    refresh();
}

void MediaBar::moveCurrent(int step)
{
    m_current = (m_current + step + ButtonCount) % ButtonCount;
    m_overlay->update();
}

void MediaBar::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Left:
        moveCurrent(-1);
        break;
    case Qt::Key_Right:
        moveCurrent(1);
        break;
    case Qt::Key_Space:
        if (m_buttons[size_t(m_current)]->isEnabled())
            m_buttons[size_t(m_current)]->click();
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

void MediaBar::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    m_overlay->update();
}

void MediaBar::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    m_overlay->update();
}

void MediaBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The width is shared equally; the last button takes what rounding leaves.
    int left = 0;
    for (int i = 0; i < ButtonCount; ++i) {
        const int right = width() * (i + 1) / ButtonCount;
        m_buttons[size_t(i)]->setGeometry(left, 0, right - left, height());
        left = right;
    }
    m_overlay->setGeometry(rect());
    m_overlay->raise();
}
