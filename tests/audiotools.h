#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Helpers for tests that use real WAV files and the private sound server.
namespace audiotools {

// Writes a sine tone with libsndfile; format is an SF_FORMAT_* combination.
bool writeTone(const QString &path, double hz, double seconds, int rate, int channels, int format);
// Reads a whole file as mono floats (first channel); rate and frame count out.
QVector<float> readFile(const QString &path, int *rate = nullptr, int *channels = nullptr);
// Frequency of a clean tone by counting rising zero crossings over the loud part.
double toneFrequency(const QVector<float> &samples, int rate);
// True when the private server of scripts/pulse.sh is up.
bool soundServerRunning();
// How many of the program's streams the server holds: "sink-inputs" or "source-outputs".
int programStreams(const QString &kind);

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
