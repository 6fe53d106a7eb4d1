#pragma once

#include "soundstream.h"

#include <QLoggingCategory>

#include <functional>
#include <memory>

// What the engine met that an operator's report should hold: a server lost or late, a
// stream the server would not make or finish.
Q_DECLARE_LOGGING_CATEGORY(lcSound)

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
