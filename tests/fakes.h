#pragma once

#include "audiodevice.h"
#include "filedialog.h"
#include "mediacontrol.h"
#include "messagebox.h"
#include "serialport.h"

#include <QStringList>
#include <QTimer>

#include <functional>

// Every fake writes what it is told into one shared journal, in order, so a test can
// assert the exact sequence a handler sends across devices.
using Journal = QStringList;

class FakeMediaControl final : public IMediaControl
{
public:
    explicit FakeMediaControl(Journal &journal) : m_journal(journal) {}
    void setDeviceType(const QString &type) override { m_journal << QStringLiteral("media.DeviceType=") + type; }
    void setNotify(bool on) override { m_journal << QStringLiteral("media.Notify=%1").arg(on); }
    void setWait(bool on) override { m_journal << QStringLiteral("media.Wait=%1").arg(on); }
    void setShareable(bool on) override { m_journal << QStringLiteral("media.Shareable=%1").arg(on); }
    void setFileName(const QString &name) override { m_journal << QStringLiteral("media.FileName=") + name; }
    void setCommand(const QString &command) override { m_journal << QStringLiteral("media.") + command; }

private:
    Journal &m_journal;
};

// A port that answers from the event loop, as the real one does, or holds its answers
// while `hold` is set (a port slow to open) until answerHeld().
class FakeSerialPort final : public ISerialPort
{
public:
    explicit FakeSerialPort(Journal &journal) : m_journal(journal) {}
    void setCommPort(qint16 port) override
    {
        m_port = port;
        m_journal << QStringLiteral("serial.CommPort=%1").arg(port);
    }
    qint16 commPort() const override { return m_port; }
    void setPortOpen(bool open, Done done) override
    {
        m_journal << QStringLiteral("serial.PortOpen=%1").arg(open);
        if (!open) {
            m_open = false;
            return callOff(failClose, QStringLiteral("No such file or directory"));
        }
        answer(done, failOpen, QStringLiteral("No such file or directory"), Failure::NotFound, [this] { m_open = true; });
    }
    bool portOpen() const override { return m_open; }
    void setRTSEnable(bool enable, Done done) override
    {
        m_journal << QStringLiteral("serial.RTSEnable=%1").arg(enable);
        if (!enable)
            return callOff(failDrop, QStringLiteral("Input/output error"));
        answer(done, failRaise, QStringLiteral("Input/output error"), Failure::Other, [this] { rts = m_open; });
    }
    QString errorString() const override { return m_error; }
    Failure failure() const override { return m_failure; }
    QString portName() const override { return QStringLiteral("/dev/ttyS%1").arg(m_port - 1); }
    void setFailureListener(std::function<void()> listener) override { m_failureListener = std::move(listener); }
    void answerHeld()
    {
        const auto held = std::move(m_held);
        m_held.clear();
        for (const auto &answer : held)
            answer();
    }

    bool hold = false;
    bool failOpen = false;
    bool failClose = false;
    bool failRaise = false;
    bool failDrop = false;
    bool rts = false; // the line as the radio sees it

private:
    // Whatever was asked before is called off, never answered, and the line is down; a
    // failure then is told with nobody waiting, as the real port tells it.
    void callOff(bool fail, const QString &reason)
    {
        m_held.clear();
        ++m_unkeys;
        rts = false;
        if (!fail)
            return;
        m_error = reason;
        m_failure = Failure::Other;
        if (m_failureListener)
            m_failureListener();
    }
    // The answer, from the event loop: `fail` is looked at when it comes, not before.
    void answer(Done done, const bool &fail, const QString &reason, Failure kind, std::function<void()> succeed)
    {
        later([this, done, &fail, reason, kind, succeed] {
            if (fail) {
                m_error = reason;
                m_failure = kind;
            } else {
                succeed();
            }
            done(!fail);
        });
    }
    void later(std::function<void()> answer)
    {
        if (hold)
            return m_held.push_back(std::move(answer));
        QTimer::singleShot(0, &m_context, [this, unkeys = m_unkeys, answer = std::move(answer)] {
            if (unkeys == m_unkeys)
                answer();
        });
    }

    Journal &m_journal;
    QObject m_context; // answers die with the port
    qint16 m_port = 1;
    bool m_open = false;
    int m_unkeys = 0;
    QList<std::function<void()>> m_held;
    QString m_error;
    Failure m_failure = Failure::None;
    std::function<void()> m_failureListener;
};

// A dialog that answers from the event loop with the next of `answers`.
class FakeFileDialog final : public IFileDialog
{
public:
    explicit FakeFileDialog(Journal &journal) : m_journal(journal) {}
    void setFilter(const QString &filter) override { m_journal << QStringLiteral("dialog.Filter=") + filter; }
    void showOpen(Done done) override
    {
        m_journal << QStringLiteral("dialog.Show");
        const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
        QTimer::singleShot(0, &m_context, [this, answer, done, shown = ++m_shows] {
            if (shown != m_shows)
                return; // taken down
            if (!answer.isNull())
                m_fileName = answer;
            done(!answer.isNull());
        });
    }
    QString fileName() const override { return m_fileName; }
    void cancel() override { ++m_shows; }
    void setFailureListener(std::function<void(const QString &)>) override {}

    QStringList answers; // each show takes one; a null QString cancels

private:
    Journal &m_journal;
    QObject m_context;
    QString m_fileName;
    int m_shows = 0;
};

class FakeMessageBox final : public IMessageBox
{
public:
    explicit FakeMessageBox(Journal &journal) : m_journal(journal) {}
    void show(const QString &text, const QString &caption, Icon icon) override { tell("message", text, caption, icon); }
    void notify(const QString &text, const QString &caption, Icon icon) override { tell("notice", text, caption, icon); }
    QStringList texts;

private:
    void tell(const char *how, const QString &text, const QString &caption, Icon icon)
    {
        m_journal << QStringLiteral("%1[%2|%3]").arg(QLatin1String(how), caption).arg(icon == Icon::None ? 0 : 1);
        texts << text;
    }
    Journal &m_journal;
};

// A device that only keeps its mode, for window tests that need no sound.
class FakeAudioDevice final : public IAudioDevice
{
public:
    explicit FakeAudioDevice(Journal &journal) : m_journal(journal) {}
    bool open(const QString &path) override
    {
        m_journal << QStringLiteral("device.open ") + path;
        if (m_mode != Mode::Closed || !openable.contains(path))
            return false;
        m_path = path;
        setMode(Mode::Stopped);
        return true;
    }
    void close() override
    {
        m_journal << QStringLiteral("device.close");
        m_path.clear();
        setMode(Mode::Closed);
    }
    void play(Output output) override
    {
        m_journal << (output == Output::Air ? QStringLiteral("device.play air") : QStringLiteral("device.play desk"));
        if (m_mode == Mode::Stopped || m_mode == Mode::Paused)
            setMode(Mode::Playing);
    }
    void pause() override
    {
        m_journal << QStringLiteral("device.pause");
        if (m_mode == Mode::Playing)
            setMode(Mode::Paused);
    }
    void stop() override
    {
        m_journal << QStringLiteral("device.stop");
        if (m_mode != Mode::Closed)
            setMode(Mode::Stopped);
    }
    void rewind() override { m_journal << QStringLiteral("device.rewind"); }
    void record() override
    {
        m_journal << QStringLiteral("device.record");
        if (m_mode == Mode::Stopped)
            setMode(Mode::Recording);
    }
    void save() override
    {
        m_journal << QStringLiteral("device.save");
        if (!saveError.isEmpty() && m_problems)
            m_problems(Problem::SaveFailed, m_path, saveError);
    }
    Mode mode() const override { return m_mode; }
    qint64 position() const override { return at; }
    qint64 length() const override { return frames; }
    int sampleRate() const override { return 48000; }
    QString path() const override { return m_path; }
    bool soundAvailable() const override { return sound; }
    double level() const override { return peak; }
    bool clipping() const override { return clipped; }
    void setModeListener(std::function<void()> listener) override { m_listener = std::move(listener); }
    void setProblemListener(std::function<void(Problem, const QString &, const QString &)> listener) override
    {
        m_problems = std::move(listener);
    }
    // The sound server comes or goes, as the real device reports it.
    void setSound(bool on)
    {
        sound = on;
        if (m_listener)
            m_listener();
    }
    // A recording ends with a problem (cut short, or clipped), as the real device tells it.
    void endTake(Problem problem, const QString &what)
    {
        setMode(Mode::Stopped);
        if (m_problems)
            m_problems(problem, m_path, what);
    }

    QStringList openable;
    QString saveError;
    bool sound = true;
    double peak = 0;        // the level, as a test sets it
    bool clipped = false;
    qint64 at = 0;          // the position, as a test sets it
    qint64 frames = 48000;  // the length

private:
    void setMode(Mode mode)
    {
        m_mode = mode;
        if (m_listener)
            m_listener();
    }
    Journal &m_journal;
    Mode m_mode = Mode::Closed;
    QString m_path;
    std::function<void()> m_listener;
    std::function<void(Problem, const QString &, const QString &)> m_problems;
};
