// libFuzzer target: whatever bytes a file named .wav holds, opening it, decoding it and
// reading its first buffer must neither crash, hang nor read out of bounds.
#include "content.h"

#include <QDir>
#include <QFile>

#include <cstdint>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

QString scratchPath()
{
    // Memory-backed where the machine has it: one file rewritten per input.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    return base + QStringLiteral("/vendrel9-fuzz-%1.wav").arg(::getpid());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString path = scratchPath();
    static const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    const bool written = ::write(fd, data, size) == ssize_t(size);
    ::close(fd);
    if (!written)
        return 0;

    Content content;
    if (content.openFile(path)) {
        const qint64 frames = qMin<qint64>(content.frames(), 4096);
        std::vector<float> buffer(size_t(frames) * size_t(content.channels()) + 1);
        const qint64 got = content.read(0, buffer.data(), frames);
        if (got < 0 || got > frames)
            __builtin_trap();
        // A second read from further in takes the seeking path.
        if (content.frames() > frames)
            content.read(content.frames() / 2, buffer.data(), qMin<qint64>(frames, 16));
    }
    return 0;
}
