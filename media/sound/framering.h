#pragma once

#include <QtGlobal>

#include <atomic>
#include <vector>

// Whole frames of float audio passed between exactly two threads, one writing and one
// reading, without a lock: the sound server's thread never waits on a disk and a reader
// stuck on a disk never holds the sound server's thread.
class FrameRing
{
public:
    FrameRing(int channels, qint64 capacityFrames);
    int channels() const { return m_channels; }
    qint64 readableFrames() const;
    qint64 writableFrames() const;
    // Each moves as many whole frames as fit or are there; returns how many moved.
    qint64 write(const float *frames, qint64 count);
    qint64 read(float *frames, qint64 count);

private:
    const int m_channels;
    std::vector<float> m_buffer;
    std::atomic<qint64> m_written {0}; // floats, ever
    std::atomic<qint64> m_read {0};    // floats, ever
};
