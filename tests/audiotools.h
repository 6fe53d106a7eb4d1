#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Helpers for tests that use real WAV files and the private sound server.
namespace audiotools {

// Writes a sine tone with libsndfile; format is an SF_FORMAT_* combination. Half scale
// unless told otherwise; above 1 the wave is clipped at full scale, as an overdriven
// recording made elsewhere would be.
bool writeTone(const QString &path, double hz, double seconds, int rate, int channels, int format,
               double amplitude = 0.5);
// Reads a whole file as mono floats (first channel); rate and frame count out.
QVector<float> readFile(const QString &path, int *rate = nullptr, int *channels = nullptr);
// Frequency of a clean tone by counting rising zero crossings over the loud part.
double toneFrequency(const QVector<float> &samples, int rate);
// Cycles of a tone that swing past `level` both ways, however silence broke the tone up:
// its rising crossings, the first one counted only once the tone has been low before.
qsizetype toneCycles(const QVector<float> &samples, float level = 0.1f);
// True when the private server of scripts/pulse.sh is up.
bool soundServerRunning();
// How many of the program's streams the server holds: "sink-inputs" or "source-outputs".
int programStreams(const QString &kind);
// The stream of that kind with this application id: its own index and the index of the
// sink or source it is on, empty while it is on none yet; both empty without a stream.
struct ServerStream
{
    QString index;
    QString device;
};
ServerStream programStream(const QString &kind, const QString &applicationId);
// The index of the sink or source of that name ("sinks" or "sources").
QString deviceIndex(const QString &kind, const QString &name);

// Sets a source's volume on the private server, as a linear factor of its signal.
bool setSourceVolume(const QString &source, double factor);

// A source of the test's own on the private server, made the default input while it
// lives: what the test hands it (48 kHz mono float) is what a recording takes, on either
// server. The scripts' sine source comes back as the default afterwards.
class PipeSource
{
public:
    explicit PipeSource(const QString &folder);
    ~PipeSource();
    bool loaded() const;
    QString name() const;
    // Writes the samples on a thread of its own, as fast as the server reads them.
    void feed(QVector<float> samples);
    // True once everything fed has gone to the server; false if it would not take it.
    bool fed(int ms = 30000);

private:
    struct Impl;
    Impl *d;
};

// Records the null sink's monitor (48 kHz mono float) while it runs.
class MonitorRecorder
{
public:
    MonitorRecorder();
    ~MonitorRecorder();
    QVector<float> stop();

private:
    struct Impl;
    Impl *d;
};

} // namespace audiotools
