// The sound engine on its own, against the private server: the moments where a stop
// meets a stream's own end, thousands of times, and where a late reader's last piece
// meets it. Built with AddressSanitizer in the Debug pass of the suite, where a callback
// into a freed stream record is caught.
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

// Waits on the engine's thread, which empties the ring as it hands the audio over.
void untilTaken(const SoundStream &stream, bool spin)
{
    while (stream.ring.readableFrames() > 0 && !ended(stream)) {
        if (!spin)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
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

    // A message whose reader runs late: it hands the engine a piece at a time, each well
    // after the ring has run dry, and puts the last piece in and says it is finished
    // right as the engine empties the ring of the one before. The server is handed every
    // sample, and the sink plays the last piece whole.
    void endOfAMessageFromAStarvedReaderIsWhole()
    {
        const int stress = qEnvironmentVariableIntValue("V9_STRESS_ROUNDS");
        const int rounds = qMax(30, stress / 20);
        constexpr qint64 piece = 480; // 10 ms of a 1 kHz tone: whole cycles
        constexpr int pieces = 6;
        constexpr qint64 frames = piece * pieces;
        // The last piece is louder, so that it is counted apart: the private PulseAudio's
        // monitor misses the first few milliseconds of every stream, paplay's too.
        std::vector<float> quiet(static_cast<size_t>(piece)), loud(static_cast<size_t>(piece));
        for (qint64 i = 0; i < piece; ++i) {
            const float wave = float(std::sin(2 * M_PI * 1000 * double(i) / 48000));
            quiet[size_t(i)] = 0.25f * wave;
            loud[size_t(i)] = 0.5f * wave;
        }

        SoundEngine engine;
        audiotools::MonitorRecorder monitor;
        std::mt19937 random(20261210);
        // About the time the engine takes from emptying the ring to asking whether the
        // input is finished; each round lands the end somewhere else around it.
        std::uniform_int_distribution<int> edgeNs(0, 20000);
        for (int round = 0; round < rounds; ++round) {
            auto stream = std::make_shared<SoundStream>(SoundStream::Kind::Play, 48000, 1, piece * 2);
            const auto edge = std::chrono::nanoseconds(edgeNs(random));
            std::thread reader([&engine, &quiet, &loud, stream, edge] {
                for (int i = 0; i < pieces; ++i) {
                    const bool last = i + 1 == pieces;
                    untilTaken(*stream, last);
                    if (last) {
                        const auto at = std::chrono::steady_clock::now() + edge;
                        while (std::chrono::steady_clock::now() < at) {
                        }
                    } else if (i > 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(8));
                    }
                    stream->ring.write(last ? loud.data() : quiet.data(), piece);
                    if (last)
                        stream->inputDone.store(true, std::memory_order_release);
                    engine.kick();
                }
            });
            // Also when a round fails: a stream that ends lets the reader go.
            const auto joined = qScopeGuard([&] {
                engine.stop(stream);
                reader.join();
            });
            engine.start(stream);
            QTRY_VERIFY_WITH_TIMEOUT(ended(*stream), 10000);
            QCOMPARE(stream->end.load(), SoundStream::End::Finished);
            QCOMPARE(stream->frames.load(), frames);
            QCOMPARE(stream->ring.readableFrames(), qint64(0));
        }
        QTest::qWait(300); // the monitor hears the last of it
        // Ten cycles a round; the very first is not counted, nothing loud was low before it.
        const qsizetype expected = rounds * piece / 48 - 1;
        const qsizetype heard = audiotools::toneCycles(monitor.stop(), 0.375f);
        QCOMPARE(heard, expected);
    }
};

QTEST_GUILESS_MAIN(TestSoundEngine)
#include "tst_soundengine.moc"
