#include "devicesession.h"

#include "content.h"
#include "soundengine.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <vector>

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

DeviceSession::DeviceSession(std::shared_ptr<SoundEngine> engine, QString path, Reporter reporter)
    : m_engine(std::move(engine)), m_path(std::move(path)), m_report(std::move(reporter))
{
}

DeviceSession::~DeviceSession() = default;

void DeviceSession::start(quint64 sequence)
{
    m_handled = sequence;
    // Detached: a thread stuck on a stalled disk is never joined by anyone; it holds the
    // session alive until its read returns and it sees it was abandoned.
    std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void DeviceSession::post(Command command, quint64 sequence, qint64 at)
{
    std::lock_guard lock(m_bell->mutex);
    m_queue.push_back({command, sequence, at});
    m_bell->cv.notify_one();
}

std::shared_ptr<SoundStream> DeviceSession::currentStream() const
{
    std::lock_guard lock(m_bell->mutex);
    return m_stream;
}

void DeviceSession::setStream(std::shared_ptr<SoundStream> stream, qint64 from)
{
    std::lock_guard lock(m_bell->mutex);
    m_stream = std::move(stream);
    m_streamFrom = from;
}

void DeviceSession::silence()
{
    if (const auto stream = currentStream())
        m_engine->stop(stream);
}

void DeviceSession::pauseSound()
{
    if (const auto stream = currentStream())
        m_engine->setPaused(stream, true);
}

void DeviceSession::abandon()
{
    silence();
    std::lock_guard lock(m_bell->mutex);
    m_abandoned = true;
    m_bell->cv.notify_one();
}

qint64 DeviceSession::livePosition() const
{
    std::lock_guard lock(m_bell->mutex);
    if (!m_stream)
        return -1;
    return m_streamFrom + m_stream->frames.load(std::memory_order_acquire);
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
        publish(Report::Kind::OpenFailed);
        return;
    }
    m_mode = Mode::Stopped;
    publish(Report::Kind::Opened);

    for (;;) {
        std::deque<Posted> jobs;
        bool abandoned = false;
        {
            std::unique_lock lock(m_bell->mutex);
            const auto ready = [this] { return !m_queue.empty() || m_abandoned || m_bell->rung; };
            if (m_stream)
                m_bell->cv.wait_for(lock, kPollWhileStreaming, ready);
            else
                m_bell->cv.wait(lock, ready);
            jobs.swap(m_queue);
            abandoned = m_abandoned;
            m_bell->rung = false;
        }
        for (const Posted &job : jobs) {
            // Once closed, nothing plays or records again; a save still goes ahead.
            if (abandoned && (job.command == Command::Play || job.command == Command::Record))
                continue;
            carryOut(job);
        }
        if (abandoned)
            break;
        noticeEnd();
        if (m_mode == Mode::Playing || m_mode == Mode::Paused)
            readAhead();
        else if (m_mode == Mode::Recording)
            takeRecorded();
        publish();
    }
    halt(-1);
    m_content.reset();
}

void DeviceSession::carryOut(const Posted &posted)
{
    m_handled = posted.sequence;
    switch (posted.command) {
    case Command::Play:
        if (m_mode == Mode::Paused) {
            if (const auto stream = currentStream())
                m_engine->setPaused(stream, false);
            m_mode = Mode::Playing;
        } else if (m_mode == Mode::Stopped) {
            startPlayback();
        }
        break;
    case Command::Pause:
        if (m_mode == Mode::Playing) {
            if (const auto stream = currentStream())
                m_engine->setPaused(stream, true);
            m_position = posted.at >= 0 ? posted.at : qMax<qint64>(0, livePosition());
            m_mode = Mode::Paused;
        }
        break;
    case Command::Stop:
        halt(posted.at);
        break;
    case Command::Rewind:
        halt(-1);
        m_position = 0;
        break;
    case Command::Record:
        if (m_mode == Mode::Stopped || m_mode == Mode::Paused) {
            halt(-1);
            startRecording();
        }
        break;
    case Command::Save: {
        halt(-1);
        QString error;
        if (!m_content->save(&error))
            publish(Report::Kind::SaveFailed, error);
        m_position = qMin(m_position, m_content->frames());
        break;
    }
    }
}

// Ends playing or recording; at is where the window saw the sound stop, when it did.
void DeviceSession::halt(qint64 at)
{
    const auto stream = currentStream();
    if (!stream)
        return;
    m_engine->stop(stream);
    if (stream->kind == SoundStream::Kind::Play) {
        if (at >= 0)
            m_position = at;
        else if (m_mode != Mode::Paused)
            m_position = qMax<qint64>(m_position, livePosition());
    } else {
        takeRecorded();
        m_position = m_takeStarted ? m_content->frames() : m_streamFrom;
    }
    setStream(nullptr, 0);
    m_mode = Mode::Stopped;
}

// What a stream calls when it has news: it rings the bell without owning the session.
std::function<void()> DeviceSession::ringer() const
{
    return [bell = std::weak_ptr<Bell>(m_bell)] {
        if (const auto held = bell.lock()) {
            std::lock_guard lock(held->mutex);
            held->rung = true;
            held->cv.notify_one();
        }
    };
}

void DeviceSession::startPlayback()
{
    if (m_position >= m_content->frames())
        return;
    const int channels = m_content->channels();
    qint64 ringFloats = qint64(m_content->sampleRate()) * channels / 2;
    ringFloats = qBound(kPlayRingFloatsMin, ringFloats, kPlayRingFloatsMax);
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Play, m_content->sampleRate(), channels,
                                                ringFloats / channels);
    stream->wake = ringer();
    m_readAt = m_position;
    setStream(stream, m_position);
    m_mode = Mode::Playing;
    m_engine->start(stream);
    readAhead();
}

void DeviceSession::startRecording()
{
    // The take itself begins with the first audio: a recording the server never starts
    // must not cut the message short at the position.
    m_takeStarted = false;
    const int rate = m_content->sampleRate();
    const int channels = m_content->channels();
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Record, rate, channels,
                                                qint64(rate) * kRecordRingSeconds);
    stream->wake = ringer();
    setStream(stream, m_position);
    m_mode = Mode::Recording;
    m_engine->start(stream);
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
        std::lock_guard lock(m_bell->mutex);
        if (!m_queue.empty() || m_abandoned)
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
            m_takeStarted = m_content->beginTake(m_streamFrom);
        if (!m_takeStarted || !m_content->appendTake(m_buffer.data(), got)) {
            // The temporary folder is full: the take ends with what it holds, and the
            // operator hears why rather than saving a short message unawares.
            const QString reason = systemReason(errno ? errno : EIO);
            m_engine->stop(stream);
            setStream(nullptr, 0);
            m_position = m_content->frames();
            m_mode = Mode::Stopped;
            publish(Report::Kind::RecordingCut, reason);
            return;
        }
    }
}

void DeviceSession::noticeEnd()
{
    const auto stream = currentStream();
    if (!stream)
        return;
    const SoundStream::End end = stream->end.load();
    if (end == SoundStream::End::None)
        return;
    if (stream->kind == SoundStream::Kind::Play) {
        m_position = end == SoundStream::End::Finished ? m_content->frames() : qMax<qint64>(m_position, livePosition());
        setStream(nullptr, 0);
        m_mode = Mode::Stopped;
        return;
    }
    takeRecorded();
    if (!currentStream())
        return; // the take itself could not go on
    const qint64 from = m_streamFrom;
    setStream(nullptr, 0);
    m_position = m_takeStarted ? m_content->frames() : from;
    m_mode = Mode::Stopped;
    if (end == SoundStream::End::Overflow)
        publish(Report::Kind::RecordingCut, QStringLiteral("the disk did not keep up"));
}

void DeviceSession::publish(Report::Kind kind, const QString &reason)
{
    Report report;
    report.kind = kind;
    report.mode = m_mode;
    report.position = m_position;
    report.handled = m_handled;
    report.reason = reason;
    if (m_content && m_content->isOpen()) {
        report.length = m_content->frames();
        report.rate = m_content->sampleRate();
        report.channels = m_content->channels();
    }
    // Only news goes to the window.
    if (kind == Report::Kind::State && report.mode == m_published.mode && report.position == m_published.position
        && report.length == m_published.length && report.handled == m_published.handled)
        return;
    if (kind == Report::Kind::State || kind == Report::Kind::Opened)
        m_published = report;
    m_report(report);
}
