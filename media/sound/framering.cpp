#include "framering.h"

FrameRing::FrameRing(int channels, qint64 capacityFrames)
    : m_channels(qMax(1, channels)), m_buffer(size_t(qMax<qint64>(1, capacityFrames) * m_channels))
{
}

qint64 FrameRing::readableFrames() const
{
    return (m_written.load(std::memory_order_acquire) - m_read.load(std::memory_order_acquire)) / m_channels;
}

qint64 FrameRing::writableFrames() const
{
    return qint64(m_buffer.size()) / m_channels - readableFrames();
}

qint64 FrameRing::write(const float *frames, qint64 count)
{
    const qint64 written = m_written.load(std::memory_order_relaxed);
    const qint64 room = qint64(m_buffer.size()) - (written - m_read.load(std::memory_order_acquire));
    const qint64 floats = qMin(count, room / m_channels) * m_channels;
    const qint64 size = qint64(m_buffer.size());
    for (qint64 i = 0; i < floats; ++i)
        m_buffer[size_t((written + i) % size)] = frames[i];
    m_written.store(written + floats, std::memory_order_release);
    return floats / m_channels;
}

qint64 FrameRing::read(float *frames, qint64 count)
{
    const qint64 taken = m_read.load(std::memory_order_relaxed);
    const qint64 there = m_written.load(std::memory_order_acquire) - taken;
    const qint64 floats = qMin(count, there / m_channels) * m_channels;
    const qint64 size = qint64(m_buffer.size());
    for (qint64 i = 0; i < floats; ++i)
        frames[i] = m_buffer[size_t((taken + i) % size)];
    m_read.store(taken + floats, std::memory_order_release);
    return floats / m_channels;
}
