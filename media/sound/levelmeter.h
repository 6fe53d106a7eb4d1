#pragma once

#include <QtGlobal>

#include <atomic>

// Within a thousandth of a decibel of the top: a 16- or 24-bit file's top code counts as
// full scale, a clean peak just short of it does not. Floats and a server's volume may go
// past it.
inline constexpr float kFullScale = 0.9999f;
// Frames in a row at full scale that make a clip. A clean wave that peaks exactly at the
// top touches it for a frame or two; a clipped one stays there for a good part of each
// half-cycle.
inline constexpr int kClipRunFrames = 4;

// The loudest of the audio that passes, for the window to read: written by the one thread
// that moves the audio, read from any. It covers the last 50 to 100 ms, so a window that
// looks ten times a second misses no syllable.
class LevelMeter
{
public:
    LevelMeter(int rate, int channels);
    // Interleaved frames, as they pass; allocates nothing and never waits.
    void pass(const float *frames, qint64 count);
    // 0 to 1 of full scale, more where the audio goes past it.
    float peak() const { return m_peak.load(std::memory_order_relaxed); }
    // Those milliseconds held a run of frames at full scale.
    bool clipping() const { return m_clipping.load(std::memory_order_relaxed); }

private:
    const int m_channels;
    const qint64 m_blockFrames;
    qint64 m_inBlock = 0;
    float m_blockPeak = 0;
    float m_lastPeak = 0;
    bool m_blockClipped = false;
    bool m_lastClipped = false;
    int m_run = 0;
    std::atomic<float> m_peak {0};
    std::atomic<bool> m_clipping {false};
};

// Where a take clipped. A clipped syllable clips at every peak of its wave, so runs less
// than a tenth of a second apart are one place; a place lasts from its first clipped
// frame to its last. One thread only.
class ClipPlaces
{
public:
    ClipPlaces(int rate, int channels);
    // Interleaved frames of the message, the first of them frame `at`.
    void pass(const float *frames, qint64 count, qint64 at);
    int count() const { return m_count; }
    qint64 first() const { return m_first; }     // frame of the message
    qint64 longest() const { return m_longest; } // frames

private:
    const int m_channels;
    const qint64 m_gapFrames;
    int m_run = 0;
    int m_count = 0;
    qint64 m_first = -1;
    qint64 m_placeStart = 0;
    qint64 m_placeEnd = 0;
    qint64 m_longest = 0;
};
