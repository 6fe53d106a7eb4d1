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

double toneFrequency(const QVector<float> &samples, int rate)
{
    // Rising crossings with hysteresis, so coding noise near zero does not count twice.
    qsizetype first = -1, last = -1, crossings = 0;
    bool low = false;
    for (qsizetype i = 0; i < samples.size(); ++i) {
        if (samples[i] < -0.1f) {
            low = true;
        } else if (low && samples[i] > 0.1f) {
            low = false;
            if (first < 0)
                first = i;
            else
                ++crossings;
            last = i;
        }
    }
    if (crossings < 2)
        return 0;
    return double(crossings) * rate / double(last - first);
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
    QThread::msleep(200); // let the recording stream connect
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
