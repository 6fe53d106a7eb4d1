#pragma once

#include "inbox.h"
#include "levelmeter.h"
#include "soundengine.h"
#include "transport.h"

#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class Content;
class SaveTracker;

// One binding of the device to one file, carried out on a thread of its own: opening,
// reading ahead for playback, writing a recording's take and starting saves all touch
// the disk there, never on the window's thread. It carries out the window's steps in
// the order they were handed out and reports facts tagged with the step they answer; it
// decides nothing and keeps no state of the device but where the sound stands here.
// Closing abandons the session: a thread stuck on a disk that stalls is left to finish
// by itself and owns what it still needs; steps already given (a save among them) are
// carried out first, and nothing plays or records any more.
class DeviceSession : public std::enable_shared_from_this<DeviceSession>
{
public:
    using Steps = transport::Steps;
    using Fact = transport::Fact;

    struct Report
    {
        enum class Kind { Fact, SaveFailed, RecordingCut, TakeClipped };
        Kind kind = Kind::Fact;
        Fact fact;
        int rate = 0;
        int channels = 0;
        QString reason;
    };
    // Called on the session's thread; must not block.
    using Reporter = std::function<void(const Report &)>;

    DeviceSession(std::shared_ptr<SoundEngine> engine, std::shared_ptr<SaveTracker> saves, QString path, Reporter reporter);
    ~DeviceSession();

    // Starts the thread, which opens the file; binding is the open's number.
    void start(quint64 binding);
    // From the window's thread; each returns at once. False when the binding has ended
    // (its file would not open) and will carry out nothing more.
    bool post(const Steps &steps);
    // Silences what plays or records now, ahead of the queue, and keeps any step given
    // before `number` from starting a stream still: the step numbered `number` silences
    // it anyway, and the sound must not start in between.
    void silence(quint64 number);
    void pauseSound(quint64 number);
    void abandon();
    // Frames played or recorded so far by the stream of step `step`, from the start of
    // the content, as the server counts them; -1 when that stream is not the one there is.
    qint64 livePosition(quint64 step) const;
    // Times the server ran out of audio in this binding's playback so far: the sound
    // breaking up. For the benchmarks.
    int underruns() const;
    // The level of the stream of step `step`, as its meter last had it; 0 and false
    // when that stream is not the one there is.
    float level(quint64 step) const;
    bool clipping(quint64 step) const;

private:
    struct Message
    {
        enum class Kind { Steps, Abandon, Saved };
        Kind kind = Kind::Steps;
        Steps steps;
        bool saved = false;
        QString error;
    };

    void run();
    void carryOut(const Steps &steps);
    void endSound(bool atTakeEnd);
    bool endRecording(const std::shared_ptr<SoundStream> &stream, SoundStream::End end, bool atTakeEnd);
    void startPlaying(const Steps &steps);
    void startRecording(const Steps &steps);
    bool publishStream(const std::shared_ptr<SoundStream> &stream, qint64 from, quint64 step);
    void startSave();
    void finishSave(const Message &message);
    void readAhead();
    void takeRecorded();
    void cutTake(const QString &why);
    void tellClipped();
    void noticeEnd();
    void tell(Fact::Kind kind, quint64 step = 0);
    void tellProblem(Report::Kind kind, const QString &reason);
    std::shared_ptr<SoundStream> currentStream() const;
    quint64 streamStep() const;
    // Raises the silencing mark and returns the stream sounding now, if any.
    std::shared_ptr<SoundStream> silenceUpTo(quint64 number);
    // Lets go of the stream; one that ended by itself leaves where it ended, for its step.
    void clearStream(quint64 endedStep = 0, qint64 endedAt = -1);
    std::function<void()> ringer() const;
    void dropRemaining();

    const std::shared_ptr<SoundEngine> m_engine;
    const std::shared_ptr<SaveTracker> m_saves;
    const QString m_path;
    const Reporter m_report;
    const std::shared_ptr<Inbox<Message>> m_inbox = std::make_shared<Inbox<Message>>();
    quint64 m_binding = 0;

    // Shared with the window's thread, under the mutex.
    mutable std::mutex m_mutex;
    std::shared_ptr<SoundStream> m_stream;
    qint64 m_streamFrom = 0; // where the current stream began
    quint64 m_streamStep = 0; // the step that started or last resumed it
    quint64 m_endedStep = 0; // the step of a stream that ended by itself, until the next
    qint64 m_endedAt = -1;   // where it ended
    quint64 m_silencedUpTo = 0;
    int m_pastUnderruns = 0; // of the streams ended before the current one

    // The session thread's own.
    std::unique_ptr<Content> m_content;
    qint64 m_at = 0;               // where the sound stands here
    quint64 m_handled = 0;
    std::deque<Message> m_backlog; // steps taken from the inbox, not carried out yet
    bool m_abandoned = false;
    qint64 m_readAt = 0;           // next frame for the playback ring
    qint64 m_takeFrom = 0;         // where the recording began
    bool m_takeStarted = false;
    std::optional<ClipPlaces> m_clips; // of the take under way
    std::thread m_saver;           // joined before the session's thread ends
    bool m_saving = false;
    std::vector<float> m_buffer;   // reused: nothing is allocated per chunk of sound
    Fact m_told; // the last fact told
};
