#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

// One wave-audio device: a file's content that can be played, recorded over and saved.
// Every command returns at once, whatever the disk or the sound server is doing; what
// follows from it arrives later through the listeners, on the window's thread.
class IAudioDevice
{
public:
    enum class Mode { Closed, Stopped, Playing, Paused, Recording };
    // What went wrong out of the operator's sight, for the window to tell.
    enum class Problem { SaveFailed, RecordingCut };

    virtual ~IAudioDevice();
    // Starts binding the device to a WAV file (or a new, empty recording for a .wav name
    // that does not exist yet); the mode leaves Closed once the file is open. False when
    // the device is open or opening already, or the path is empty.
    virtual bool open(const QString &path) = 0;
    virtual void close() = 0;
    // Plays from the current position. Resumes when paused.
    virtual void play() = 0;
    virtual void pause() = 0;
    // Ends playback or recording at once; the position stays where the sound stopped.
    virtual void stop() = 0;
    // Back to the first frame.
    virtual void rewind() = 0;
    // Records from the default input over the content from the current position on.
    virtual void record() = 0;
    // Writes the whole content into the bound file, all or nothing; a failure comes back
    // as Problem::SaveFailed.
    virtual void save() = 0;

    virtual Mode mode() const = 0;
    virtual qint64 position() const = 0; // frames
    virtual qint64 length() const = 0;   // frames
    virtual QString path() const = 0;
    // False while there is no sound server to play to or record from.
    virtual bool soundAvailable() const = 0;
    // Called whenever mode() or soundAvailable() changes.
    virtual void setModeListener(std::function<void()> listener) = 0;
    // Called with the file's path and the system's reason.
    virtual void setProblemListener(std::function<void(Problem, const QString &path, const QString &reason)> listener) = 0;
};
