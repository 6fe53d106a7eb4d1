#pragma once

#include <QObject>
#include <QElapsedTimer>
#include <QPointer>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class Content;
class QAudioSink;
class QIODevice;
class QTimer;

// One run of playback from a frame position to the end of the content. A reader thread
// decodes ahead into a bounded ring; a short timer on the owner's thread moves what is
// ready into the sound server, so the window never waits on the disk.
class Playback : public QObject
{
    Q_OBJECT
public:
    Playback(Content &content, qint64 from, QObject *parent = nullptr);
    ~Playback() override;

    // False when there is no output device or it refuses the content's format.
    bool start();
    void suspend();
    void resume();
    // Stops feeding and reading at once; the stream itself goes with the object.
    void halt();
    // The frame the listener has reached: where a stop leaves the position.
    qint64 position() const;

signals:
    // The run is over: at the end of the content, or because the sound server went away.
    void finished(bool reachedEnd);

private:
    void readAhead();
    void feed();
    void stopReader();
    qint64 takeFromRing(float *out, qint64 maxFrames);

    Content &m_content;
    const qint64 m_from;
    const int m_channels;
    qint64 m_handed = 0;
    bool m_halted = false;
    bool m_playedOut = false;

    QAudioSink *m_sink = nullptr;
    QPointer<QIODevice> m_out; // Qt deletes it when the server goes away
    QTimer *m_timer = nullptr;
    QElapsedTimer m_playClock; // from the first audio handed over
    qint64 m_pausedMs = 0;
    bool m_paused = false;
    qint64 m_pausedAt = 0;

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<float> m_ring;
    qint64 m_head = 0; // floats written, ever
    qint64 m_tail = 0; // floats taken, ever
    bool m_eof = false;
    bool m_quit = false;
    std::thread m_reader;
    std::vector<float> m_feedBuffer;
};
