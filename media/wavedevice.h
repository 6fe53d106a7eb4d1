#pragma once

#include "audiodevice.h"

#include <memory>

// The real wave-audio device: libsndfile for the file, Qt Multimedia for the sound card.
// Playback is fed from a reader thread through a bounded ring, so neither a large file
// nor a slow disk reaches the window's thread; recordings go to a temporary file.
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
    bool save() override;
    QString errorString() const override;
    Mode mode() const override;
    qint64 position() const override;
    qint64 length() const override;
    QString path() const override;
    void setModeListener(std::function<void()> listener) override;

    // The content's format as libsndfile describes it; for tests and benchmarks.
    int sampleRate() const;
    int channelCount() const;

private:
    class Impl;
    std::unique_ptr<Impl> d;
};
