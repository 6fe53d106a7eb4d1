#pragma once

#include "inbox.h"
#include "levelmeter.h"
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
class SoundEngine;
struct SoundStream;

// One binding of the device to one file, carried out on a thread of its own: opening,
// reading ahead for playback, writing a recording's take and starting saves all touch
// the disk there, never on the window's thread. It carries out the window's orders in
// the order they were given, deciding with the same function the window's view uses.
// Closing abandons the session: a thread stuck on a disk that stalls is left to finish
// by itself and owns what it still needs; orders already given (a save among them) are
// carried out first, and nothing plays or records any more.
class DeviceSession : public std::enable_shared_from_this<DeviceSession>
{
public:
    using Order = transport::Order;
    using State = transport::State;

    struct Report
    {
        enum class Kind { State, SaveFailed, RecordingCut, TakeClipped };
        Kind kind = Kind::State;
        quint64 binding = 0;  // the open's sequence number
        quint64 revision = 0; // the session's own count of reports, from 1
        quint64 handled = 0;  // the last order carried out
        State state;
        int rate = 0;
        int channels = 0;
        QString reason;
    };
    // Called on the session's thread; must not block.
    using Reporter = std::function<void(const Report &)>;

    DeviceSession(std::shared_ptr<SoundEngine> engine, std::shared_ptr<SaveTracker> saves, QString path, Reporter reporter);
    ~DeviceSession();

    // Starts the thread, which opens the file; binding is the open's sequence number.
    void start(quint64 binding);
    // From the window's thread; each returns at once. False when the binding has ended
    // (its file would not open) and will carry out nothing more.
    bool post(quint64 sequence, const Order &order);
    // Silences what plays or records now, ahead of the queue, and keeps any order given
    // before `sequence` from starting a stream still: the order numbered `sequence`
    // silences it anyway, and the sound must not start in between.
    void silence(quint64 sequence);
    void pauseSound(quint64 sequence);
    void abandon();
    // Frames played or recorded so far by the stream there is, as the server counts them;
    // -1 without one.
    qint64 livePosition() const;
    // Times the server ran out of audio in this binding's playback so far: the sound
    // breaking up. For the benchmarks.
    int underruns() const;
    // The level of the stream there is, as its meter last had it; 0 and false without one.
    float level() const;
    bool clipping() const;

private:
    struct Message
    {
        enum class Kind { Order, Abandon, Saved };
        Kind kind = Kind::Order;
        quint64 sequence = 0;
        Order order;
        bool saved = false;
        QString error;
    };

    void run();
    void carryOut(quint64 sequence, const Order &order);
    void endSound(const transport::Steps &steps, State &next);
    void startPlaying(State &next, quint64 sequence);
    void startRecording(State &next, quint64 sequence);
    bool publishStream(const std::shared_ptr<SoundStream> &stream, qint64 from, quint64 sequence);
    void startSave();
    void finishSave(const Message &message);
    void readAhead();
    void takeRecorded();
    void cutTake(const QString &why);
    void tellClipped();
    void noticeEnd();
    void publish(Report::Kind kind = Report::Kind::State, const QString &reason = QString());
    std::shared_ptr<SoundStream> currentStream() const;
    // Raises the silencing mark and returns the stream sounding now, if any.
    std::shared_ptr<SoundStream> silenceUpTo(quint64 sequence);
    void clearStream();
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
    quint64 m_silencedUpTo = 0;
    int m_pastUnderruns = 0; // of the streams ended before the current one

    // The session thread's own.
    std::unique_ptr<Content> m_content;
    State m_state;
    quint64 m_handled = 0;
    quint64 m_revision = 0;
    std::deque<Message> m_backlog; // orders taken from the inbox, not carried out yet
    bool m_abandoned = false;
    qint64 m_readAt = 0;           // next frame for the playback ring
    qint64 m_takeFrom = 0;         // where the recording began
    bool m_takeStarted = false;
    std::optional<ClipPlaces> m_clips; // of the take under way
    std::thread m_saver;           // joined before the session's thread ends
    bool m_saving = false;
    std::vector<float> m_buffer;   // reused: nothing is allocated per chunk of sound
    Report m_published;
};
