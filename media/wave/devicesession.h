#pragma once

#include "audiodevice.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class Content;
class SoundEngine;
struct SoundStream;

// One binding of the device to one file, worked on a thread of its own: opening, reading
// ahead for playback, keeping a recording and saving all touch the disk there, never on
// the window's thread. Closing abandons the session: a thread stuck on a disk that stalls
// is left to finish by itself and owns what it still needs.
class DeviceSession : public std::enable_shared_from_this<DeviceSession>
{
public:
    using Mode = IAudioDevice::Mode;

    enum class Command { Play, Pause, Stop, Rewind, Record, Save };

    struct Report
    {
        enum class Kind { Opened, OpenFailed, State, SaveFailed, RecordingCut };
        Kind kind = Kind::State;
        Mode mode = Mode::Closed;
        qint64 position = 0;
        qint64 length = 0;
        int rate = 0;
        int channels = 0;
        quint64 handled = 0; // the last command carried out
        QString reason;
    };
    // Called on the session's thread; must not block.
    using Reporter = std::function<void(const Report &)>;

    DeviceSession(std::shared_ptr<SoundEngine> engine, QString path, Reporter reporter);
    ~DeviceSession();

    // Starts the thread, which opens the file; sequence is the open's own number.
    void start(quint64 sequence);
    // From the window's thread; each returns at once.
    void post(Command command, quint64 sequence, qint64 at = -1);
    // Silences whatever plays or records now, ahead of the queue.
    void silence();
    void pauseSound();
    // The window lets go: commands already posted are carried out (a save among them),
    // nothing more is played or recorded, and the thread ends.
    void abandon();
    // Frames played or recorded so far, as the sound server counts them.
    qint64 livePosition() const;

private:
    struct Posted
    {
        Command command;
        quint64 sequence;
        qint64 at;
    };

    void run();
    void carryOut(const Posted &posted);
    void halt(qint64 at);
    void startPlayback();
    void startRecording();
    void readAhead();
    void takeRecorded();
    void noticeEnd();
    void publish(Report::Kind kind = Report::Kind::State, const QString &reason = QString());
    std::shared_ptr<SoundStream> currentStream() const;
    std::function<void()> ringer() const;
    void setStream(std::shared_ptr<SoundStream> stream, qint64 from);

    const std::shared_ptr<SoundEngine> m_engine;
    const QString m_path;
    const Reporter m_report;
    std::unique_ptr<Content> m_content;

    // Shared with the streams, whose engine rings it: the engine never owns a session.
    struct Bell
    {
        std::mutex mutex;
        std::condition_variable cv;
        bool rung = false;
    };
    const std::shared_ptr<Bell> m_bell = std::make_shared<Bell>();
    // Under the bell's mutex.
    std::deque<Posted> m_queue;
    bool m_abandoned = false;
    std::shared_ptr<SoundStream> m_stream;
    qint64 m_streamFrom = 0; // where the current stream began

    // The session thread's own.
    Mode m_mode = Mode::Closed;
    qint64 m_position = 0;
    qint64 m_readAt = 0; // next frame for the playback ring
    quint64 m_handled = 0;
    bool m_takeStarted = false;
    std::vector<float> m_buffer; // reused: nothing is allocated per chunk of sound
    Report m_published;
};
