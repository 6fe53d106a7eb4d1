#pragma once

#include "audiodevice.h"
#include "mediacontrol.h"

#include <QWidget>
#include <array>

class QTimer;
class QToolButton;

// The window's media bar: five transport buttons (start, play, pause, stop, record) on
// one device, enabled by the device's mode, and the property-and-command face that the
// handlers drive. One place in the tab order; Left and Right move between its buttons.
// Along its foot a line shows the position; along its top, while the sound moves, the
// level, with full scale marked at its right end.
class MediaBar final : public QWidget, public IMediaControl
{
    Q_OBJECT
public:
    enum Button { Start, Play, Pause, Stop, Record, ButtonCount };

    explicit MediaBar(IAudioDevice &device, QWidget *parent = nullptr);
    ~MediaBar() override;

    void setDeviceType(const QString &type) override;
    void setNotify(bool notify) override;
    void setWait(bool wait) override;
    void setShareable(bool shareable) override;
    void setFileName(const QString &fileName) override;
    void setCommand(const QString &command) override;

    QString deviceType() const { return m_deviceType; }
    QString fileName() const { return m_fileName; }
    QToolButton *button(Button which) const { return m_buttons[which]; }
    int currentButton() const { return m_current; }

    // Follows the device's mode, position and the sound server's presence into the
    // buttons, the position line and the texts.
    void refresh();
    // Where the message stands, as the tooltip and the screen reader say it.
    QString positionText() const { return m_positionText; }
    // Of the message, how much lies before the position, 0 to 1; what the line shows.
    double shownProgress() const { return m_progress; }
    // The level as drawn, 0 to 1 of the scale (-48 dB to full scale); 0 when not shown.
    double shownLevel() const { return m_level; }
    // Full scale shown as reached: the mark is red for a second after the sound clipped.
    bool shownClipping() const { return m_clipHold > 0; }
    // The level in words, as the screen reader says it; empty while nothing moves.
    QString levelText() const { return m_levelText; }

signals:
    // Something the device could not do out of the operator's sight: a save that failed,
    // a recording cut short. The window tells the operator.
    void problem(IAudioDevice::Problem problem, const QString &path, const QString &reason);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void press(Button which);
    void moveCurrent(int step);
    void showPosition();
    void showLevel(bool moving);

    IAudioDevice &m_device;
    std::array<QToolButton *, ButtonCount> m_buttons {};
    QWidget *m_overlay = nullptr;
    QTimer *m_follow = nullptr; // while the position moves
    QString m_positionText;
    double m_progress = 0;
    double m_level = 0;
    int m_clipHold = 0; // redraws left with full scale shown as reached
    bool m_clipDrawn = false;
    QString m_levelText;
    int m_current = Play;
    QString m_deviceType;
    QString m_fileName;
    bool m_soundShown = true;
    const QString m_keysDescription = QStringLiteral("Αριστερα και δεξια βελη για επιλογη, διαστημα για πατημα");
};
