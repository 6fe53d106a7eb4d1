#include "wavedevice.h"

#include "devicesession.h"
#include "soundengine.h"

#include <QObject>
#include <QPointer>

#include <mutex>
#include <optional>

namespace {

// Reports cross from the session and engine threads to the window's thread here. It
// outlives the device, since a session stuck on a disk may report long after.
struct Mailbox
{
    std::mutex mutex;
    QObject *receiver = nullptr;

    template<typename Job>
    void deliver(Job job)
    {
        std::lock_guard lock(mutex);
        // Posting only: whatever is queued for a receiver that goes is dropped with it.
        if (receiver)
            QMetaObject::invokeMethod(receiver, std::move(job), Qt::QueuedConnection);
    }
};

} // namespace

class WaveDevice::Impl : public QObject
{
public:
    using Report = DeviceSession::Report;

    Impl()
    {
        mailbox->receiver = this;
        engine = std::make_shared<SoundEngine>([box = mailbox](bool available) {
            box->deliver([box, available] {
                if (auto *self = static_cast<Impl *>(box->receiver))
                    self->setSoundAvailable(available);
            });
        });
    }

    ~Impl() override
    {
        std::lock_guard lock(mailbox->mutex);
        mailbox->receiver = nullptr;
    }

    void notify()
    {
        if (listener)
            listener();
    }

    void setMode(Mode next)
    {
        if (mode == next)
            return;
        mode = next;
        notify();
    }

    void setSoundAvailable(bool available)
    {
        if (soundAvailable == available)
            return;
        soundAvailable = available;
        notify();
    }

    // Problems are told even for a binding the window has let go of: a save asked for
    // before the path changed still goes ahead, and its failure still matters.
    void tell(const QString &file, const Report &report)
    {
        if (!problemListener)
            return;
        if (report.kind == Report::Kind::SaveFailed)
            problemListener(Problem::SaveFailed, file, report.reason);
        else if (report.kind == Report::Kind::RecordingCut)
            problemListener(Problem::RecordingCut, file, report.reason);
    }

    void receive(const std::shared_ptr<DeviceSession> &from, const Report &report)
    {
        if (!from || from != session)
            return; // a binding the window has let go of
        if (report.kind == Report::Kind::SaveFailed || report.kind == Report::Kind::RecordingCut)
            return;
        if (report.kind == Report::Kind::OpenFailed) {
            session.reset();
            path.clear();
            handled = issued;
            setMode(Mode::Closed);
            return;
        }
        handled = report.handled;
        // What the window did since the report was made counts for more than the report.
        if (report.handled != issued)
            return;
        position = report.position;
        length = report.length;
        rate = report.rate;
        channels = report.channels;
        held.reset();
        mode = report.mode;
        notify();
    }

    void post(DeviceSession::Command command, qint64 at = -1)
    {
        session->post(command, ++issued, at);
    }

    qint64 currentPosition() const
    {
        if (held)
            return *held;
        if (session && (mode == Mode::Playing || mode == Mode::Recording)) {
            const qint64 live = session->livePosition();
            if (live >= 0)
                return live;
        }
        return position;
    }

    const std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
    std::shared_ptr<SoundEngine> engine;
    std::shared_ptr<DeviceSession> session;
    Mode mode = Mode::Closed;
    QString path;
    qint64 position = 0;
    qint64 length = 0;
    int rate = 48000;
    int channels = 1;
    // Where the window itself stopped or rewound the sound, until the session confirms.
    std::optional<qint64> held;
    quint64 issued = 0;
    quint64 handled = 0;
    bool soundAvailable = true;
    std::function<void()> listener;
    std::function<void(Problem, const QString &, const QString &)> problemListener;
};

WaveDevice::WaveDevice() : d(std::make_unique<Impl>()) {}

WaveDevice::~WaveDevice()
{
    d->listener = nullptr;
    d->problemListener = nullptr;
    close();
}

bool WaveDevice::open(const QString &path)
{
    if (d->session || path.isEmpty())
        return false;
    // The reporter names its session by a number of its own, to tell the current binding
    // from one the window has let go of; it holds no reference that would keep it alive.
    auto tag = std::make_shared<std::weak_ptr<DeviceSession>>();
    auto session = std::make_shared<DeviceSession>(d->engine, path, [box = d->mailbox, tag, path](const DeviceSession::Report &report) {
        box->deliver([box, tag, path, report] {
            auto *self = static_cast<Impl *>(box->receiver);
            if (!self)
                return;
            self->tell(path, report);
            self->receive(tag->lock(), report);
        });
    });
    *tag = session;
    d->session = session;
    d->path = path;
    d->position = 0;
    d->length = 0;
    d->held.reset();
    session->start(++d->issued);
    return true;
}

void WaveDevice::close()
{
    if (d->session) {
        d->session->abandon();
        d->session.reset();
    }
    ++d->issued;
    d->handled = d->issued;
    d->path.clear();
    d->position = 0;
    d->length = 0;
    d->held.reset();
    d->setMode(Mode::Closed);
}

void WaveDevice::play()
{
    if (d->session)
        d->post(DeviceSession::Command::Play);
}

void WaveDevice::pause()
{
    if (!d->session || d->mode != Mode::Playing)
        return;
    const qint64 at = d->currentPosition();
    d->session->pauseSound();
    d->post(DeviceSession::Command::Pause, at);
    d->held = at;
    d->setMode(Mode::Paused);
}

void WaveDevice::stop()
{
    if (!d->session)
        return;
    const Mode was = d->mode;
    const qint64 at = was == Mode::Playing || was == Mode::Paused ? d->currentPosition() : -1;
    // The sound goes first and straight to the engine: nothing queued ahead of the stop
    // on the binding's thread, a stalled read least of all, may keep it playing.
    d->session->silence();
    d->post(DeviceSession::Command::Stop, at);
    if (at >= 0)
        d->held = at;
    if (was == Mode::Playing || was == Mode::Paused || was == Mode::Recording)
        d->setMode(Mode::Stopped);
}

void WaveDevice::rewind()
{
    if (!d->session)
        return;
    d->session->silence();
    d->post(DeviceSession::Command::Rewind);
    d->held = 0;
    if (d->mode != Mode::Closed)
        d->setMode(Mode::Stopped);
}

void WaveDevice::record()
{
    if (d->session && d->mode != Mode::Recording)
        d->post(DeviceSession::Command::Record);
}

void WaveDevice::save()
{
    if (d->session)
        d->post(DeviceSession::Command::Save);
}

IAudioDevice::Mode WaveDevice::mode() const
{
    return d->mode;
}

qint64 WaveDevice::position() const
{
    return d->currentPosition();
}

qint64 WaveDevice::length() const
{
    return d->length;
}

QString WaveDevice::path() const
{
    return d->path;
}

bool WaveDevice::soundAvailable() const
{
    return d->soundAvailable;
}

void WaveDevice::setModeListener(std::function<void()> listener)
{
    d->listener = std::move(listener);
}

void WaveDevice::setProblemListener(std::function<void(Problem, const QString &, const QString &)> listener)
{
    d->problemListener = std::move(listener);
}

int WaveDevice::sampleRate() const
{
    return d->rate;
}

int WaveDevice::channelCount() const
{
    return d->channels;
}

bool WaveDevice::busy() const
{
    return d->handled != d->issued;
}
