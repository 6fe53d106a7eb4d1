#pragma once

#include <QString>
#include <QtGlobal>
#include <functional>

// One wave-audio device: a file's content that can be played, recorded over and saved.
// Every command returns at once, whatever the disk or the sound server is doing, and is
// carried out after the ones given before it; what follows from it arrives later
// through the listeners, on the window's thread.
class IAudioDevice
{
public:
    // Opening: bound, the file still being opened; commands given meanwhile wait for it.
    enum class Mode { Closed, Opening, Stopped, Playing, Paused, Recording };
    // Where playback goes: the operator's own check at the desk, or the message on air.
    // The sound server remembers each one's output apart.
    enum class Output { Desk, Air };
    // What went wrong out of the operator's sight, for the window to tell. TakeClipped: a
    // recording that ended reached full scale; the reason says how many places, the
    // longest and where the first is.
    enum class Problem { SaveFailed, RecordingCut, TakeClipped };

    virtual ~IAudioDevice();
    // Starts binding the device to a WAV file (or a new, empty recording for a .wav name
    // that does not exist yet): Opening, then Stopped, or Closed when it cannot be opened.
    // False when the device is bound already, or the path is empty.
    virtual bool open(const QString &path) = 0;
    virtual void close() = 0;
    // Plays from the current position. Resumes when paused to the same output; ends a
    // recording (keeping it) and plays from where it began.
    virtual void play(Output output) = 0;
    virtual void pause() = 0;
    // Ends playback or recording at once; the position stays where the sound stopped.
    virtual void stop() = 0;
    // Back to the first frame.
    virtual void rewind() = 0;
    // Records from the default input over the content from the current position on.
    virtual void record() = 0;
    // Writes the whole content into the bound file, all or nothing, without stopping what
    // plays (a recording is ended first); a failure comes back as Problem::SaveFailed.
    virtual void save() = 0;

    virtual Mode mode() const = 0;
    virtual qint64 position() const = 0; // frames
    virtual qint64 length() const = 0;   // frames
    virtual int sampleRate() const = 0;  // frames a second
    virtual QString path() const = 0;
    // While playing or recording, the loudest sample of the last few tens of milliseconds,
    // 0 to 1 of full scale (more where a float file goes past it); 0 otherwise. Only reads
    // a number the sound's own thread keeps.
    virtual double level() const = 0;
    // While playing or recording: those milliseconds held a run of samples at full scale.
    virtual bool clipping() const = 0;
    // False while there is no sound server to play to or record from.
    virtual bool soundAvailable() const = 0;
    // Called whenever mode(), length() or soundAvailable() changes.
    virtual void setModeListener(std::function<void()> listener) = 0;
    // Called with the file's path and the system's reason.
    virtual void setProblemListener(std::function<void(Problem, const QString &path, const QString &reason)> listener) = 0;
};
