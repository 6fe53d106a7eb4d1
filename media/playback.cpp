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

} // namespace

Playback::Playback(Content &content, qint64 from, QObject *parent)
    : QObject(parent), m_content(content), m_from(from), m_channels(content.channels())
{
}

Playback::~Playback()
{
    stopReader();
    if (m_sink) {
        // reset() drops what the server still buffers; stop() alone would let it drain.
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

void Playback::halt()
{
    m_halted = true;
    if (m_timer)
        m_timer->stop();
    stopReader();
}

void Playback::suspend()
{
    if (m_sink)
        m_sink->suspend();
    if (m_timer)
        m_timer->stop();
}

void Playback::resume()
{
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
    const qint64 frameBytes = qint64(sizeof(float)) * m_channels;
    const qint64 room = m_sink->bytesFree() / frameBytes;
    if (room > 0) {
        m_feedBuffer.resize(size_t(room * m_channels));
        const qint64 frames = takeFromRing(m_feedBuffer.data(), room);
        if (frames > 0) {
            m_out->write(reinterpret_cast<const char *>(m_feedBuffer.data()), frames * frameBytes);
            m_handed += frames;
            m_drainClock.invalidate();
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
    // Everything is with the server; it has played it all once it runs dry, or, should
    // it never say so, once the whole buffer's worth of time has passed.
    if (!m_drainClock.isValid())
        m_drainClock.start();
    const qint64 bufferMs = m_sink->bufferSize() * 1000 / (frameBytes * m_content.sampleRate());
    if (m_sink->state() == QAudio::IdleState || m_drainClock.elapsed() > bufferMs + 250) {
        m_timer->stop();
        emit finished();
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
