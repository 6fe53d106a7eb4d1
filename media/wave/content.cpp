#include "content.h"

#include <QFile>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QDir>

#include <sndfile.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kChunkFrames = 16384;

int newRecordingFormat()
{
    return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

QString systemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

} // namespace

Content::~Content()
{
    close();
}

bool Content::openFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return false;
    // Only a regular file is ever opened. A path checked by name and then opened by name
    // can be swapped in between for a link to a terminal, and opening a serial port
    // pulses its lines, which keys a radio wired to it. O_PATH opens nothing of the
    // device; the file it names is checked, then that very file is opened again through
    // /proc, whatever the name has come to point at meanwhile.
    const int handle = ::open(native.constData(), O_PATH | O_CLOEXEC);
    if (handle < 0)
        return false;
    struct stat st {};
    if (::fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(handle);
        return false;
    }
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(handle);
    const int fd = ::open(self.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ::close(handle);
    if (fd < 0)
        return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const bool ok = adoptFile(path, fd);
    ::close(fd);
    return ok;
}

// Replaces what the content held only once the new file is known to be readable.
bool Content::adoptFile(const QString &path, int fd)
{
    // libsndfile closes the descriptor it was given when the open fails, so it gets a
    // duplicate and ours stays ours to close.
    const int dupFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0)
        return false;
    SF_INFO info {};
    SNDFILE *file = sf_open_fd(dupFd, SFM_READ, &info, SF_TRUE);
    if (!file)
        return false;
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        sf_close(file);
        return false;
    }
    close();
    m_file = file;
    m_fileFrames = info.frames;
    m_cursor = 0;
    m_rate = info.samplerate;
    m_channels = info.channels;
    m_format = info.format;
    m_path = path;
    m_open = true;
    return true;
}

void Content::openNew(const QString &path)
{
    close();
    m_path = path;
    m_rate = 48000;
    m_channels = 1;
    m_format = newRecordingFormat();
    m_fileFrames = 0;
    m_open = true;
}

void Content::close()
{
    if (m_file)
        sf_close(m_file);
    m_file = nullptr;
    m_take.reset();
    m_open = false;
    m_path.clear();
    m_fileFrames = 0;
    m_cursor = -1;
    m_split = 0;
    m_takeFrames = 0;
}

qint64 Content::frames() const
{
    return m_take ? m_split + m_takeFrames : m_fileFrames;
}

qint64 Content::read(qint64 from, float *out, qint64 n)
{
    if (from < 0 || n <= 0 || from >= frames())
        return 0;
    n = qMin(n, frames() - from);
    qint64 done = 0;
    const qint64 fileEnd = m_take ? m_split : m_fileFrames;
    if (from < fileEnd && m_file) {
        const qint64 want = qMin(n, fileEnd - from);
        if (m_cursor != from) {
            if (sf_seek(m_file, from, SEEK_SET) < 0)
                return 0;
            m_cursor = from;
        }
        const qint64 got = qMax<sf_count_t>(0, sf_readf_float(m_file, out, want));
        m_cursor += got;
        done = got;
        // A header that promises more than the file holds ends the content here.
        if (got < want)
            return done;
    }
    if (m_take && done < n) {
        const qint64 frameBytes = qint64(sizeof(float)) * m_channels;
        const qint64 offset = (from + done - m_split) * frameBytes;
        const ssize_t got = ::pread(m_take->handle(), out + done * m_channels,
                                    size_t((n - done) * frameBytes), offset);
        if (got > 0)
            done += got / frameBytes;
    }
    return done;
}

bool Content::beginTake(qint64 from)
{
    from = qBound<qint64>(0, from, frames());
    if (m_take && from >= m_split) {
        m_takeFrames = from - m_split;
        return ::ftruncate(m_take->handle(), m_takeFrames * qint64(sizeof(float)) * m_channels) == 0;
    }
    auto take = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/vendrel9-take-XXXXXX.raw"));
    if (!take->open())
        return false;
    m_take = std::move(take);
    m_split = from;
    m_takeFrames = 0;
    return true;
}

bool Content::appendTake(const float *frames, qint64 n)
{
    if (!m_take || n <= 0)
        return m_take != nullptr;
    const qint64 frameBytes = qint64(sizeof(float)) * m_channels;
    const char *bytes = reinterpret_cast<const char *>(frames);
    qint64 left = n * frameBytes;
    qint64 offset = m_takeFrames * frameBytes;
    while (left > 0) {
        const ssize_t put = ::pwrite(m_take->handle(), bytes, size_t(left), offset);
        if (put <= 0)
            return false;
        bytes += put;
        left -= put;
        offset += put;
    }
    m_takeFrames += n;
    return true;
}

bool Content::save(QString *error)
{
    if (!m_open)
        return true;
    // Nothing recorded: the file's audio is already what the device holds.
    if (!isModified())
        return true;

    // A file the user made read-only is not silently replaced, even where the process
    // could (root); the new file keeps the old one's permissions and, where allowed, owner.
    const QByteArray native = QFile::encodeName(m_path);
    struct stat old {};
    const bool replacing = ::stat(native.constData(), &old) == 0 && S_ISREG(old.st_mode);
    if (replacing && ((old.st_mode & 0222) == 0 || ::access(native.constData(), W_OK) != 0)) {
        *error = systemReason(EACCES);
        return false;
    }

    // Never write into the target itself: a failure half-way would leave a broken
    // message. QSaveFile writes a sibling and renames it over the target on commit.
    QSaveFile out(m_path);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly)) {
        *error = out.errorString();
        return false;
    }
    SF_INFO info {};
    info.samplerate = m_rate;
    info.channels = m_channels;
    info.format = m_format;
    if (!sf_format_check(&info))
        info.format = newRecordingFormat();
    const int dupFd = ::fcntl(out.handle(), F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) {
        *error = systemReason(errno);
        out.cancelWriting();
        return false;
    }
    SNDFILE *file = sf_open_fd(dupFd, SFM_WRITE, &info, SF_TRUE);
    if (!file) {
        *error = QString::fromUtf8(sf_strerror(nullptr));
        out.cancelWriting();
        return false;
    }
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    std::vector<float> buffer(size_t(kChunkFrames) * size_t(m_channels));
    const qint64 total = frames();
    bool ok = true;
    for (qint64 at = 0; ok && at < total;) {
        const qint64 got = read(at, buffer.data(), qMin(kChunkFrames, total - at));
        if (got <= 0) {
            *error = QStringLiteral("read error");
            ok = false;
            break;
        }
        errno = 0;
        if (sf_writef_float(file, buffer.data(), got) != got) {
            *error = errno ? systemReason(errno) : QString::fromUtf8(sf_strerror(file));
            ok = false;
        }
        at += got;
    }
    errno = 0;
    // sf_close writes the final header sizes; its failure is a failed save too.
    if (sf_close(file) != 0 && ok) {
        *error = errno ? systemReason(errno) : QString::fromUtf8(sf_strerror(nullptr));
        ok = false;
    }
    if (!ok) {
        out.cancelWriting();
        return false;
    }
    if (replacing) {
        // The owner first: changing it clears set-id bits that the mode then restores.
        [[maybe_unused]] const int owned = ::fchown(out.handle(), old.st_uid, old.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(out.handle(), old.st_mode & 07777);
    }
    if (!out.commit()) {
        *error = out.errorString();
        return false;
    }

    // The device now holds exactly the saved file; reopening it lets the take go. Should
    // that fail, the take stays and still holds the same audio.
    openFile(QString(m_path));
    return true;
}
