#include "soundengine.h"

#include "inbox.h"

#include <QDebug>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSound, "vendrel9.sound")

namespace {

// The playback buffer: the same as `paplay --latency-msec=20`. The first sound does not
// wait for it, and a stop drops what it holds; what it buys is a message kept whole on
// a busy machine. With both cores of a 2-core machine held busy, PulseAudio played 20 ms
// buffers whole; PipeWire broke them up (a 5 ms gap every 10-30 s, paplay's alike:
// pipewire-pulse refilling late), and 40 ms too, where 60 and 80 ms never broke up and
// the first sound came as soon (make bench). Hence a buffer per server.
constexpr pa_usec_t kPlayLatencyUs = 20 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kPlayLatencyPipeWireUs = 80 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kRecordFragmentUs = 20 * PA_USEC_PER_MSEC;
// Deadlines for a server that accepts the connection but does not answer (stopped,
// swapping, hung): the operator is told and streams end instead of waiting.
constexpr pa_usec_t kConnectDeadlineUs = 3 * PA_USEC_PER_SEC;
constexpr pa_usec_t kStreamDeadlineUs = 2 * PA_USEC_PER_SEC;
constexpr pa_usec_t kPingIntervalUs = 400 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kPingDeadlineUs = 600 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kDrainMarginUs = 20 * PA_USEC_PER_MSEC;
// A server that never answers a drain (a sink suspended under it, a server busy
// elsewhere) would leave the message playing for ever on the bar: past this, beyond
// what the buffer holds, the message has ended.
constexpr pa_usec_t kDrainDeadlineUs = 3 * PA_USEC_PER_SEC;
constexpr pa_usec_t kRetryUs = 500 * PA_USEC_PER_MSEC;
// The server's own requests drive the writing; the tick only catches a reader that was
// behind, keeps the clock and watches the deadlines.
constexpr pa_usec_t kBusyTickUs = 25 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kIdleTickUs = 100 * PA_USEC_PER_MSEC;

constexpr char kAppName[] = "Vendrel9";
constexpr char kAppId[] = "org.vendrel9.Vendrel9";

void setIdentity(pa_proplist *props, const char *id = kAppId)
{
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, kAppName);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, id);
    pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kAppId);
}

// Each stream is one of three, which the server remembers apart: the message played at
// the desk from the media bar, the message on air, and the recording. Both servers
// remember a stream's device by its media role if it has one, else by its application
// id (PulseAudio's module-stream-restore, WirePlumber's restore-stream), so each has an
// id of its own and no role (a role would share the memory with every other program of
// that role). Moved once to the radio's card, the message on air stays there while the
// preview stays at the desk and the recording on the microphone.
struct StreamIdentity
{
    const char *id;
    const char *name;
};

StreamIdentity identityOf(const SoundStream &stream)
{
    if (stream.kind == SoundStream::Kind::Record)
        return {"org.vendrel9.Vendrel9.Recording", "Vendrel9: εγγραφη"};
    if (stream.output == IAudioDevice::Output::Air)
        return {"org.vendrel9.Vendrel9.OnAir", "Vendrel9: εκπομπη"};
    return {"org.vendrel9.Vendrel9.Preview", "Vendrel9: ακροαση"};
}

pa_usec_t now()
{
    return pa_rtclock_now();
}

// How long since a moment on the same clock; never wraps when the moment is newer.
pa_usec_t since(pa_usec_t moment, pa_usec_t at)
{
    return at > moment ? at - moment : 0;
}

// Time events of a bare main loop take the wall clock.
struct timeval wallClockIn(pa_usec_t usec)
{
    struct timeval when {};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, usec);
    return when;
}

// A pa_operation whose callback points into what owns the handle. libpulse calls back
// until the operation is done or cancelled, and cancels a stream's operations only when
// the server confirms the stream's end: whoever frees what a callback touches cancels
// first, which destroying the handle does.
class Operation
{
public:
    explicit Operation(pa_operation *operation) : m_operation(operation) {}
    Operation(Operation &&other) noexcept : m_operation(std::exchange(other.m_operation, nullptr)) {}
    Operation &operator=(Operation &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_operation = std::exchange(other.m_operation, nullptr);
        }
        return *this;
    }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
    ~Operation() { reset(); }

    bool running() const { return m_operation && pa_operation_get_state(m_operation) == PA_OPERATION_RUNNING; }
    explicit operator bool() const { return m_operation != nullptr; }
    void reset()
    {
        if (!m_operation)
            return;
        pa_operation_cancel(m_operation);
        pa_operation_unref(m_operation);
        m_operation = nullptr;
    }

private:
    pa_operation *m_operation = nullptr;
};

} // namespace

class SoundEngine::Impl
{
public:
    struct Active
    {
        Impl *engine = nullptr;
        std::shared_ptr<SoundStream> stream;
        pa_stream *pa = nullptr;
        pa_usec_t requested = 0;
        qint64 written = 0;
        bool paused = false;
        // What the server was last told; apart from `paused` while it makes the stream,
        // which it must be told of once it has.
        bool corked = false;
        bool ready = false;
        bool draining = false;
        pa_usec_t finishAt = 0; // once drained: when the sink has played the last of it
        pa_usec_t drainSince = 0; // the drain asked for, or resumed, then
        // Every operation whose callback may still reach this record; cancelled, all of
        // them, before the record goes.
        std::vector<Operation> operations;

        void track(pa_operation *operation)
        {
            std::erase_if(operations, [](const Operation &op) { return !op.running(); });
            if (operation)
                operations.emplace_back(operation);
        }
    };

    explicit Impl(std::function<void(bool)> listener) : m_listener(std::move(listener))
    {
        m_loop = pa_threaded_mainloop_new();
        m_api = pa_threaded_mainloop_get_api(m_loop);
        // Nothing runs on the loop yet, so its objects are made without its lock.
        m_wakeEvent = m_api->io_new(m_api, m_wakeFd, PA_IO_EVENT_INPUT, &Impl::onWake, this);
        const struct timeval first = wallClockIn(0);
        m_tick = m_api->time_new(m_api, &first, &Impl::onTick, this);
        pa_threaded_mainloop_set_name(m_loop, "vendrel9-sound");
        pa_threaded_mainloop_start(m_loop);
    }

    ~Impl()
    {
        pa_threaded_mainloop_lock(m_loop);
        for (auto &active : m_actives)
            release(*active, SoundStream::End::Stopped);
        m_actives.clear();
        dropContext(false);
        forgetDoomed();
        m_api->io_free(m_wakeEvent);
        m_api->time_free(m_tick);
        pa_threaded_mainloop_unlock(m_loop);
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
        ::close(m_wakeFd);
    }

    // From any thread: the only way in. The inbox's own lock, held for a push, never
    // the loop's, which libpulse holds while it dispatches: a caller would wait behind
    // every callback of every stream.
    void post(std::function<void()> job)
    {
        m_inbox.push(std::move(job));
    }

    static void onWake(pa_mainloop_api *, pa_io_event *, int fd, pa_io_event_flags_t, void *userdata)
    {
        quint64 count = 0;
        [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof count);
        auto *self = static_cast<Impl *>(userdata);
        for (auto &job : self->m_inbox.take())
            job();
    }

    static void onTick(pa_mainloop_api *api, pa_time_event *event, const struct timeval *, void *userdata)
    {
        auto *self = static_cast<Impl *>(userdata);
        self->tick();
        const pa_usec_t next = self->m_actives.empty() ? kIdleTickUs : kBusyTickUs;
        const struct timeval when = wallClockIn(next);
        api->time_restart(event, &when);
    }

    void tick()
    {
        const pa_usec_t at = now();
        if (!m_context && at >= m_nextConnect)
            connect();
        if (m_context && !m_ready && since(m_connectStarted, at) > kConnectDeadlineUs) {
            qCWarning(lcSound) << "the sound server took the connection but did not answer within"
                               << kConnectDeadlineUs / PA_USEC_PER_SEC << "s; connecting again";
            dropContext(true);
            return;
        }
        if (m_ready)
            pingServer(at);
        // Work on a copy: ending a stream removes it from the list.
        const auto actives = snapshot();
        for (Active *active : actives) {
            if (!active->ready && since(active->requested, at) > kStreamDeadlineUs) {
                qCWarning(lcSound) << "the sound server did not make a stream within"
                                   << kStreamDeadlineUs / PA_USEC_PER_SEC << "s";
                finish(active, SoundStream::End::Failed);
                continue;
            }
            if (active->ready && active->stream->kind == SoundStream::Kind::Play && fill(active)) {
                updateClock(active);
                const bool drainUnanswered = active->draining && !active->finishAt && !active->paused
                    && since(active->drainSince, at) > kDrainDeadlineUs + m_playLatencyUs;
                if (drainUnanswered)
                    qCWarning(lcSound) << "the sound server never said the message had played out; taken as ended";
                if (playedOut(*active, at) || drainUnanswered) {
                    active->stream->frames.store(active->written, std::memory_order_release);
                    finish(active, SoundStream::End::Finished);
                }
            }
        }
    }

    std::vector<Active *> snapshot() const
    {
        std::vector<Active *> result;
        for (const auto &active : m_actives)
            result.push_back(active.get());
        return result;
    }

    void setAvailable(bool available)
    {
        if (m_available.exchange(available) == available)
            return;
        qCInfo(lcSound) << (available ? "the sound server answers" : "no sound server answers");
        if (m_listener)
            m_listener(available);
    }

    void connect()
    {
        pa_proplist *props = pa_proplist_new();
        setIdentity(props);
        m_context = pa_context_new_with_proplist(m_api, kAppName, props);
        pa_proplist_free(props);
        m_ready = false;
        m_connectStarted = now();
        m_connects.fetch_add(1, std::memory_order_relaxed);
        if (!m_context) {
            m_nextConnect = now() + kRetryUs;
            return;
        }
        pa_context_set_state_callback(m_context, &Impl::onContextState, this);
        // Never start a server of our own: the desktop owns it.
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            dropContext(true);
    }

    void dropContext(bool retry)
    {
        m_ready = false;
        for (Active *active : snapshot())
            finish(active, SoundStream::End::Failed);
        m_ping.reset();
        // The context takes its streams with it; ours need no more tending.
        forgetDoomed();
        if (m_context) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
        if (retry) {
            setAvailable(false);
            m_nextConnect = now() + kRetryUs;
        }
    }

    static void onContextState(pa_context *context, void *userdata)
    {
        auto *self = static_cast<Impl *>(userdata);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            self->m_ready = true;
            self->setAvailable(true);
            // Which server this is decides the buffer: ask at once, as the first ping.
            self->m_ping.reset();
            self->m_pingSent = now();
            self->m_ping = Operation(pa_context_get_server_info(context, &Impl::onServerInfo, self));
            for (Active *active : self->snapshot()) {
                if (!active->pa)
                    self->open(active);
            }
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            // Once, when a server that answered goes: retries against none stay quiet.
            if (self->m_ready)
                qCWarning(lcSound) << "lost the sound server:" << pa_strerror(pa_context_errno(context));
            self->dropContext(true);
            break;
        default:
            break;
        }
    }

    // A connected server that stops answering (stopped, hung) is as good as gone for the
    // operator; it is reported as such until it answers again.
    void pingServer(pa_usec_t at)
    {
        if (m_ping.running()) {
            if (since(m_pingSent, at) > kPingDeadlineUs)
                setAvailable(false);
            return;
        }
        m_ping.reset();
        if (since(m_pingSent, at) < kPingIntervalUs)
            return;
        m_pingSent = at;
        m_ping = Operation(pa_context_get_server_info(m_context, &Impl::onServerInfo, this));
    }

    static void onServerInfo(pa_context *, const pa_server_info *info, void *userdata)
    {
        auto *self = static_cast<Impl *>(userdata);
        // pipewire-pulse names itself "PulseAudio (on PipeWire x.y.z)".
        if (info && info->server_name)
            self->m_playLatencyUs = std::strstr(info->server_name, "PipeWire") ? kPlayLatencyPipeWireUs : kPlayLatencyUs;
        self->setAvailable(true);
    }

    static void endUnstarted(SoundStream &stream, SoundStream::End end)
    {
        SoundStream::End none = SoundStream::End::None;
        stream.end.compare_exchange_strong(none, end);
        if (stream.wake)
            stream.wake();
    }

    void start(const std::shared_ptr<SoundStream> &stream)
    {
        // Stopped from another thread before its start got here: it never sounds.
        if (stream->stopRequested.load()) {
            endUnstarted(*stream, SoundStream::End::Stopped);
            return;
        }
        // Known to be away: fail now rather than at the deadline.
        if (!m_available.load() && !m_ready) {
            endUnstarted(*stream, SoundStream::End::Failed);
            return;
        }
        auto active = std::make_unique<Active>();
        active->engine = this;
        active->stream = stream;
        active->requested = now();
        Active *raw = active.get();
        m_actives.push_back(std::move(active));
        if (m_ready)
            open(raw);
        // Otherwise it opens once the server is there, or fails at its deadline.
    }

    void open(Active *active)
    {
        const SoundStream &stream = *active->stream;
        pa_sample_spec format {};
        format.format = PA_SAMPLE_FLOAT32NE;
        format.rate = uint32_t(stream.rate);
        format.channels = uint8_t(qBound(0, stream.channels, 255));
        pa_channel_map map {};
        if (stream.channels > int(PA_CHANNELS_MAX) || !pa_sample_spec_valid(&format)
            || !pa_channel_map_init_extend(&map, format.channels, PA_CHANNEL_MAP_DEFAULT)) {
            finish(active, SoundStream::End::Failed);
            return;
        }
        const bool play = stream.kind == SoundStream::Kind::Play;
        pa_proplist *props = pa_proplist_new();
        const StreamIdentity identity = identityOf(stream);
        setIdentity(props, identity.id);
        pa_proplist_sets(props, PA_PROP_MEDIA_NAME, identity.name);
        active->pa = pa_stream_new_with_proplist(m_context, play ? "message" : "recording", &format, &map, props);
        pa_proplist_free(props);
        if (!active->pa) {
            finish(active, SoundStream::End::Failed);
            return;
        }
        pa_stream_set_state_callback(active->pa, &Impl::onStreamState, active);
        pa_buffer_attr attr {};
        attr.maxlength = uint32_t(-1);
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.tlength = uint32_t(-1);
        attr.fragsize = uint32_t(-1);
        auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING
                                       | PA_STREAM_AUTO_TIMING_UPDATE);
        if (active->paused)
            flags = pa_stream_flags_t(flags | PA_STREAM_START_CORKED);
        active->corked = active->paused;
        int result = 0;
        if (play) {
            attr.tlength = uint32_t(pa_usec_to_bytes(m_playLatencyUs, &format));
            pa_stream_set_write_callback(active->pa, &Impl::onWritable, active);
            pa_stream_set_underflow_callback(active->pa, &Impl::onUnderflow, active);
            // No device named: the server's choice, which honours PULSE_SINK and what
            // it remembers for this program.
            result = pa_stream_connect_playback(active->pa, nullptr, &attr, flags, nullptr, nullptr);
        } else {
            attr.fragsize = uint32_t(pa_usec_to_bytes(kRecordFragmentUs, &format));
            pa_stream_set_read_callback(active->pa, &Impl::onReadable, active);
            result = pa_stream_connect_record(active->pa, nullptr, &attr, flags);
        }
        if (result < 0)
            finish(active, SoundStream::End::Failed);
    }

    static void onUnderflow(pa_stream *, void *userdata)
    {
        // Running out once the last of the message is in is its end, not a break.
        auto *active = static_cast<Active *>(userdata);
        if (!active->draining)
            active->stream->underruns.fetch_add(1, std::memory_order_relaxed);
    }

    static void onStreamState(pa_stream *pa, void *userdata)
    {
        auto *active = static_cast<Active *>(userdata);
        switch (pa_stream_get_state(pa)) {
        case PA_STREAM_READY:
            active->ready = true;
            // Paused or resumed while the server was making it; told before any audio goes.
            active->engine->cork(active);
            if (active->stream->kind == SoundStream::Kind::Play)
                active->engine->fill(active);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            qCWarning(lcSound) << "a stream ended on the server:" << pa_strerror(pa_context_errno(pa_stream_get_context(pa)));
            active->engine->finish(active, SoundStream::End::Failed);
            break;
        default:
            break;
        }
    }

    static void onWritable(pa_stream *, size_t, void *userdata)
    {
        auto *active = static_cast<Active *>(userdata);
        active->engine->fill(active);
    }

    // Hands the server what the ring holds; false when that ended the stream (nothing at
    // all to play), which then no longer exists.
    bool fill(Active *active)
    {
        if (!active->ready || active->draining)
            return true;
        SoundStream &stream = *active->stream;
        const size_t frameBytes = sizeof(float) * size_t(stream.channels);
        size_t room = pa_stream_writable_size(active->pa);
        qint64 taken = 0;
        while (room != size_t(-1) && room >= frameBytes && stream.ring.readableFrames() > 0) {
            void *buffer = nullptr;
            size_t bytes = room;
            if (pa_stream_begin_write(active->pa, &buffer, &bytes) < 0 || !buffer)
                break;
            const qint64 frames = stream.ring.read(static_cast<float *>(buffer), qint64(bytes / frameBytes));
            if (frames <= 0) {
                pa_stream_cancel_write(active->pa);
                break;
            }
            stream.meter.pass(static_cast<const float *>(buffer), frames);
            if (pa_stream_write(active->pa, buffer, size_t(frames) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
                break;
            active->written += frames;
            taken += frames;
            room = pa_stream_writable_size(active->pa);
        }
        // "Finished" first, then the ring: the reader puts its last piece in before it says
        // so, so an empty ring after "finished" is the end. Looked at the other way round,
        // a last piece put in between the two looks would never be played.
        const bool finished = stream.inputDone.load(std::memory_order_acquire);
        if (finished && stream.ring.readableFrames() == 0) {
            if (active->written == 0) {
                finish(active, SoundStream::End::Finished);
                return false;
            }
            // The end is when the server has played the last sample, not when it took it.
            // Draining also starts a stream whose audio is shorter than its prebuffer.
            active->draining = true;
            active->drainSince = now();
            active->track(pa_stream_trigger(active->pa, nullptr, nullptr));
            active->track(pa_stream_drain(active->pa, &Impl::onDrained, active));
        }
        // Room for the reader's next chunk (a quarter of the ring): only then is it woken,
        // or the two threads would wake each other for every few milliseconds of sound.
        const qint64 capacity = stream.ring.readableFrames() + stream.ring.writableFrames();
        if (taken > 0 && stream.ring.writableFrames() - taken < capacity / 4
            && stream.ring.writableFrames() >= capacity / 4 && stream.wake)
            stream.wake();
        return true;
    }

    // Drained, and the latency the server gave at the drain has passed. Its clock is not
    // waited for: on some cards it lags the sound by hundreds of milliseconds, and the
    // message would show as playing well after it was heard.
    static bool playedOut(const Active &active, pa_usec_t at)
    {
        return active.finishAt && at >= active.finishAt;
    }

    void updateClock(Active *active)
    {
        pa_usec_t played = 0;
        if (pa_stream_get_time(active->pa, &played) < 0)
            return;
        const qint64 frames = qint64(played * pa_usec_t(active->stream->rate) / PA_USEC_PER_SEC);
        active->stream->frames.store(qMin(frames, active->written), std::memory_order_release);
    }

    static void onDrained(pa_stream *pa, int success, void *userdata)
    {
        auto *active = static_cast<Active *>(userdata);
        if (!success)
            return; // stopped or lost meanwhile: that path ends the stream
        // Drained means the server has taken the last sample into the sink, not that the
        // sink has played it: letting go of the stream now would take back what the sink
        // still holds, the end of the message. It is let go once that has played.
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(pa, &latency, &negative) < 0 || negative)
            latency = 0;
        Impl *self = active->engine;
        active->finishAt = now() + qMax(latency, self->m_playLatencyUs) + kDrainMarginUs;
        // The tick comes back exactly then, rather than up to a tick later.
        const struct timeval when = wallClockIn(active->finishAt - now());
        self->m_api->time_restart(self->m_tick, &when);
    }

    static void onReadable(pa_stream *pa, size_t, void *userdata)
    {
        auto *active = static_cast<Active *>(userdata);
        SoundStream &stream = *active->stream;
        const size_t frameBytes = sizeof(float) * size_t(stream.channels);
        std::vector<float> silence;
        while (pa_stream_readable_size(pa) > 0) {
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(pa, &data, &bytes) < 0 || bytes == 0)
                break;
            const qint64 frames = qint64(bytes / frameBytes);
            const float *samples = static_cast<const float *>(data);
            if (!data) { // a hole: the source had nothing, which is silence
                silence.assign(size_t(frames) * size_t(stream.channels), 0.0f);
                samples = silence.data();
            }
            const qint64 kept = stream.ring.write(samples, frames);
            stream.meter.pass(samples, kept);
            pa_stream_drop(pa);
            stream.frames.fetch_add(kept, std::memory_order_acq_rel);
            if (kept < frames) {
                // Whoever empties the ring has fallen behind by seconds: end the take
                // here rather than leave a gap in it.
                active->engine->finish(active, SoundStream::End::Overflow);
                return;
            }
        }
        if (stream.wake)
            stream.wake();
    }

    Active *find(const std::shared_ptr<SoundStream> &stream) const
    {
        for (const auto &active : m_actives) {
            if (active->stream == stream)
                return active.get();
        }
        return nullptr;
    }

    void setPaused(const std::shared_ptr<SoundStream> &stream, bool paused)
    {
        Active *active = find(stream);
        if (!active || active->paused == paused)
            return;
        active->paused = paused;
        // A stream still being made cannot be corked: it is once it is ready.
        if (active->ready)
            cork(active);
    }

    void cork(Active *active)
    {
        if (active->corked == active->paused)
            return;
        active->corked = active->paused;
        // Paused, the drain cannot end; its deadline counts from the resume.
        active->drainSince = now();
        active->track(pa_stream_cork(active->pa, active->paused ? 1 : 0, nullptr, nullptr));
    }

    // Lets go of the server's stream; the record itself may be freed once this returns.
    void release(Active &active, SoundStream::End end)
    {
        active.operations.clear();
        if (active.pa) {
            pa_stream_set_state_callback(active.pa, nullptr, nullptr);
            pa_stream_set_write_callback(active.pa, nullptr, nullptr);
            pa_stream_set_read_callback(active.pa, nullptr, nullptr);
            pa_stream_set_underflow_callback(active.pa, nullptr, nullptr);
            switch (pa_stream_get_state(active.pa)) {
            case PA_STREAM_READY:
                // Disconnecting drops what the server still holds: the sound stops now.
                pa_stream_disconnect(active.pa);
                pa_stream_unref(active.pa);
                break;
            case PA_STREAM_CREATING:
                // Not yet on the server, so it cannot be disconnected; once it is there
                // it is removed, or it would stay for the life of the connection.
                pa_stream_set_state_callback(active.pa, &Impl::onDoomedState, this);
                m_doomed.push_back(active.pa);
                break;
            default:
                pa_stream_unref(active.pa);
                break;
            }
            active.pa = nullptr;
        }
        SoundStream::End none = SoundStream::End::None;
        active.stream->end.compare_exchange_strong(none, end);
    }

    static void onDoomedState(pa_stream *pa, void *userdata)
    {
        auto *self = static_cast<Impl *>(userdata);
        switch (pa_stream_get_state(pa)) {
        case PA_STREAM_READY:
            pa_stream_disconnect(pa);
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            pa_stream_set_state_callback(pa, nullptr, nullptr);
            std::erase(self->m_doomed, pa);
            pa_stream_unref(pa);
            break;
        default:
            break;
        }
    }

    void forgetDoomed()
    {
        for (pa_stream *pa : m_doomed) {
            pa_stream_set_state_callback(pa, nullptr, nullptr);
            pa_stream_unref(pa);
        }
        m_doomed.clear();
    }

    // Ends a stream and lets its owner know; the stream leaves the list.
    void finish(Active *active, SoundStream::End end)
    {
        auto it = std::find_if(m_actives.begin(), m_actives.end(),
                               [active](const auto &candidate) { return candidate.get() == active; });
        if (it == m_actives.end())
            return;
        std::unique_ptr<Active> owned = std::move(*it);
        m_actives.erase(it);
        release(*owned, end);
        if (owned->stream->wake)
            owned->stream->wake();
    }

    void stop(const std::shared_ptr<SoundStream> &stream)
    {
        if (Active *active = find(stream))
            finish(active, SoundStream::End::Stopped);
    }

    pa_threaded_mainloop *m_loop = nullptr;
    pa_mainloop_api *m_api = nullptr;
    // The loop wakes on this eventfd for the inbox; made before the inbox uses it.
    const int m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    pa_io_event *m_wakeEvent = nullptr;
    pa_time_event *m_tick = nullptr;
    Inbox<std::function<void()>> m_inbox {[fd = m_wakeFd] {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t put = ::write(fd, &one, sizeof one);
    }};

    pa_context *m_context = nullptr;
    bool m_ready = false;
    pa_usec_t m_connectStarted = 0;
    pa_usec_t m_nextConnect = 0;
    Operation m_ping {nullptr};
    pa_usec_t m_playLatencyUs = kPlayLatencyUs; // for the server last heard from
    pa_usec_t m_pingSent = 0;
    std::vector<std::unique_ptr<Active>> m_actives;
    // Streams let go of while the server was still creating them; ours until it has.
    std::vector<pa_stream *> m_doomed;
    const std::function<void(bool)> m_listener;
    std::atomic<bool> m_available {true};
    std::atomic<int> m_connects {0};
};

SoundEngine::SoundEngine(std::function<void(bool)> availabilityListener)
    : d(std::make_unique<Impl>(std::move(availabilityListener)))
{
}

SoundEngine::~SoundEngine() = default;

void SoundEngine::start(const std::shared_ptr<SoundStream> &stream)
{
    d->post([this, stream] { d->start(stream); });
}

void SoundEngine::setPaused(const std::shared_ptr<SoundStream> &stream, bool paused)
{
    d->post([this, stream, paused] { d->setPaused(stream, paused); });
}

void SoundEngine::stop(const std::shared_ptr<SoundStream> &stream)
{
    // Marked here, on the caller's thread: a start posted by another thread that reaches
    // the engine after this stop must not play.
    stream->stopRequested.store(true);
    d->post([this, stream] { d->stop(stream); });
}

void SoundEngine::kick()
{
    d->post([this] {
        for (Impl::Active *active : d->snapshot()) {
            if (active->stream->kind == SoundStream::Kind::Play)
                d->fill(active);
        }
    });
}

bool SoundEngine::available() const
{
    return d->m_available.load();
}

int SoundEngine::connectAttempts() const
{
    return d->m_connects.load(std::memory_order_relaxed);
}
