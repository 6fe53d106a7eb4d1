#pragma once

#include "audiodevice.h"

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
    void play() override;
    void pause() override;
    void stop() override;
    void rewind() override;
    void record() override;
    void save() override;
    Mode mode() const override;
    qint64 position() const override;
    qint64 length() const override;
    QString path() const override;
    bool soundAvailable() const override;
    void setModeListener(std::function<void()> listener) override;
    void setProblemListener(std::function<void(Problem, const QString &, const QString &)> listener) override;

    // The content's format as libsndfile describes it; for tests and benchmarks.
    int sampleRate() const;
    int channelCount() const;
    // True until the binding has carried out every command posted so far.
    bool busy() const;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
