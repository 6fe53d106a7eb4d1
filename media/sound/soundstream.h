#pragma once

#include "audiodevice.h"
#include "framering.h"
#include "levelmeter.h"

#include <atomic>
#include <functional>

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
