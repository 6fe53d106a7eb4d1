#include "levelmeter.h"

#include <cmath>

namespace {

constexpr int kBlockMs = 50;
constexpr int kPlaceGapMs = 100;

// The loudest channel of one frame.
float framePeak(const float *frame, int channels)
{
    float peak = 0;
    for (int c = 0; c < channels; ++c)
        peak = std::fmax(peak, std::fabs(frame[c]));
    return peak;
}

} // namespace

LevelMeter::LevelMeter(int rate, int channels)
    : m_channels(qMax(1, channels)), m_blockFrames(qMax<qint64>(1, qint64(rate) * kBlockMs / 1000))
{
}

void LevelMeter::pass(const float *frames, qint64 count)
{
    for (qint64 i = 0; i < count; ++i) {
        const float peak = framePeak(frames + i * m_channels, m_channels);
        m_blockPeak = std::fmax(m_blockPeak, peak);
        m_run = peak >= kFullScale ? m_run + 1 : 0;
        m_blockClipped = m_blockClipped || m_run >= kClipRunFrames;
        if (++m_inBlock == m_blockFrames) {
            m_lastPeak = m_blockPeak;
            m_lastClipped = m_blockClipped;
            m_blockPeak = 0;
            m_blockClipped = false;
            m_inBlock = 0;
        }
    }
    // The block under way and the one before it: never less than a block's worth.
    m_peak.store(std::fmax(m_lastPeak, m_blockPeak), std::memory_order_relaxed);
    m_clipping.store(m_lastClipped || m_blockClipped, std::memory_order_relaxed);
}

ClipPlaces::ClipPlaces(int rate, int channels)
    : m_channels(qMax(1, channels)), m_gapFrames(qint64(rate) * kPlaceGapMs / 1000)
{
}

void ClipPlaces::pass(const float *frames, qint64 count, qint64 at)
{
    for (qint64 i = 0; i < count; ++i) {
        if (framePeak(frames + i * m_channels, m_channels) < kFullScale) {
            m_run = 0;
            continue;
        }
        if (++m_run < kClipRunFrames)
            continue;
        const qint64 frame = at + i;
        if (m_run == kClipRunFrames) {
            const qint64 start = frame - (kClipRunFrames - 1);
            if (m_count == 0 || start - m_placeEnd > m_gapFrames) {
                ++m_count;
                m_placeStart = start;
                if (m_first < 0)
                    m_first = start;
            }
        }
        m_placeEnd = frame;
        m_longest = qMax(m_longest, m_placeEnd - m_placeStart + 1);
    }
}
