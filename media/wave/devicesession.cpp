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

bool DeviceSession::post(const Steps &steps)
{
    return m_inbox->push({Message::Kind::Steps, steps, false, {}});
}

std::shared_ptr<SoundStream> DeviceSession::silenceUpTo(quint64 number)
{
    std::lock_guard lock(m_mutex);
    m_silencedUpTo = qMax(m_silencedUpTo, number);
    return m_stream;
}

void DeviceSession::silence(quint64 number)
{
    if (auto stream = silenceUpTo(number))
        m_engine->stop(stream);
}

void DeviceSession::pauseSound(quint64 number)
{
    if (auto stream = silenceUpTo(number))
        m_engine->setPaused(stream, true);
}

void DeviceSession::abandon()
{
    silence(std::numeric_limits<quint64>::max());
    m_inbox->push({Message::Kind::Abandon, {}, false, {}});
}

qint64 DeviceSession::livePosition(quint64 step) const
{
    std::lock_guard lock(m_mutex);
    if (!m_stream)
        return step && step == m_endedStep ? m_endedAt : -1;
    if (step != m_streamStep)
        return -1;
    return m_streamFrom + m_stream->frames.load(std::memory_order_acquire);
}

std::shared_ptr<SoundStream> DeviceSession::currentStream() const
{
    std::lock_guard lock(m_mutex);
    return m_stream;
}

float DeviceSession::level(quint64 step) const
{
    std::lock_guard lock(m_mutex);
    return m_stream && step == m_streamStep ? m_stream->meter.peak() : 0.0f;
}

bool DeviceSession::clipping(quint64 step) const
{
    std::lock_guard lock(m_mutex);
    return m_stream && step == m_streamStep && m_stream->meter.clipping();
}

int DeviceSession::underruns() const
{
    std::lock_guard lock(m_mutex);
    return m_pastUnderruns + (m_stream ? m_stream->underruns.load() : 0);
}

void DeviceSession::clearStream(quint64 endedStep, qint64 endedAt)
{
    std::lock_guard lock(m_mutex);
    m_endedStep = endedStep;
    m_endedAt = endedAt;
    if (m_stream)
        m_pastUnderruns += m_stream->underruns.load();
    m_stream.reset();
    m_streamFrom = 0;
    m_streamStep = 0;
}

// A stream goes to the engine only if no step after the one starting it has silenced
// the session meanwhile: that step's silence may have found no stream to stop yet. Such
// a stream is not told of either: the later step decides what follows.
bool DeviceSession::publishStream(const std::shared_ptr<SoundStream> &stream, qint64 from, quint64 step)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_silencedUpTo > step)
            return false;
        m_stream = stream;
        m_streamFrom = from;
        m_streamStep = step;
        // Under the lock: a pause that finds this stream must reach the engine after its
        // start, or the engine, not knowing the stream yet, would let it play.
        m_engine->start(stream);
    }
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
        tell(Fact::Kind::OpenFailed);
        dropRemaining();
        return;
    }
    tell(Fact::Kind::Opened);

    for (;;) {
        const bool streaming = currentStream() != nullptr;
        for (Message &message : m_inbox->wait(streaming ? kPollWhileStreaming : std::chrono::milliseconds(0))) {
            switch (message.kind) {
            case Message::Kind::Steps:
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
            const Steps &next = m_backlog.front().steps;
            if (m_saving && (next.startRecording || next.save))
                break;
            carryOut(next);
            m_backlog.pop_front();
        }
        if (m_abandoned && m_backlog.empty() && !m_saving)
            break;
        noticeEnd();
        const auto stream = currentStream();
        if (stream && stream->kind == SoundStream::Kind::Play)
            readAhead();
        else if (stream)
            takeRecorded();
        tell(Fact::Kind::Carried);
    }
    endSound(false);
    dropRemaining();
    m_content.reset();
}

void DeviceSession::carryOut(const Steps &steps)
{
    m_handled = steps.number;
    if (steps.endSound)
        endSound(steps.atTakeEnd);
    if (steps.pauseSound) {
        if (const auto stream = currentStream())
            m_engine->setPaused(stream, true);
    }
    // Once closed, nothing plays or records again; a save still goes ahead.
    if (steps.resumeSound && !m_abandoned) {
        if (const auto stream = currentStream()) {
            std::lock_guard lock(m_mutex);
            // A later step has paused or stopped it already: it stays silent.
            if (m_silencedUpTo <= steps.number) {
                m_streamStep = steps.number;
                m_engine->setPaused(stream, false);
            }
        } else {
            startPlaying(steps);
        }
    }
    if (steps.startPlaying && !m_abandoned)
        startPlaying(steps);
    if (steps.startRecording && !m_abandoned)
        startRecording(steps);
    if (steps.save)
        startSave();
}

// Ends the stream there is.
void DeviceSession::endSound(bool atTakeEnd)
{
    const auto stream = currentStream();
    if (!stream)
        return;
    // How the stream stood before this stop: an end of its own (a take the disk could
    // not keep up with, a lost server) is still the operator's to hear of.
    const SoundStream::End before = stream->end.load();
    m_engine->stop(stream);
    if (stream->kind == SoundStream::Kind::Record)
        endRecording(stream, before, atTakeEnd);
    clearStream();
}

// Ends a recording: its take written out to the last of what was taken, an end of its
// own told with what was kept, and the sound then standing where the take ended, or
// where it began when the next step plays it (with nothing taken, the message is as it
// was). False when a take the disk could not hold had ended and said so already.
bool DeviceSession::endRecording(const std::shared_ptr<SoundStream> &stream, SoundStream::End end, bool atTakeEnd)
{
    takeRecorded();
    const bool here = currentStream() == stream;
    if (here) {
        clearStream();
        if (end == SoundStream::End::Overflow)
            cutTake(QStringLiteral("ο δισκος δεν προλαβαινε"));
        else if (end == SoundStream::End::Failed)
            cutTake(QStringLiteral("χαθηκε ο διακομιστης ηχου"));
        tellClipped();
    }
    m_at = atTakeEnd && m_takeStarted ? m_content->frames() : m_takeFrom;
    return here;
}

// What a stream calls when it has news: it rings the session's inbox without owning it.
std::function<void()> DeviceSession::ringer() const
{
    return [inbox = std::weak_ptr<Inbox<Message>>(m_inbox)] {
        if (const auto held = inbox.lock())
            held->ring();
    };
}

void DeviceSession::startPlaying(const Steps &steps)
{
    if (steps.from != transport::kWhereItStands)
        m_at = steps.from;
    if (m_at >= m_content->frames()) {
        // Nothing to play: the stream would only start and end.
        m_at = m_content->frames();
        tell(Fact::Kind::SoundEnded, steps.number);
        return;
    }
    const int channels = m_content->channels();
    qint64 ringFloats = qint64(m_content->sampleRate()) * channels / 2;
    ringFloats = qBound(kPlayRingFloatsMin, ringFloats, kPlayRingFloatsMax);
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Play, m_content->sampleRate(), channels,
                                                ringFloats / channels);
    stream->wake = ringer();
    stream->output = steps.output;
    m_readAt = m_at;
    if (publishStream(stream, m_at, steps.number))
        readAhead();
}

void DeviceSession::startRecording(const Steps &steps)
{
    if (steps.from != transport::kWhereItStands)
        m_at = steps.from;
    // The take itself begins with the first audio: a recording the server never starts
    // must not cut the message short at the position.
    m_takeStarted = false;
    m_takeFrom = m_at;
    const int rate = m_content->sampleRate();
    const int channels = m_content->channels();
    m_clips.emplace(rate, channels);
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Record, rate, channels,
                                                qint64(rate) * kRecordRingSeconds);
    stream->wake = ringer();
    publishStream(stream, m_at, steps.number);
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
        m_inbox->push({Message::Kind::Saved, {}, saved, error});
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
        tellProblem(Report::Kind::SaveFailed, message.error);
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
            const quint64 step = streamStep();
            m_engine->stop(stream);
            clearStream();
            cutTake(reason);
            tellClipped();
            m_at = m_takeStarted ? m_content->frames() : m_takeFrom;
            tell(Fact::Kind::SoundEnded, step);
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
    tellProblem(Report::Kind::RecordingCut,
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
    tellProblem(Report::Kind::TakeClipped,
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
    // Stopped is the window's silence, ahead of the step that follows it: that step
    // decides what the end means (a play during a recording plays the take), not this.
    if (end == SoundStream::End::None || end == SoundStream::End::Stopped)
        return;
    const quint64 step = streamStep();
    if (stream->kind == SoundStream::Kind::Play) {
        const qint64 heard = livePosition(step);
        m_at = end == SoundStream::End::Finished ? m_content->frames() : qBound<qint64>(m_at, heard, m_content->frames());
        // Until the window has the fact, it reads where the sound ended, not where the
        // stream began: a stop in between holds there.
        clearStream(step, m_at);
        tell(Fact::Kind::SoundEnded, step);
        return;
    }
    if (endRecording(stream, end, true))
        tell(Fact::Kind::SoundEnded, step);
}

// Orders never carried out (the open failed, or the session ended): a save among them
// is no longer waited for at exit. One posted after this is refused, and its sender
// counts it out.
void DeviceSession::dropRemaining()
{
    for (const Message &message : m_inbox->close()) {
        if (message.kind == Message::Kind::Steps)
            m_backlog.push_back(message);
    }
    for (const Message &message : m_backlog) {
        if (message.steps.save)
            m_saves->finish();
    }
    m_backlog.clear();
}

quint64 DeviceSession::streamStep() const
{
    std::lock_guard lock(m_mutex);
    return m_streamStep;
}

void DeviceSession::tell(Fact::Kind kind, quint64 step)
{
    Report report;
    report.fact = {kind, m_binding, step, m_handled, m_at, m_content && m_content->isOpen() ? m_content->frames() : 0};
    const Fact &f = report.fact;
    if (kind == Fact::Kind::Carried && f.handled == m_told.handled && f.at == m_told.at && f.length == m_told.length)
        return; // only news goes to the window
    m_told = f;
    if (kind == Fact::Kind::Opened) {
        report.rate = m_content->sampleRate();
        report.channels = m_content->channels();
    }
    m_report(report);
}

void DeviceSession::tellProblem(Report::Kind kind, const QString &reason)
{
    m_report({kind, {}, 0, 0, reason});
}
