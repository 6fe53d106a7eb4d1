#include "audiotools.h"

#include <QFile>
#include <QProcess>
#include <QThread>
#include <QtGlobal>

#include <sndfile.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace audiotools {

bool writeTone(const QString &path, double hz, double seconds, int rate, int channels, int format, double amplitude)
{
    SF_INFO info {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const qint64 frames = qint64(seconds * rate);
    std::vector<float> buffer(size_t(frames * channels));
    for (qint64 i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            buffer[size_t(i * channels + c)] = float(qBound(-1.0, amplitude * std::sin(2 * M_PI * hz * double(i) / rate), 1.0));
    const bool ok = sf_writef_float(file, buffer.data(), frames) == frames;
    return sf_close(file) == 0 && ok;
}

QVector<float> readFile(const QString &path, int *rate, int *channels)
{
    SF_INFO info {};
    SNDFILE *file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<float> all(size_t(info.frames * info.channels));
    sf_readf_float(file, all.data(), info.frames);
    sf_close(file);
    QVector<float> mono(info.frames);
    for (qint64 i = 0; i < info.frames; ++i)
        mono[i] = all[size_t(i * info.channels)];
    if (rate)
        *rate = info.samplerate;
    if (channels)
        *channels = info.channels;
    return mono;
}

namespace {

// Rising crossings with hysteresis, so coding noise near zero does not count twice, and
// silence between two pieces of a tone counts for nothing.
template<typename Each>
void risingCrossings(const QVector<float> &samples, float level, Each each)
{
    bool low = false;
    for (qsizetype i = 0; i < samples.size(); ++i) {
        if (samples[i] < -level) {
            low = true;
        } else if (low && samples[i] > level) {
            low = false;
            each(i);
        }
    }
}

} // namespace

double toneFrequency(const QVector<float> &samples, int rate)
{
    qsizetype first = -1, last = -1, crossings = 0;
    risingCrossings(samples, 0.1f, [&](qsizetype i) {
        if (first < 0)
            first = i;
        else
            ++crossings;
        last = i;
    });
    if (crossings < 2)
        return 0;
    return double(crossings) * rate / double(last - first);
}

qsizetype toneCycles(const QVector<float> &samples, float level)
{
    qsizetype cycles = 0;
    risingCrossings(samples, level, [&](qsizetype) { ++cycles; });
    return cycles;
}

bool soundServerRunning()
{
    return !qEnvironmentVariableIsEmpty("PULSE_SERVER") && !qEnvironmentVariableIsEmpty("V9_MONITOR");
}

namespace {

QString pactl(const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

int programStreams(const QString &kind)
{
    return int(pactl({QStringLiteral("list"), kind}).count(QStringLiteral("application.name = \"Vendrel9\"")));
}

ServerStream programStream(const QString &kind, const QString &applicationId)
{
    ServerStream current;
    const QString wanted = QStringLiteral("application.id = \"%1\"").arg(applicationId);
    for (const QString &raw : pactl({QStringLiteral("list"), kind}).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QStringLiteral("Sink Input #")) || line.startsWith(QStringLiteral("Source Output #")))
            current = {line.section(QLatin1Char('#'), 1), QString()};
        else if (line.startsWith(QStringLiteral("Sink: ")) || line.startsWith(QStringLiteral("Source: ")))
            current.device = line.section(QLatin1Char(' '), 1);
        // PipeWire lists a stream before its session manager has linked it anywhere.
        if (current.device == QStringLiteral("4294967295"))
            current.device.clear();
        else if (line == wanted)
            return current;
    }
    return {};
}

QString deviceIndex(const QString &kind, const QString &name)
{
    for (const QString &line : pactl({QStringLiteral("list"), QStringLiteral("short"), kind}).split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() > 1 && fields[1] == name)
            return fields[0];
    }
    return {};
}

bool setSourceVolume(const QString &source, double factor)
{
    int status = -1;
    pactl({QStringLiteral("set-source-volume"), source, QString::number(factor, 'f', 4)}, &status);
    return status == 0;
}

struct PipeSource::Impl
{
    QString fifo;
    QString module;
    std::thread writer;
    std::atomic<bool> done {false};
    std::atomic<bool> ok {false};
};

PipeSource::PipeSource(const QString &folder) : d(new Impl)
{
    // The server makes the FIFO itself: PulseAudio refuses one that exists already.
    d->fifo = folder + QStringLiteral("/v9mic.fifo");
    int status = -1;
    d->module = pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                       QStringLiteral("source_name=v9mic"), QStringLiteral("file=") + d->fifo,
                       QStringLiteral("format=float32le"), QStringLiteral("rate=48000"), QStringLiteral("channels=1")},
                      &status);
    if (status != 0)
        d->module.clear();
    for (int i = 0; loaded() && i < 50 && deviceIndex(QStringLiteral("sources"), name()).isEmpty(); ++i)
        QThread::msleep(100);
    if (loaded())
        pactl({QStringLiteral("set-default-source"), name()});
}

PipeSource::~PipeSource()
{
    if (d->writer.joinable())
        d->writer.join();
    if (loaded()) {
        pactl({QStringLiteral("set-default-source"), QStringLiteral("v9sine")});
        pactl({QStringLiteral("unload-module"), d->module});
    }
    delete d;
}

bool PipeSource::loaded() const
{
    return !d->module.isEmpty();
}

QString PipeSource::name() const
{
    return QStringLiteral("v9mic");
}

void PipeSource::feed(QVector<float> samples)
{
    d->writer = std::thread([d = d, samples = std::move(samples)] {
        // Read-write: opening never waits for the server's end, and a server that stops
        // reading leaves the writer to give up rather than hang the test.
        const int fd = ::open(QFile::encodeName(d->fifo).constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        const char *bytes = reinterpret_cast<const char *>(samples.constData());
        size_t left = size_t(samples.size()) * sizeof(float);
        int idle = 0;
        while (fd >= 0 && left > 0 && idle < 300) {
            pollfd ready {fd, POLLOUT, 0};
            if (::poll(&ready, 1, 100) <= 0) {
                ++idle;
                continue;
            }
            const ssize_t put = ::write(fd, bytes, left);
            if (put < 0 && errno != EAGAIN)
                break;
            if (put > 0) {
                bytes += put;
                left -= size_t(put);
                idle = 0;
            }
        }
        // What is still in the pipe is the server's to read: fed once it has.
        int queued = 0;
        for (int waited = 0; fd >= 0 && left == 0 && waited < 300; ++waited) {
            if (::ioctl(fd, FIONREAD, &queued) < 0 || queued == 0)
                break;
            QThread::msleep(100);
        }
        d->ok = fd >= 0 && left == 0;
        if (fd >= 0)
            ::close(fd);
        d->done = true;
    });
}

bool PipeSource::fed(int ms)
{
    for (int waited = 0; !d->done && waited < ms; waited += 20)
        QThread::msleep(20);
    return d->done && d->ok;
}

struct MonitorRecorder::Impl
{
    QProcess process;
};

MonitorRecorder::MonitorRecorder() : d(new Impl)
{
    d->process.start(QStringLiteral("parec"),
                     {QStringLiteral("--raw"), QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
                      QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20"),
                      QStringLiteral("-d"), qEnvironmentVariable("V9_MONITOR")});
    d->process.waitForStarted();
    // Recording only once the server hands the monitor's audio over: a busy server may
    // take a while to link a new stream, and what plays meanwhile would go unheard.
    d->process.waitForReadyRead(5000);
}

MonitorRecorder::~MonitorRecorder()
{
    d->process.kill();
    d->process.waitForFinished();
    delete d;
}

QVector<float> MonitorRecorder::stop()
{
    d->process.terminate();
    d->process.waitForFinished(3000);
    const QByteArray raw = d->process.readAllStandardOutput();
    QVector<float> samples(raw.size() / qsizetype(sizeof(float)));
    std::memcpy(samples.data(), raw.constData(), size_t(samples.size()) * sizeof(float));
    return samples;
}

} // namespace audiotools
