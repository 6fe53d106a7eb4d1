#include "wavedevice.h"

#include "content.h"
#include "defaultinput.h"
#include "playback.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QPointer>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

IAudioDevice::~IAudioDevice() = default;

namespace {

// A name the user typed or picked for a message not recorded yet: a .wav name, nothing
// at all at that path (not even a dangling link), in a folder that exists.
bool isNewRecordingPath(const QString &path)
{
    if (!path.endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive))
        return false;
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 || errno != ENOENT)
        return false;
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    return ::stat(folder.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QAudioDevice defaultInput()
{
    const QByteArray wanted = serverDefaultSource();
    if (!wanted.isEmpty()) {
        const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
        for (const QAudioDevice &device : inputs) {
            if (device.id() == wanted)
                return device;
        }
    }
    return QMediaDevices::defaultAudioInput();
}

} // namespace

class WaveDevice::Impl : public QObject
{
public:
    void setMode(Mode next)
    {
        if (mode == next)
            return;
        mode = next;
        if (listener)
            listener();
    }

    void endPlayback()
    {
        if (!playback)
            return;
        position = playback->position();
        playback->halt();
        // Letting go of the server's stream waits for the server; that is done once the
        // handler that stopped has run to its end, so the steps after "Stop" (dropping
        // RTS above all) are not held up by it.
        playback.release()->deleteLater();
    }

    void drainInput()
    {
        if (!input)
            return;
        pending += input->readAll();
        const qsizetype frameBytes = qsizetype(sizeof(float)) * content.channels();
        const qsizetype whole = pending.size() / frameBytes;
        if (whole > 0) {
            std::vector<float> frames(size_t(whole * content.channels()));
            std::memcpy(frames.data(), pending.constData(), size_t(whole * frameBytes));
            content.appendTake(frames.data(), whole);
            pending.remove(0, whole * frameBytes);
        }
    }

    void endRecording()
    {
        if (!source)
            return;
        drainInput();
        source->stop();
        // May run inside the source's own signal: it goes once that has returned.
        source->deleteLater();
        source = nullptr;
        input = nullptr;
        pending.clear();
        position = content.frames();
    }

    void halt()
    {
        endPlayback();
        endRecording();
        if (mode != Mode::Closed)
            setMode(Mode::Stopped);
    }

    void startPlayback()
    {
        if (position >= content.frames())
            return;
        auto run = std::make_unique<Playback>(content, position, this);
        if (!run->start())
            return;
        connect(run.get(), &Playback::finished, this, [this](bool reachedEnd) {
            position = reachedEnd ? content.frames() : playback->position();
            // The run emits from its own timer slot: let that return before it goes.
            playback.release()->deleteLater();
            setMode(Mode::Stopped);
        });
        playback = std::move(run);
        setMode(Mode::Playing);
    }

    void startRecording()
    {
        const QAudioDevice device = defaultInput();
        if (device.isNull())
            return;
        QAudioFormat format;
        format.setSampleRate(content.sampleRate());
        format.setChannelCount(content.channels());
        format.setSampleFormat(QAudioFormat::Float);
        if (!format.isValid() || !device.isFormatSupported(format))
            return;
        auto *capture = new QAudioSource(device, format, this);
        QIODevice *stream = capture->start();
        if (!stream || capture->error() != QAudio::NoError || !content.beginTake(position)) {
            delete capture;
            return;
        }
        source = capture;
        input = stream;
        connect(input, &QIODevice::readyRead, this, [this] { drainInput(); });
        // The server going away ends the recording; what was taken is kept.
        connect(capture, &QAudioSource::stateChanged, this, [this, capture](QAudio::State state) {
            if (state == QAudio::StoppedState && capture == source && capture->error() != QAudio::NoError) {
                endRecording();
                setMode(Mode::Stopped);
            }
        });
        setMode(Mode::Recording);
    }

    Content content;
    Mode mode = Mode::Closed;
    qint64 position = 0;
    QString error;
    std::function<void()> listener;
    std::unique_ptr<Playback> playback;
    QAudioSource *source = nullptr;
    QPointer<QIODevice> input; // Qt deletes it when the server goes away
    QByteArray pending;
};

WaveDevice::WaveDevice() : d(std::make_unique<Impl>()) {}

WaveDevice::~WaveDevice()
{
    d->listener = nullptr;
    d->halt();
}

bool WaveDevice::open(const QString &path)
{
    if (d->mode != Mode::Closed || path.isEmpty())
        return false;
    if (!d->content.openFile(path)) {
        if (!isNewRecordingPath(path))
            return false;
        d->content.openNew(path);
    }
    d->position = 0;
    d->setMode(Mode::Stopped);
    return true;
}

void WaveDevice::close()
{
    d->halt();
    d->content.close();
    d->position = 0;
    d->setMode(Mode::Closed);
}

void WaveDevice::play()
{
    switch (d->mode) {
    case Mode::Paused:
        d->playback->resume();
        d->setMode(Mode::Playing);
        break;
    case Mode::Stopped:
        d->startPlayback();
        break;
    default:
        break;
    }
}

void WaveDevice::pause()
{
    if (d->mode != Mode::Playing)
        return;
    d->playback->suspend();
    d->setMode(Mode::Paused);
}

void WaveDevice::stop()
{
    d->halt();
}

void WaveDevice::rewind()
{
    if (d->mode == Mode::Closed)
        return;
    d->halt();
    d->position = 0;
}

void WaveDevice::record()
{
    if (d->mode == Mode::Closed || d->mode == Mode::Recording)
        return;
    d->halt();
    d->startRecording();
}

bool WaveDevice::save()
{
    d->error.clear();
    if (d->mode == Mode::Closed)
        return true;
    d->halt();
    const bool ok = d->content.save(&d->error);
    d->position = qMin(d->position, d->content.frames());
    return ok;
}

QString WaveDevice::errorString() const
{
    return d->error;
}

IAudioDevice::Mode WaveDevice::mode() const
{
    return d->mode;
}

qint64 WaveDevice::position() const
{
    if (d->playback)
        return d->playback->position();
    if (d->source)
        return d->content.frames();
    return d->position;
}

qint64 WaveDevice::length() const
{
    return d->content.frames();
}

QString WaveDevice::path() const
{
    return d->content.path();
}

void WaveDevice::setModeListener(std::function<void()> listener)
{
    d->listener = std::move(listener);
}

int WaveDevice::sampleRate() const
{
    return d->content.sampleRate();
}

int WaveDevice::channelCount() const
{
    return d->content.channels();
}
