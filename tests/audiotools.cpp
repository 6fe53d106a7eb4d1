#include "audiotools.h"

#include <QProcess>
#include <QThread>
#include <QtGlobal>

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace audiotools {

bool writeTone(const QString &path, double hz, double seconds, int rate, int channels, int format)
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
            buffer[size_t(i * channels + c)] = float(0.5 * std::sin(2 * M_PI * hz * double(i) / rate));
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

int programStreams(const QString &kind)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), kind});
    pactl.waitForFinished(10000);
    return int(QString::fromUtf8(pactl.readAllStandardOutput()).count(QStringLiteral("application.name = \"Vendrel9\"")));
}

ServerStream programStream(const QString &kind, const QString &applicationId)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), kind});
    pactl.waitForFinished(10000);
    ServerStream current;
    const QString wanted = QStringLiteral("application.id = \"%1\"").arg(applicationId);
    for (const QString &raw : QString::fromUtf8(pactl.readAllStandardOutput()).split(QLatin1Char('\n'))) {
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
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), kind});
    pactl.waitForFinished(10000);
    for (const QString &line : QString::fromUtf8(pactl.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() > 1 && fields[1] == name)
            return fields[0];
    }
    return {};
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
