#include "devicesession.h"

#include "content.h"
#include "savetracker.h"
#include "soundengine.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>
#include <sys/stat.h>

using transport::Command;
using transport::Mode;

namespace {

// Bounded whatever the file: at most 1 MiB of decoded audio waits to be played.
constexpr qint64 kPlayRingFloatsMax = 256 * 1024;
constexpr qint64 kPlayRingFloatsMin = 16 * 1024;
// A recording waits here while the disk catches up; five seconds of a stall is absorbed.
constexpr int kRecordRingSeconds = 5;
constexpr qint64 kTakeChunkFrames = 4096;
// The engine rings when a stream needs the thread; this only bounds a missed ring.
constexpr auto kPollWhileStreaming = std::chrono::milliseconds(250);

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

QString systemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

DeviceSession::DeviceSession(std::shared_ptr<SoundEngine> engine, std::shared_ptr<SaveTracker> saves, QString path,
                             Reporter reporter)
    : m_engine(std::move(engine)), m_saves(std::move(saves)), m_path(std::move(path)), m_report(std::move(reporter))
{
}

DeviceSession::~DeviceSession()
{
    if (m_saver.joinable())
        m_saver.join();
}

void DeviceSession::start(quint64 binding)
{
    m_binding = binding;
    m_handled = binding;
    // Detached: a thread stuck on a stalled disk is never joined by anyone; it holds the
    // session alive until its read returns and it sees it was abandoned.
    std::thread([self = shared_from_this()] { self->run(); }).detach();
}

bool DeviceSession::post(quint64 sequence, const Order &order)
{
    return m_inbox->push({Message::Kind::Order, sequence, order, false, {}});
}

std::shared_ptr<SoundStream> DeviceSession::silenceUpTo(quint64 sequence)
{
    std::lock_guard lock(m_mutex);
    m_silencedUpTo = qMax(m_silencedUpTo, sequence);
    return m_stream;
}

void DeviceSession::silence(quint64 sequence)
{
    if (auto stream = silenceUpTo(sequence))
        m_engine->stop(stream);
}

void DeviceSession::pauseSound(quint64 sequence)
{
    if (auto stream = silenceUpTo(sequence))
        m_engine->setPaused(stream, true);
}

void DeviceSession::abandon()
{
    silence(std::numeric_limits<quint64>::max());
    m_inbox->push({Message::Kind::Abandon, 0, {}, false, {}});
}

qint64 DeviceSession::livePosition() const
{
    std::lock_guard lock(m_mutex);
    if (!m_stream)
        return -1;
    return m_streamFrom + m_stream->frames.load(std::memory_order_acquire);
}

std::shared_ptr<SoundStream> DeviceSession::currentStream() const
{
    std::lock_guard lock(m_mutex);
    return m_stream;
}

float DeviceSession::level() const
{
    std::lock_guard lock(m_mutex);
    return m_stream ? m_stream->meter.peak() : 0.0f;
}

bool DeviceSession::clipping() const
{
    std::lock_guard lock(m_mutex);
    return m_stream && m_stream->meter.clipping();
}

int DeviceSession::underruns() const
{
    std::lock_guard lock(m_mutex);
    return m_pastUnderruns + (m_stream ? m_stream->underruns.load() : 0);
}

void DeviceSession::clearStream()
{
    std::lock_guard lock(m_mutex);
    if (m_stream)
        m_pastUnderruns += m_stream->underruns.load();
    m_stream.reset();
    m_streamFrom = 0;
}

// A stream goes to the engine only if no order after the one starting it has silenced
// the session meanwhile: that order's silence may have found no stream to stop yet.
bool DeviceSession::publishStream(const std::shared_ptr<SoundStream> &stream, qint64 from, quint64 sequence)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_silencedUpTo > sequence)
            return false;
        m_stream = stream;
        m_streamFrom = from;
    }
    m_engine->start(stream);
    return true;
}

void DeviceSession::run()
{
    m_content = std::make_unique<Content>();
    bool opened = m_content->openFile(m_path);
    if (!opened && isNewRecordingPath(m_path)) {
        m_content->openNew(m_path);
        opened = true;
    }
    if (!opened) {
        m_state = State {};
        publish();
        dropRemaining();
        return;
    }
    m_state = transport::opened(m_content->frames());
    publish();

    for (;;) {
        const bool streaming = currentStream() != nullptr;
        for (Message &message : m_inbox->wait(streaming ? kPollWhileStreaming : std::chrono::milliseconds(0))) {
            switch (message.kind) {
            case Message::Kind::Order:
                m_backlog.push_back(std::move(message));
                break;
            case Message::Kind::Abandon:
                m_abandoned = true;
                break;
            case Message::Kind::Saved:
                finishSave(message);
                break;
            }
        }
        // In order; a recording or another save waits for a save still being written,
        // and so does everything given after it.
        while (!m_backlog.empty()) {
            const Message &next = m_backlog.front();
            if (m_saving && (next.order.command == Command::Record || next.order.command == Command::Save))
                break;
            carryOut(next.sequence, next.order);
            m_backlog.pop_front();
        }
        if (m_abandoned && m_backlog.empty() && !m_saving)
            break;
        noticeEnd();
        if (m_state.mode == Mode::Playing || m_state.mode == Mode::Paused)
            readAhead();
        else if (m_state.mode == Mode::Recording)
            takeRecorded();
        publish();
    }
    State ignored = m_state;
    endSound({}, ignored);
    dropRemaining();
    m_content.reset();
}

void DeviceSession::carryOut(quint64 sequence, const Order &order)
{
    m_handled = sequence;
    // Once closed, nothing plays or records again; a save still goes ahead.
    const bool dropped = m_abandoned && (order.command == Command::Play || order.command == Command::Record);
    if (dropped)
        return;
    const transport::Decision d = transport::decide(m_state, order);
    if (order.command == Command::Save && !d.steps.save)
        m_saves->finish(); // nothing bound to save: no longer waited for
    if (!d.acts)
        return;
    State next = d.next;
    if (d.steps.endSound)
        endSound(d.steps, next);
    if (d.steps.pauseSound) {
        if (const auto stream = currentStream())
            m_engine->setPaused(stream, true);
    }
    if (d.steps.resumeSound) {
        if (const auto stream = currentStream())
            m_engine->setPaused(stream, false);
        else
            startPlaying(next, sequence);
    }
    if (d.steps.startPlaying)
        startPlaying(next, sequence);
    if (d.steps.startRecording)
        startRecording(next, sequence);
    m_state = next;
    if (d.steps.save)
        startSave();
}

// Ends the stream there is. A recording's take is written out first and the state then
// says where it really ended.
void DeviceSession::endSound(const transport::Steps &steps, State &next)
{
    const auto stream = currentStream();
    const bool recording = m_state.mode == Mode::Recording;
    if (stream) {
        // How the stream stood before this stop: an end of its own (a take the disk could
        // not keep up with, a lost server) is still the operator's to hear of.
        const SoundStream::End before = stream->end.load();
        m_engine->stop(stream);
        if (recording) {
            takeRecorded();
            // A take that could not go on has said so already.
            const bool toldAlready = currentStream() != stream;
            if (!toldAlready && before == SoundStream::End::Overflow)
                cutTake(QStringLiteral("ο δισκος δεν προλαβαινε"));
            else if (!toldAlready && before == SoundStream::End::Failed)
                cutTake(QStringLiteral("χαθηκε ο διακομιστης ηχου"));
        }
        clearStream();
    }
    if (recording) {
        next = transport::takeEnded(next, steps.atTakeEnd, m_takeFrom, m_takeStarted, m_content->frames());
        tellClipped();
    }
}

// What a stream calls when it has news: it rings the session's inbox without owning it.
std::function<void()> DeviceSession::ringer() const
{
    return [inbox = std::weak_ptr<Inbox<Message>>(m_inbox)] {
        if (const auto held = inbox.lock())
            held->ring();
    };
}

void DeviceSession::startPlaying(State &next, quint64 sequence)
{
    if (next.position >= m_content->frames()) {
        next.mode = Mode::Stopped;
        next.position = m_content->frames();
        return;
    }
    const int channels = m_content->channels();
    qint64 ringFloats = qint64(m_content->sampleRate()) * channels / 2;
    ringFloats = qBound(kPlayRingFloatsMin, ringFloats, kPlayRingFloatsMax);
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Play, m_content->sampleRate(), channels,
                                                ringFloats / channels);
    stream->wake = ringer();
    stream->output = next.output;
    m_readAt = next.position;
    if (publishStream(stream, next.position, sequence))
        readAhead();
}

void DeviceSession::startRecording(State &next, quint64 sequence)
{
    // The take itself begins with the first audio: a recording the server never starts
    // must not cut the message short at the position.
    m_takeStarted = false;
    m_takeFrom = next.position;
    const int rate = m_content->sampleRate();
    const int channels = m_content->channels();
    m_clips.emplace(rate, channels);
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Record, rate, channels,
                                                qint64(rate) * kRecordRingSeconds);
    stream->wake = ringer();
    publishStream(stream, next.position, sequence);
}

// The save runs on a thread of its own, reading a snapshot of the content, so whatever
// plays goes on playing meanwhile; the session takes the saved file on when it is done.
void DeviceSession::startSave()
{
    if (!m_content->isModified()) {
        m_saves->finish(); // nothing recorded: the file already holds what the device does
        return;
    }
    m_saving = true;
    m_saver = std::thread([this, snapshot = m_content->snapshot()] {
        QString error;
        const bool saved = snapshot.write(m_saves.get(), &error);
        m_inbox->push({Message::Kind::Saved, 0, {}, saved, error});
    });
}

void DeviceSession::finishSave(const Message &message)
{
    if (m_saver.joinable())
        m_saver.join();
    m_saving = false;
    if (message.saved)
        m_content->adoptSaved(); // the same frames, now read from the saved file
    else
        publish(Report::Kind::SaveFailed, message.error);
    m_saves->finish();
}

// Decodes into the playback ring while it has room; a read that stalls holds only this
// thread, and the sound already in the ring plays on.
void DeviceSession::readAhead()
{
    const auto stream = currentStream();
    if (!stream || stream->kind != SoundStream::Kind::Play || stream->inputDone.load())
        return;
    const int channels = stream->channels;
    const qint64 capacity = stream->ring.writableFrames() + stream->ring.readableFrames();
    const qint64 chunk = qMax<qint64>(1, capacity / 4);
    m_buffer.resize(size_t(chunk * channels));
    bool moved = false;
    for (int round = 0; round < 8; ++round) {
        const qint64 want = qMin(chunk, m_content->frames() - m_readAt);
        if (want <= 0) {
            stream->inputDone.store(true, std::memory_order_release);
            break;
        }
        if (stream->ring.writableFrames() < want)
            break;
        const qint64 got = m_content->read(m_readAt, m_buffer.data(), want);
        if (got <= 0) {
            stream->inputDone.store(true, std::memory_order_release);
            break;
        }
        stream->ring.write(m_buffer.data(), got);
        m_readAt += got;
        moved = true;
        // Orders go first: on a slow disk each chunk may take long.
        if (m_inbox->hasMessages())
            break;
    }
    if (moved)
        m_engine->kick();
}

void DeviceSession::takeRecorded()
{
    const auto stream = currentStream();
    if (!stream || stream->kind != SoundStream::Kind::Record)
        return;
    m_buffer.resize(size_t(kTakeChunkFrames * stream->channels));
    for (;;) {
        const qint64 got = stream->ring.read(m_buffer.data(), kTakeChunkFrames);
        if (got <= 0)
            return;
        errno = 0;
        if (!m_takeStarted)
            m_takeStarted = m_content->beginTake(m_takeFrom);
        if (!m_takeStarted || !m_content->appendTake(m_buffer.data(), got)) {
            // The temporary folder is full: the take ends with what it holds, and the
            // operator hears why rather than saving a short message unawares.
            const QString reason = systemReason(errno ? errno : EIO);
            m_engine->stop(stream);
            clearStream();
            m_state = transport::takeEnded(m_state, true, m_takeFrom, m_takeStarted, m_content->frames());
            m_state.mode = Mode::Stopped;
            cutTake(reason);
            tellClipped();
            return;
        }
        if (m_clips)
            m_clips->pass(m_buffer.data(), got, m_content->frames() - got);
    }
}

// Tells the operator a recording ended before they stopped it, and what it kept.
void DeviceSession::cutTake(const QString &why)
{
    const qint64 kept = m_takeStarted ? m_content->frames() - m_takeFrom : 0;
    const double seconds = double(kept) / qMax(1, m_content->sampleRate());
    publish(Report::Kind::RecordingCut,
            QStringLiteral("%1· κρατηθηκαν %2 δευτερολεπτα").arg(why, QString::number(seconds, 'f', 1)));
}

// Tells the operator, once the take has ended, where it reached full scale: a clipped
// message splatters on air, and only a new take at a lower input level mends it.
void DeviceSession::tellClipped()
{
    const std::optional<ClipPlaces> clips = std::exchange(m_clips, std::nullopt);
    if (!clips || clips->count() == 0)
        return;
    const int rate = qMax(1, m_content->sampleRate());
    const double ms = 1000.0 * double(clips->longest()) / rate;
    const QString longest = ms < 10     ? QStringLiteral("%1 ms").arg(ms, 0, 'f', 1)
                            : ms < 1000 ? QStringLiteral("%1 ms").arg(qRound(ms))
                                        : QStringLiteral("%1 δευτερολεπτα").arg(ms / 1000, 0, 'f', 1);
    // Where the bar's own clock puts it, to a tenth of a second.
    const qint64 tenths = clips->first() * 10 / rate;
    const QString first = QStringLiteral("%1:%2.%3")
                              .arg(tenths / 600)
                              .arg(tenths / 10 % 60, 2, 10, QLatin1Char('0'))
                              .arg(tenths % 10);
    publish(Report::Kind::TakeClipped,
            clips->count() == 1
                ? QStringLiteral("1 σημειο, %1, στο %2").arg(longest, first)
                : QStringLiteral("%1 σημεια, το μακρυτερο %2, το πρωτο στο %3").arg(clips->count()).arg(longest, first));
}

void DeviceSession::noticeEnd()
{
    const auto stream = currentStream();
    if (!stream)
        return;
    const SoundStream::End end = stream->end.load();
    // Stopped is the window's silence, ahead of the order that follows it: that order
    // decides what the end means (a play during a recording plays the take), not this.
    if (end == SoundStream::End::None || end == SoundStream::End::Stopped)
        return;
    if (stream->kind == SoundStream::Kind::Play) {
        const qint64 heard = livePosition();
        clearStream();
        m_state = transport::playbackEnded(m_state, end == SoundStream::End::Finished, heard);
        return;
    }
    takeRecorded();
    if (!currentStream())
        return; // the take itself could not go on, and said so
    clearStream();
    State next = m_state;
    next.mode = Mode::Stopped;
    m_state = transport::takeEnded(next, true, m_takeFrom, m_takeStarted, m_content->frames());
    if (end == SoundStream::End::Overflow)
        cutTake(QStringLiteral("ο δισκος δεν προλαβαινε"));
    else if (end == SoundStream::End::Failed)
        cutTake(QStringLiteral("χαθηκε ο διακομιστης ηχου"));
    tellClipped();
}

// Orders never carried out (the open failed, or the session ended): a save among them
// is no longer waited for at exit. One posted after this is refused, and its sender
// counts it out.
void DeviceSession::dropRemaining()
{
    for (const Message &message : m_inbox->close()) {
        if (message.kind == Message::Kind::Order)
            m_backlog.push_back(message);
    }
    for (const Message &message : m_backlog) {
        if (message.order.command == Command::Save)
            m_saves->finish();
    }
    m_backlog.clear();
}

void DeviceSession::publish(Report::Kind kind, const QString &reason)
{
    Report report;
    report.kind = kind;
    report.binding = m_binding;
    report.handled = m_handled;
    report.state = m_state;
    report.reason = reason;
    if (m_content && m_content->isOpen()) {
        report.rate = m_content->sampleRate();
        report.channels = m_content->channels();
    }
    // Only news goes to the window.
    if (kind == Report::Kind::State && m_revision > 0 && report.state == m_published.state
        && report.handled == m_published.handled)
        return;
    report.revision = ++m_revision;
    if (kind == Report::Kind::State)
        m_published = report;
    m_report(report);
}
