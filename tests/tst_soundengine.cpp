// The sound engine on its own, against the private server: the moments where a stop
// meets a stream's own end, thousands of times. Built with AddressSanitizer in the
// Debug pass of the suite, where a callback into a freed stream record is caught.
#include "audiotools.h"
#include "soundengine.h"

#include <QProcess>
#include <QtTest>

#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <thread>

using audiotools::soundServerRunning;


namespace {

// A message of the given length, all of it in the ring already, as the reader leaves it.
std::shared_ptr<SoundStream> message(double seconds)
{
    const qint64 frames = qint64(seconds * 48000);
    auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Play, 48000, 1, frames + 1);
    std::vector<float> tone(static_cast<size_t>(frames));
    for (qint64 i = 0; i < frames; ++i)
        tone[size_t(i)] = 0.5f * float(std::sin(2 * M_PI * 1000 * double(i) / 48000));
    stream->ring.write(tone.data(), frames);
    stream->inputDone = true;
    return stream;
}

bool ended(const SoundStream &stream)
{
    return stream.end.load() != SoundStream::End::None;
}

} // namespace

class TestSoundEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
    }

    // ΔΙΑΚΟΠΗ pressed at any moment of a short message: before the stream exists, while
    // it plays, as it drains, as the sink plays its last samples, after it ended.
    void stopMeetingTheEndOfAMessage()
    {
        const int rounds = qEnvironmentVariableIntValue("V9_STRESS_ROUNDS") > 0
            ? qEnvironmentVariableIntValue("V9_STRESS_ROUNDS")
            : 300;
        SoundEngine engine;
        auto warmUp = message(0.03);
        engine.start(warmUp);
        QTRY_VERIFY_WITH_TIMEOUT(ended(*warmUp), 10000);
        QCOMPARE(warmUp->end.load(), SoundStream::End::Finished);

        std::mt19937 random(20261209);
        std::uniform_int_distribution<int> delayUs(0, 60000);
        std::vector<std::shared_ptr<SoundStream>> streams;
        int finished = 0;
        for (int round = 0; round < rounds; ++round) {
            auto stream = message(0.03);
            engine.start(stream);
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
            engine.stop(stream);
            streams.push_back(stream);
            // Every stream ends, one way or the other; a few are kept to look at.
            if (streams.size() > 8) {
                QTRY_VERIFY_WITH_TIMEOUT(ended(*streams.front()), 10000);
                finished += streams.front()->end.load() == SoundStream::End::Finished ? 1 : 0;
                streams.erase(streams.begin());
            }
        }
        for (const auto &stream : streams)
            QTRY_VERIFY_WITH_TIMEOUT(ended(*stream), 10000);
        qInfo("%d of %d rounds played out before the stop", finished, rounds);
        // Nothing left behind on the server either.
        QTRY_COMPARE_WITH_TIMEOUT(audiotools::programStreams(QStringLiteral("sink-inputs")), 0, 10000);
    }
};

QTEST_GUILESS_MAIN(TestSoundEngine)
#include "tst_soundengine.moc"
