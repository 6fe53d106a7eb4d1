// Writes the fuzzer's seed corpus: small WAVs in every encoding libsndfile writes, and
// the broken shapes the tests use. Usage: make_corpus <folder>
#include "wavtools.h"

#include <QDir>
#include <QFile>

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

void writeTone(const QString &path, int format, int rate, int channels, int frames)
{
    SF_INFO info {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return;
    std::vector<float> samples(size_t(frames * channels));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(0.5 * std::sin(double(i) * 0.3));
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(dir.path());
    const struct { const char *name; int format; int rate; int channels; } kinds[] = {
        {"u8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8000, 1},
        {"s16", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2},
        {"s24", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 1},
        {"s32", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 48000, 2},
        {"float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 22050, 1},
        {"double", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 16000, 1},
        {"ulaw", SF_FORMAT_WAV | SF_FORMAT_ULAW, 8000, 1},
        {"alaw", SF_FORMAT_WAV | SF_FORMAT_ALAW, 8000, 1},
        {"ima", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 11025, 1},
        {"msadpcm", SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM, 16000, 2},
        {"gsm", SF_FORMAT_WAV | SF_FORMAT_GSM610, 8000, 1},
        {"wavex", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 48000, 6},
        {"rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 8000, 1},
    };
    for (const auto &kind : kinds)
        writeTone(dir.filePath(QString::fromLatin1(kind.name) + QStringLiteral(".wav")), kind.format, kind.rate,
                  kind.channels, 300);
    const QByteArray pcm(64, '\x10');
    writeBytes(dir.filePath(QStringLiteral("header-only.wav")), wavtools::wavHeader(0, 1, 8000));
    writeBytes(dir.filePath(QStringLiteral("truncated.wav")), wavtools::wavHeader(2000, 1, 8000) + pcm);
    writeBytes(dir.filePath(QStringLiteral("lying.wav")), wavtools::wavHeader(0x7FFFFF00u, 2, 48000) + pcm);
    writeBytes(dir.filePath(QStringLiteral("zero-channels.wav")), wavtools::wavHeader(64, 0, 8000) + pcm);
    writeBytes(dir.filePath(QStringLiteral("many-channels.wav")), wavtools::wavHeader(64, 1000, 8000) + pcm);
    std::printf("%u seeds in %s\n", dir.entryList(QDir::Files).size(), argv[1]);
    return 0;
}
