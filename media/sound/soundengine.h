#pragma once

#include "audiodevice.h"
#include "levelmeter.h"

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <memory>
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

// One stream to or from the sound server, shared by the device that feeds or drains it
// and the engine that moves its audio.
struct SoundStream
{
    enum class Kind { Play, Record };
    enum class End { None, Finished, Stopped, Failed, Overflow };

    SoundStream(Kind kind, int rate, int channels, qint64 ringFrames)
        : kind(kind), rate(rate), channels(channels), ring(channels, ringFrames), meter(rate, channels)
    {
    }

    const Kind kind;
    const int rate;
    const int channels;
    // Play: the output it is for, which the server remembers its own sink for.
    IAudioDevice::Output output = IAudioDevice::Output::Desk;
    FrameRing ring;
    // The level of what the engine hands the server or takes from it, for the window.
    LevelMeter meter;
    // Play: the reader has put the last of the audio into the ring.
    std::atomic<bool> inputDone {false};
    // Play: frames the listener has heard, by the server's own clock. Record: frames taken.
    std::atomic<qint64> frames {0};
    std::atomic<End> end {End::None};
    // Play: times the server ran out of audio to play, the sound breaking up.
    std::atomic<int> underruns {0};
    // Set by SoundEngine::stop as it is called; the engine never starts such a stream.
    std::atomic<bool> stopRequested {false};
    // Called on the engine's thread when the stream ends by itself or has audio to take;
    // must not block.
    std::function<void()> wake;
};

// The sound server client: a libpulse threaded main loop that connects, reconnects
// whenever the server comes back, and plays or records streams. Every call only posts to
// that thread and returns at once, whatever the server is doing; a server that does not
// answer in time makes a stream end as Failed.
class SoundEngine
{
public:
    // The listener is called on the engine's thread whenever available() changes.
    explicit SoundEngine(std::function<void(bool)> availabilityListener = nullptr);
    ~SoundEngine();
    SoundEngine(const SoundEngine &) = delete;
    SoundEngine &operator=(const SoundEngine &) = delete;

    void start(const std::shared_ptr<SoundStream> &stream);
    void setPaused(const std::shared_ptr<SoundStream> &stream, bool paused);
    // Silences the stream at once, dropping what the server still holds.
    void stop(const std::shared_ptr<SoundStream> &stream);
    // New audio is in a playback ring: hand it over now rather than at the next tick.
    void kick();

    // False while no server is connected or the connected one stops answering.
    bool available() const;
    // Times the engine has begun to connect, the first time included.
    int connectAttempts() const;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
