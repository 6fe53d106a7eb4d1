#include "content.h"

#include "savetracker.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryFile>

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kChunkFrames = 16384;
constexpr int kMaxLinks = 40; // as the kernel follows them

int newRecordingFormat()
{
    return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
}

QString systemReason(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray procPath(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Where a save through this name lands: the name itself, or where the links at it lead,
// so that a link to the message saves into the message and stays a link.
QByteArray saveTarget(const QByteArray &path)
{
    QByteArray target = path;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st {};
        if (::lstat(target.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return target;
        QByteArray next(4096, Qt::Uninitialized);
        const ssize_t n = ::readlink(target.constData(), next.data(), size_t(next.size()));
        if (n <= 0)
            return target;
        next.truncate(n);
        if (!next.startsWith('/')) {
            const qsizetype slash = target.lastIndexOf('/');
            next = (slash >= 0 ? target.left(slash + 1) : QByteArray()) + next;
        }
        target = next;
    }
    return target;
}

// Only a regular file is ever replaced: a name that has come to stand for a device, a
// folder or a pipe is refused, and nothing is written beside it. As root a rename over
// /dev/ttyS0 would succeed.
bool checkTarget(const QByteArray &target, struct stat *old, bool *replacing, QString *error)
{
    *replacing = false;
    if (::lstat(target.constData(), old) == 0) {
        if (S_ISDIR(old->st_mode)) {
            *error = systemReason(EISDIR);
            return false;
        }
        if (!S_ISREG(old->st_mode)) {
            *error = QStringLiteral("δεν ειναι κανονικο αρχειο");
            return false;
        }
        *replacing = true;
        return true;
    }
    if (errno != ENOENT) {
        *error = systemReason(errno);
        return false;
    }
    return true;
}

// A descriptor that closes itself.
struct Fd
{
    int fd = -1;
    explicit Fd(int value = -1) : fd(value) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

// A temporary file beside the target while it is written: unnamed where the file system
// has them (nothing is ever left beside the message, whatever happens to the process),
// else named beside it, and told to the tracker for removal should the save be given up.
struct Temporary
{
    Fd fd;
    QByteArray folder;
    QByteArray name; // while one exists beside the target
    SaveTracker *tracker = nullptr;

    ~Temporary() { discard(); }

    void discard()
    {
        if (name.isEmpty())
            return;
        ::unlink(name.constData());
        forget();
    }
    void forget()
    {
        if (tracker && !name.isEmpty())
            tracker->removeTemporary(name.toStdString());
        name.clear();
    }
    QByteArray freshName(const QByteArray &base) const
    {
        return folder + "/." + base + ".vendrel9-" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
    }
    bool open(const QByteArray &target, QString *error)
    {
        const qsizetype slash = target.lastIndexOf('/');
        folder = slash > 0 ? target.left(slash) : (slash == 0 ? QByteArray("/") : QByteArray("."));
        fd.fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd.fd >= 0)
            return true;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            *error = systemReason(errno);
            return false;
        }
        const QByteArray base = target.mid(slash + 1);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QByteArray candidate = freshName(base);
            fd.fd = ::open(candidate.constData(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd.fd >= 0) {
                name = candidate;
                if (tracker)
                    tracker->addTemporary(name.toStdString());
                return true;
            }
            if (errno != EEXIST) {
                *error = systemReason(errno);
                return false;
            }
        }
        *error = systemReason(EEXIST);
        return false;
    }
    // Puts the written file at the target in one rename, the old one gone with it.
    bool commit(const QByteArray &target, bool replacing, QString *error)
    {
        if (name.isEmpty()) {
            // An unnamed file gets a name only now, for the rename.
            const QByteArray base = target.mid(target.lastIndexOf('/') + 1);
            for (int attempt = 0; name.isEmpty() && attempt < 100; ++attempt) {
                const QByteArray candidate = freshName(base);
                if (::linkat(AT_FDCWD, procPath(fd.fd).constData(), AT_FDCWD, candidate.constData(), AT_SYMLINK_FOLLOW) == 0) {
                    name = candidate;
                    if (tracker)
                        tracker->addTemporary(name.toStdString());
                } else if (errno != EEXIST) {
                    *error = systemReason(errno);
                    return false;
                }
            }
            if (name.isEmpty()) {
                *error = systemReason(EEXIST);
                return false;
            }
        }
        // Looked at once more just before: what stands there is still a regular file,
        // or still nothing, and nothing else is ever renamed over.
        struct stat now {};
        bool stillReplacing = false;
        if (!checkTarget(target, &now, &stillReplacing, error))
            return false;
        int renamed = -1;
        if (!replacing && !stillReplacing) {
            renamed = ::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
            if (renamed != 0 && errno == EINVAL)
                renamed = ::rename(name.constData(), target.constData());
        } else {
            renamed = ::rename(name.constData(), target.constData());
        }
        if (renamed != 0) {
            *error = systemReason(errno);
            return false;
        }
        forget();
        return true;
    }
};

} // namespace

Content::Snapshot::Snapshot(Snapshot &&other) noexcept
    : m_path(std::move(other.m_path)), m_rate(other.m_rate), m_channels(other.m_channels), m_format(other.m_format),
      m_source(std::exchange(other.m_source, -1)), m_split(other.m_split), m_takeFrames(other.m_takeFrames),
      m_take(std::move(other.m_take))
{
}

Content::Snapshot &Content::Snapshot::operator=(Snapshot &&other) noexcept
{
    if (this != &other) {
        if (m_source >= 0)
            ::close(m_source);
        m_path = std::move(other.m_path);
        m_rate = other.m_rate;
        m_channels = other.m_channels;
        m_format = other.m_format;
        m_source = std::exchange(other.m_source, -1);
        m_split = other.m_split;
        m_takeFrames = other.m_takeFrames;
        m_take = std::move(other.m_take);
    }
    return *this;
}

Content::Snapshot::~Snapshot()
{
    if (m_source >= 0)
        ::close(m_source);
}

bool Content::Snapshot::write(SaveTracker *tracker, QString *error) const
{
    const auto answered = [tracker] {
        if (tracker)
            tracker->progressed();
    };
    const QByteArray target = saveTarget(QFile::encodeName(m_path));
    struct stat old {};
    bool replacing = false;
    if (target.isEmpty() || !checkTarget(target, &old, &replacing, error))
        return false;
    // A file the user made read-only is not silently replaced, even where the process
    // could (root).
    if (replacing && ((old.st_mode & 0222) == 0 || ::access(target.constData(), W_OK) != 0)) {
        *error = systemReason(EACCES);
        return false;
    }

    // The bound file is read again through a description of its own: the binding's
    // thread goes on reading the same file for playback meanwhile.
    Fd sourceFd(m_source >= 0 ? ::open(procPath(m_source).constData(), O_RDONLY | O_CLOEXEC) : -1);
    if (m_split > 0 && sourceFd.fd < 0) {
        *error = systemReason(errno);
        return false;
    }
    SNDFILE *source = nullptr;
    if (m_split > 0) {
        SF_INFO sourceInfo {};
        // libsndfile closes what it is given on failure as on success.
        source = sf_open_fd(::fcntl(sourceFd.fd, F_DUPFD_CLOEXEC, 0), SFM_READ, &sourceInfo, SF_TRUE);
        if (!source) {
            *error = QString::fromUtf8(sf_strerror(nullptr));
            return false;
        }
    }
    const auto closeSource = qScopeGuard([&source] {
        if (source)
            sf_close(source);
    });
    answered();

    Temporary temporary;
    temporary.tracker = tracker;
    if (!temporary.open(target, error))
        return false;
    answered();
    SF_INFO info {};
    info.samplerate = m_rate;
    info.channels = m_channels;
    info.format = m_format;
    if (!sf_format_check(&info))
        info.format = newRecordingFormat();
    const int dupFd = ::fcntl(temporary.fd.fd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) {
        *error = systemReason(errno);
        return false;
    }
    SNDFILE *file = sf_open_fd(dupFd, SFM_WRITE, &info, SF_TRUE);
    if (!file) {
        *error = QString::fromUtf8(sf_strerror(nullptr));
        return false;
    }
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    std::vector<float> buffer(size_t(kChunkFrames) * size_t(m_channels));
    const qint64 frameBytes = qint64(sizeof(float)) * m_channels;
    const qint64 total = m_split + m_takeFrames;
    bool ok = true;
    for (qint64 at = 0; ok && at < total;) {
        qint64 got = 0;
        if (at < m_split) {
            got = qMax<sf_count_t>(0, sf_readf_float(source, buffer.data(), qMin(kChunkFrames, m_split - at)));
        } else if (m_take) {
            const ssize_t bytes = ::pread(m_take->handle(), buffer.data(), size_t(qMin(kChunkFrames, total - at) * frameBytes),
                                          (at - m_split) * frameBytes);
            got = bytes > 0 ? bytes / frameBytes : 0;
        }
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
        answered();
    }
    errno = 0;
    // sf_close writes the final header sizes; its failure is a failed save too.
    if (sf_close(file) != 0 && ok) {
        *error = errno ? systemReason(errno) : QString::fromUtf8(sf_strerror(nullptr));
        ok = false;
    }
    if (ok && ::fsync(temporary.fd.fd) != 0) {
        *error = systemReason(errno);
        ok = false;
    }
    if (!ok)
        return false;
    answered();
    if (replacing) {
        // The owner first: changing it clears set-id bits that the mode then restores.
        [[maybe_unused]] const int owned = ::fchown(temporary.fd.fd, old.st_uid, old.st_gid);
        [[maybe_unused]] const int moded = ::fchmod(temporary.fd.fd, old.st_mode & 07777);
    }
    if (!temporary.commit(target, replacing, error))
        return false;
    answered();
    return true;
}

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
    const int fd = ::open(procPath(handle).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ::close(handle);
    if (fd < 0)
        return false;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !adoptFile(path, fd)) {
        ::close(fd);
        return false;
    }
    return true;
}

// Replaces what the content held only once the new file is known to be readable; the
// content keeps fd from then on.
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
    m_fd = fd;
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
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
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
    // The binding never records while a save reads the take, so the take is its own.
    if (m_take && from >= m_split) {
        m_takeFrames = from - m_split;
        return ::ftruncate(m_take->handle(), m_takeFrames * qint64(sizeof(float)) * m_channels) == 0;
    }
    auto take = std::make_shared<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/vendrel9-take-XXXXXX.raw"));
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

Content::Snapshot Content::snapshot() const
{
    Snapshot s;
    s.m_path = m_path;
    s.m_rate = m_rate;
    s.m_channels = m_channels;
    s.m_format = m_format;
    s.m_source = m_fd >= 0 ? ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0) : -1;
    s.m_split = m_take ? m_split : m_fileFrames;
    s.m_takeFrames = m_take ? m_takeFrames : 0;
    s.m_take = m_take;
    return s;
}

bool Content::adoptSaved()
{
    return openFile(QString(m_path));
}

bool Content::save(QString *error)
{
    // Nothing recorded: the file's audio is already what the device holds.
    if (!m_open || !isModified())
        return true;
    if (!snapshot().write(nullptr, error))
        return false;
    // The device now holds exactly the saved file; reopening it lets the take go. Should
    // that fail, the take stays and still holds the same audio.
    adoptSaved();
    return true;
}
