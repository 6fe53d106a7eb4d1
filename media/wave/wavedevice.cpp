#include "wavedevice.h"

#include "devicesession.h"
#include "mailbox.h"
#include "savetracker.h"
#include "soundengine.h"
#include "transport.h"

#include <QObject>

#include <cstdio>
#include <mutex>
#include <set>
#include <unistd.h>

using transport::Command;
using transport::Order;

namespace {

// A temporary file beside a message whose save was given up, left on a disk that does
// not answer. A child of its own removes it once the disk lets it: the program itself
// ends now, and no thread of it may be left waiting on that disk.
void removeWhenTheDiskAnswers(const std::string &path)
{
    const pid_t child = ::fork();
    if (child == 0) {
        // Only what is safe after a fork in a threaded program.
        ::unlink(path.c_str());
        ::_exit(0);
    }
}

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
        player.carryOut = [this](const transport::Steps &steps) { carryOut(steps); };
        player.changed = [this] { notify(); };
    }

    ~Impl() override
    {
        mailbox->close();
    }

    void notify()
    {
        if (listener)
            listener();
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
        if (!problemListener || report.kind == Report::Kind::Fact)
            return;
        const Problem problem = report.kind == Report::Kind::SaveFailed     ? Problem::SaveFailed
                                : report.kind == Report::Kind::RecordingCut ? Problem::RecordingCut
                                                                            : Problem::TakeClipped;
        problemListener(problem, file, report.reason);
    }

    void receive(const Report &report)
    {
        if (report.kind != Report::Kind::Fact || report.fact.binding != player.binding())
            return;
        rate = report.rate > 0 ? report.rate : rate;
        channels = report.channels > 0 ? report.channels : channels;
        if (report.fact.kind == transport::Fact::Kind::OpenFailed) {
            // The binding has ended: nothing posted to it is carried out (a save among it
            // is counted out already). The device is free for the next open.
            session.reset();
            path.clear();
        }
        player.take(report.fact);
    }

    // The step the state decided: silenced straight away where it stops the sound,
    // ahead of anything queued, then to the binding's thread in order.
    void carryOut(const transport::Steps &steps)
    {
        if (steps.endSound)
            session->silence(steps.number);
        else if (steps.pauseSound)
            session->pauseSound(steps.number);
        // Counted in before it is posted: the binding may count it out at once.
        if (steps.save)
            saves->accept();
        // A binding whose file would not open has ended, which the window may not have
        // heard yet: a save it refuses is not waited for at exit.
        if (!session->post(steps) && steps.save)
            saves->finish();
    }

    void command(Order order)
    {
        if (!session)
            return;
        // Only where the sound was heard: with no stream live yet, the state keeps its
        // own place, which may be one only the binding knows (a take's end).
        order.at = session->livePosition(player.live());
        player.command(order);
    }

    qint64 livePosition() const
    {
        const qint64 live = session ? session->livePosition(player.live()) : -1;
        return live >= 0 ? live : player.state().position;
    }

    const std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
    const std::shared_ptr<SaveTracker> saves = std::make_shared<SaveTracker>();
    std::shared_ptr<SoundEngine> engine;
    std::shared_ptr<DeviceSession> session;
    transport::Player player;
    QString path;
    int rate = 48000;
    int channels = 1;
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
    const quint64 binding = d->player.open();
    auto session = std::make_shared<DeviceSession>(d->engine, d->saves, path,
                                                   [box = d->mailbox, path](const DeviceSession::Report &report) {
                                                       box->deliver([box, path, report] {
                                                           auto *self = static_cast<Impl *>(box->receiver);
                                                           if (!self)
                                                               return;
                                                           self->tell(path, report);
                                                           self->receive(report);
                                                       });
                                                   });
    d->session = session;
    d->path = path;
    session->start(binding);
    d->notify();
    return true;
}

void WaveDevice::close()
{
    if (d->session) {
        d->session->abandon();
        d->session.reset();
    }
    const bool wasOpen = d->player.state().mode != Mode::Closed;
    d->player.close();
    d->path.clear();
    if (wasOpen)
        d->notify();
}

void WaveDevice::play(Output output)
{
    d->command({Command::Play, output, -1});
}

void WaveDevice::pause()
{
    d->command({Command::Pause, Output::Desk, -1});
}

void WaveDevice::stop()
{
    d->command({Command::Stop, Output::Desk, -1});
}

void WaveDevice::rewind()
{
    d->command({Command::Rewind, Output::Desk, -1});
}

void WaveDevice::record()
{
    d->command({Command::Record, Output::Desk, -1});
}

void WaveDevice::save()
{
    d->command({Command::Save, Output::Desk, -1});
}

IAudioDevice::Mode WaveDevice::mode() const
{
    return d->player.state().mode;
}

qint64 WaveDevice::position() const
{
    return d->livePosition();
}

qint64 WaveDevice::length() const
{
    // A take replaces everything after its start: while it grows, so does the content.
    const transport::State &state = d->player.state();
    const qint64 live = d->session ? d->session->livePosition(d->player.live()) : -1;
    return state.mode == Mode::Recording && live >= 0 ? qMax(live, state.position) : state.length;
}

int WaveDevice::sampleRate() const
{
    return d->rate;
}

QString WaveDevice::path() const
{
    return d->path;
}

bool WaveDevice::soundAvailable() const
{
    return d->soundAvailable;
}

double WaveDevice::level() const
{
    return d->session ? d->session->level(d->player.live()) : 0.0;
}

bool WaveDevice::clipping() const
{
    return d->session && d->session->clipping(d->player.live());
}

void WaveDevice::setModeListener(std::function<void()> listener)
{
    d->listener = std::move(listener);
}

void WaveDevice::setProblemListener(std::function<void(Problem, const QString &, const QString &)> listener)
{
    d->problemListener = std::move(listener);
}

int WaveDevice::channelCount() const
{
    return d->channels;
}

bool WaveDevice::busy() const
{
    return (d->session && d->player.busy()) || d->saves->pending() > 0;
}

int WaveDevice::underruns() const
{
    return d->session ? d->session->underruns() : 0;
}

int WaveDevice::connectAttempts() const
{
    return d->engine->connectAttempts();
}

int WaveDevice::savesPending() const
{
    return d->saves->pending();
}

void WaveDevice::finishSaves(std::chrono::milliseconds stall)
{
    std::set<std::string> left;
    if (d->saves->waitAll(stall, &left))
        return;
    std::fprintf(stderr, "Vendrel9: a save was given up: the disk stopped answering for %lld s. "
                         "The old file is as it was.\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(stall).count()));
    for (const std::string &temporary : left)
        removeWhenTheDiskAnswers(temporary);
}
