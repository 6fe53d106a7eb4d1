#pragma once

#include "audiodevice.h"

#include <chrono>
#include <memory>

// The real wave-audio device: libsndfile for the file, libpulse for the sound server.
// The window's thread only posts: the file is worked on a thread of the binding's own
// and the sound on the sound engine's, so neither a stalled disk nor a frozen server can
// hold a handler, and above all not the one that unkeys.
class WaveDevice final : public IAudioDevice
{
public:
    WaveDevice();
    ~WaveDevice() override;

    bool open(const QString &path) override;
    void close() override;
    void play(Output output) override;
    void pause() override;
    void stop() override;
    void rewind() override;
    void record() override;
    void save() override;
    Mode mode() const override;
    qint64 position() const override;
    qint64 length() const override;
    int sampleRate() const override;
    QString path() const override;
    bool soundAvailable() const override;
    double level() const override;
    bool clipping() const override;
    void setModeListener(std::function<void()> listener) override;
    void setProblemListener(std::function<void(Problem, const QString &, const QString &)> listener) override;

    // The content's channels as libsndfile describes them; for tests and benchmarks.
    int channelCount() const;
    // True until the binding has carried out every command posted so far, and every save
    // asked for is written.
    bool busy() const;
    // Times the server ran out of audio in the current binding's playback: the sound
    // breaking up. For the benchmarks.
    int underruns() const;
    // Times the sound server client has begun to connect since the device was made.
    int connectAttempts() const;
    // Saves asked for and not finished yet, by any binding, including ones let go of.
    int savesPending() const;
    // For the program's exit, once the transmitter is unkeyed: waits until every save
    // asked for is written, for as long as the disk keeps answering. A save that has not
    // moved on for `stall` is given up: the old file stays, the temporary file beside it
    // goes (once the disk lets it) and the operator is told on standard error.
    void finishSaves(std::chrono::milliseconds stall = std::chrono::seconds(5));

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
