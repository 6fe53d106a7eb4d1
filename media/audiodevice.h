#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

// One wave-audio device: a file's content that can be played, recorded over and saved.
class IAudioDevice
{
public:
    enum class Mode { Closed, Stopped, Playing, Paused, Recording };

    virtual ~IAudioDevice();
    // Binds the device to a WAV file (or a new, empty recording for a .wav name that does
    // not exist yet). False, and still closed, when the device is open or the file unusable.
    virtual bool open(const QString &path) = 0;
    virtual void close() = 0;
    // Plays from the current position; returns at once. Resumes when paused.
    virtual void play() = 0;
    virtual void pause() = 0;
    // Ends playback or recording; the position stays where it was.
    virtual void stop() = 0;
    // Back to the first frame.
    virtual void rewind() = 0;
    // Records from the default input over the content from the current position on.
    virtual void record() = 0;
    // Writes the whole content into the bound file, all or nothing.
    virtual bool save() = 0;
    virtual QString errorString() const = 0;

    virtual Mode mode() const = 0;
    virtual qint64 position() const = 0; // frames
    virtual qint64 length() const = 0;   // frames
    virtual QString path() const = 0;
    // Called on the UI thread whenever mode() changes.
    virtual void setModeListener(std::function<void()> listener) = 0;
};
