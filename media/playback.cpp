#include "playback.h"

#include "content.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>
#include <QTimer>

namespace {

// Bounded whatever the file: at most 1 MiB of decoded audio waits in the ring.
constexpr qint64 kRingFloatsMax = 256 * 1024;
constexpr qint64 kRingFloatsMin = 16 * 1024;
// The server is kept about 200 ms ahead and topped up every 20 ms: few wake-ups, and
// still far from running dry when the window is busy for a moment.
constexpr int kFeedIntervalMs = 20;
constexpr int kServerBufferMs = 200;
constexpr qint64 kEndMarginMs = 60;

} // namespace

Playback::Playback(Content &content, qint64 from, QObject *parent)
    : QObject(parent), m_content(content), m_from(from), m_channels(content.channels())
{
}

Playback::~Playback()
{
    stopReader();
    if (m_sink) {
        // A stop drops what the server still holds; after the end there is nothing left
        // to drop, and a flush could cut the last of the message short.
        if (!m_playedOut)
            m_sink->reset();
        m_sink->stop();
    }
}

bool Playback::start()
{
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull())
        return false;
    QAudioFormat format;
    format.setSampleRate(m_content.sampleRate());
    format.setChannelCount(m_channels);
    format.setSampleFormat(QAudioFormat::Float);
    if (!format.isValid() || !device.isFormatSupported(format))
        return false;

    qint64 ringFloats = qint64(m_content.sampleRate()) * m_channels / 2;
    ringFloats = qBound(kRingFloatsMin, ringFloats, kRingFloatsMax);
    ringFloats -= ringFloats % m_channels;
    if (ringFloats <= 0)
        return false;
    m_ring.assign(size_t(ringFloats), 0.0f);

    m_sink = new QAudioSink(device, format, this);
    m_sink->setBufferSize(format.bytesForDuration(kServerBufferMs * 1000));
    m_out = m_sink->start();
    if (!m_out || m_sink->error() != QAudio::NoError)
        return false;

    m_reader = std::thread([this] { readAhead(); });
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &Playback::feed);
    m_timer->start(kFeedIntervalMs);
    return true;
}

qint64 Playback::position() const
{
    if (m_paused)
        return m_pausedAt;
    // What the server still holds has not been heard yet.
    qint64 queued = 0;
    if (m_sink && !m_playedOut)
        queued = qMax<qint64>(0, m_sink->bufferSize() - m_sink->bytesFree()) / (qint64(sizeof(float)) * m_channels);
    return m_from + qMax<qint64>(0, m_handed - queued);
}

void Playback::halt()
{
    m_halted = true;
    if (m_timer)
        m_timer->stop();
    stopReader();
}

void Playback::suspend()
{
    m_pausedAt = position();
    if (m_playClock.isValid())
        m_pausedMs -= m_playClock.elapsed();
    m_paused = true;
    if (m_sink)
        m_sink->suspend();
    if (m_timer)
        m_timer->stop();
}

void Playback::resume()
{
    if (m_paused && m_playClock.isValid())
        m_pausedMs += m_playClock.elapsed();
    m_paused = false;
    if (m_sink)
        m_sink->resume();
    if (m_timer)
        m_timer->start(kFeedIntervalMs);
}

void Playback::readAhead()
{
    const qint64 ringSize = qint64(m_ring.size());
    const qint64 chunkFrames = qMax<qint64>(1, ringSize / m_channels / 4);
    std::vector<float> chunk(size_t(chunkFrames * m_channels));
    qint64 at = m_from;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_cond.wait(lock, [&] { return m_quit || ringSize - (m_head - m_tail) >= qint64(chunk.size()); });
            if (m_quit)
                return;
        }
        const qint64 got = m_content.read(at, chunk.data(), chunkFrames);
        std::unique_lock lock(m_mutex);
        if (got <= 0) {
            m_eof = true;
            return;
        }
        at += got;
        for (qint64 i = 0; i < got * m_channels; ++i)
            m_ring[size_t((m_head + i) % ringSize)] = chunk[size_t(i)];
        const bool first = m_head == 0;
        m_head += got * m_channels;
        // The first audio goes to the server as soon as it is decoded, not a tick later.
        if (first)
            QMetaObject::invokeMethod(this, &Playback::feed, Qt::QueuedConnection);
    }
}

qint64 Playback::takeFromRing(float *out, qint64 maxFrames)
{
    std::unique_lock lock(m_mutex);
    const qint64 ringSize = qint64(m_ring.size());
    const qint64 frames = qMin(maxFrames, (m_head - m_tail) / m_channels);
    for (qint64 i = 0; i < frames * m_channels; ++i)
        out[i] = m_ring[size_t((m_tail + i) % ringSize)];
    m_tail += frames * m_channels;
    lock.unlock();
    m_cond.notify_one();
    return frames;
}

void Playback::feed()
{
    if (m_halted)
        return;
    if (!m_out || m_sink->state() == QAudio::StoppedState) {
        // The server went away under us; the position stays where the sound stopped.
        m_pausedAt = position();
        m_paused = true;
        m_timer->stop();
        emit finished(false);
        return;
    }
    const qint64 frameBytes = qint64(sizeof(float)) * m_channels;
    const qint64 room = m_sink->bytesFree() / frameBytes;
    if (room > 0) {
        m_feedBuffer.resize(size_t(room * m_channels));
        const qint64 frames = takeFromRing(m_feedBuffer.data(), room);
        if (frames > 0) {
            m_out->write(reinterpret_cast<const char *>(m_feedBuffer.data()), frames * frameBytes);
            m_handed += frames;
            if (!m_playClock.isValid())
                m_playClock.start();
            return;
        }
    }
    bool drained = false;
    {
        std::lock_guard lock(m_mutex);
        drained = m_eof && m_head == m_tail;
    }
    if (!drained)
        return;
    // Everything is with the server. Qt 6.4 does not say when the server has played it
    // all, so the end is when the server has taken every byte and the clock has run for
    // all the audio handed over (pauses left out), with a little for its own latency.
    const qint64 handedMs = m_handed * 1000 / m_content.sampleRate();
    const qint64 playedMs = m_playClock.isValid() ? m_playClock.elapsed() - m_pausedMs : handedMs;
    const bool serverTookAll = m_sink->bytesFree() >= m_sink->bufferSize();
    if (m_sink->state() == QAudio::IdleState || (serverTookAll && playedMs >= handedMs + kEndMarginMs)) {
        m_playedOut = true;
        m_timer->stop();
        emit finished(true);
    }
}

void Playback::stopReader()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cond.notify_all();
    if (m_reader.joinable())
        m_reader.join();
}
