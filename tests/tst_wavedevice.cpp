#include "audiotools.h"
#include "devicetools.h"
#include "wavtools.h"
#include "content.h"
#include "wavedevice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace audiotools;
using namespace devicetools;
using wavtools::wavHeader;
using Mode = IAudioDevice::Mode;

namespace {

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// What the media bar reads while the sound moves, ten times a second as it redraws.
struct LevelReadings
{
    QVector<double> levels; // while there was sound to read
    bool clipping = false;
    double median() const
    {
        QVector<double> sorted = levels;
        std::sort(sorted.begin(), sorted.end());
        return sorted.isEmpty() ? 0.0 : sorted[sorted.size() / 2];
    }
    double loudest() const { return levels.isEmpty() ? 0.0 : *std::max_element(levels.begin(), levels.end()); }
};

LevelReadings readLevel(const WaveDevice &device, int ms)
{
    LevelReadings readings;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms && device.mode() != Mode::Stopped) {
        QTest::qWait(100);
        if (device.level() > 0)
            readings.levels << device.level();
        readings.clipping = readings.clipping || device.clipping();
    }
    return readings;
}

double dB(double level)
{
    return 20 * std::log10(level);
}

// The longest stretch of sound in a recording of the monitor (48 kHz), in samples; gaps
// shorter than 50 ms, the server breaking up, do not end a stretch.
qsizetype longestSound(const QVector<float> &heard)
{
    qsizetype longest = 0, from = -1, last = -1;
    for (qsizetype i = 0; i < heard.size(); ++i) {
        if (std::abs(heard[i]) < 0.05f)
            continue;
        if (from < 0 || i - last > 48 * 50)
            from = i;
        last = i;
        longest = qMax(longest, last - from + 1);
    }
    return longest;
}

} // namespace

class TestWaveDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    // The content model, on real files but without a sound card.
    void takeReplacesEverythingAfterItsStart()
    {
        const QString path = m_dir.filePath(QStringLiteral("take.wav"));
        QVERIFY(writeTone(path, 1000, 0.1, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT)); // 800 frames
        const QVector<float> original = readFile(path);
        Content content;
        QVERIFY(content.openFile(path));
        QCOMPARE(content.frames(), qint64(800));
        QVERIFY(!content.isModified());
        QVERIFY(content.beginTake(400));
        const std::vector<float> take(100, 0.25f);
        QVERIFY(content.appendTake(take.data(), 100));
        QCOMPARE(content.frames(), qint64(500));
        // Recording again inside the take keeps what came before the new start.
        QVERIFY(content.beginTake(450));
        QVERIFY(content.appendTake(take.data(), 10));
        QCOMPARE(content.frames(), qint64(460));

        QString error;
        QVERIFY2(content.save(&error), qPrintable(error));
        QVERIFY(!content.isModified());
        const QVector<float> saved = readFile(path);
        QCOMPARE(saved.size(), 460);
        for (int i = 0; i < 400; ++i)
            QCOMPARE(saved[i], original[i]);
        for (int i = 400; i < 460; ++i)
            QCOMPARE(saved[i], 0.25f);
    }

    void everyWavEncodingOpensAtItsOwnFormat_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("PCM u8") << (SF_FORMAT_WAV | SF_FORMAT_PCM_U8) << 8000 << 1;
        QTest::newRow("PCM 16") << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << 44100 << 2;
        QTest::newRow("PCM 24") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 96000 << 1;
        QTest::newRow("PCM 32") << (SF_FORMAT_WAV | SF_FORMAT_PCM_32) << 48000 << 2;
        QTest::newRow("float") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 22050 << 1;
        QTest::newRow("mu-law") << (SF_FORMAT_WAV | SF_FORMAT_ULAW) << 8000 << 1;
        QTest::newRow("A-law") << (SF_FORMAT_WAV | SF_FORMAT_ALAW) << 8000 << 1;
        QTest::newRow("IMA ADPCM") << (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM) << 11025 << 1;
        QTest::newRow("MS ADPCM") << (SF_FORMAT_WAV | SF_FORMAT_MS_ADPCM) << 16000 << 2;
        QTest::newRow("extensible") << (SF_FORMAT_WAVEX | SF_FORMAT_PCM_16) << 48000 << 6;
    }

    void everyWavEncodingOpensAtItsOwnFormat()
    {
        QFETCH(int, format);
        QFETCH(int, rate);
        QFETCH(int, channels);
        const QString path = m_dir.filePath(QStringLiteral("enc-%1.wav").arg(format, 0, 16));
        QVERIFY(writeTone(path, 400, 0.25, rate, channels, format));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QCOMPARE(device.sampleRate(), rate);
        QCOMPARE(device.channelCount(), channels);
        QVERIFY(qAbs(device.length() - rate / 4) <= 1024); // ADPCM pads to its blocks
        Content content;
        QVERIFY(content.openFile(path));
        std::vector<float> frames(size_t(content.frames() * channels));
        QCOMPARE(content.read(0, frames.data(), content.frames()), content.frames());
        QVector<float> first(content.frames());
        for (qint64 i = 0; i < content.frames(); ++i)
            first[i] = frames[size_t(i * channels)];
        QVERIFY(qAbs(toneFrequency(first, rate) - 400) < 8);
        // Playing every one costs seconds on the test server; a few stand for the rest.
        const bool play = format == (SF_FORMAT_WAV | SF_FORMAT_PCM_U8) || format == (SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM)
                          || format == (SF_FORMAT_WAVEX | SF_FORMAT_PCM_16);
        if (play && soundServerRunning()) {
            device.play(IAudioDevice::Output::Desk);
            QTRY_COMPARE(device.mode(), Mode::Playing);
            QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 5000);
        }
    }

    void saveWithNothingRecordedLeavesTheFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("keep.wav"));
        QVERIFY(writeTone(path, 500, 0.2, 22050, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const QByteArray before = fileBytes(path);
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QVERIFY(!saveAndSettle(device).failed);
        QCOMPARE(fileBytes(path), before);
    }

    void failedSaveKeepsOldFileAndRecording()
    {
        const QString folder = m_dir.filePath(QStringLiteral("atomic"));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/cq.wav");
        QVERIFY(writeTone(path, 700, 0.05, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const QByteArray before = fileBytes(path);
        Content content;
        QVERIFY(content.openFile(path));
        QVERIFY(content.beginTake(0));
        const std::vector<float> take(48000, 0.1f); // far larger than the limit below
        QVERIFY(content.appendTake(take.data(), qint64(take.size())));

        // A full disk, as the process sees it: writes past 4 KiB fail with EFBIG.
        rlimit old {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 4096;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QString error;
        const bool saved = content.save(&error);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!saved);
        QVERIFY(!error.isEmpty());
        QCOMPARE(fileBytes(path), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList {QStringLiteral("cq.wav")});
        QVERIFY(content.isModified()); // the recording is still there to save again
        QVERIFY2(content.save(&error), qPrintable(error));
        QCOMPARE(readFile(path).size(), 48000);
    }

    void saveKeepsPermissionsAndRefusesReadOnlyFiles()
    {
        const QString path = m_dir.filePath(QStringLiteral("modes.wav"));
        QVERIFY(writeTone(path, 700, 0.05, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0640), 0);
        const std::vector<float> take(800, 0.1f);
        {
            Content content;
            QVERIFY(content.openFile(path));
            QVERIFY(content.beginTake(0));
            QVERIFY(content.appendTake(take.data(), 800));
            QString error;
            QVERIFY2(content.save(&error), qPrintable(error));
        }
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0640);

        // Made read-only by its owner: reported, never replaced, even for root.
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0444), 0);
        const QByteArray before = fileBytes(path);
        Content content;
        QVERIFY(content.openFile(path));
        QVERIFY(content.beginTake(0));
        QVERIFY(content.appendTake(take.data(), 400));
        QString error;
        QVERIFY(!content.save(&error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(fileBytes(path), before);
        QVERIFY(content.isModified()); // kept, to save elsewhere or once writable
    }

    void saveIntoAFolderFailsWithAReason()
    {
        const QString path = m_dir.filePath(QStringLiteral("folder.wav"));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path)); // new recording
        QVERIFY(QDir().mkpath(path)); // the name becomes a folder before the save
        Content content;
        content.openNew(path);
        QVERIFY(content.beginTake(0));
        const std::vector<float> take(100, 0.1f);
        QVERIFY(content.appendTake(take.data(), 100));
        QString error;
        QVERIFY(!content.save(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo(path).isDir());
    }

    // A name that has come to stand for something other than a regular file (a link to a
    // device node, a pipe) is never replaced, not even by root, and nothing is written
    // beside it.
    void saveNeverReplacesAnythingButARegularFile()
    {
        QTemporaryDir dir;
        const QString message = dir.filePath(QStringLiteral("cq.wav"));
        QVERIFY(writeTone(message, 700, 0.05, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const QString devices = dir.filePath(QStringLiteral("dev"));
        QVERIFY(QDir().mkpath(devices));
        QStringList targets {devices + QStringLiteral("/fifo")};
        QCOMPARE(::mkfifo(QFile::encodeName(targets.first()).constData(), 0600), 0);
        // As root, a character device with /dev/null's numbers; nobody else may make one.
        const QString node = devices + QStringLiteral("/node");
        if (::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0600, makedev(1, 3)) == 0)
            targets << node;
        for (const QString &target : targets) {
            Content content;
            QVERIFY(content.openFile(message));
            QVERIFY(content.beginTake(0));
            const std::vector<float> take(400, 0.1f);
            QVERIFY(content.appendTake(take.data(), 400));
            // The bound name now leads elsewhere, as a swapped link would have it.
            QVERIFY(QFile::remove(message));
            QVERIFY(QFile::link(target, message));
            QString error;
            QVERIFY(!content.save(&error));
            QVERIFY2(!error.isEmpty(), qPrintable(target));
            struct stat st {};
            QCOMPARE(::lstat(QFile::encodeName(target).constData(), &st), 0);
            QVERIFY(!S_ISREG(st.st_mode));
            QCOMPARE(QDir(devices).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), targets.size());
            QVERIFY(QFile::remove(message));
            QVERIFY(writeTone(message, 700, 0.05, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        }
        qInfo("refused: %s", qPrintable(targets.join(QStringLiteral(", "))));
    }

    void newNameOpensAnEmptyRecording()
    {
        WaveDevice device;
        QVERIFY(openAndSettle(device, m_dir.filePath(QStringLiteral("fresh.WAV"))));
        QCOMPARE(device.length(), qint64(0));
        QCOMPARE(device.sampleRate(), 48000);
        QCOMPARE(device.channelCount(), 1);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("fresh.WAV")))); // nothing written yet
        device.close();
        QVERIFY(!openAndSettle(device, m_dir.filePath(QStringLiteral("fresh.txt"))));
        QVERIFY(!openAndSettle(device, m_dir.filePath(QStringLiteral("no/such/folder.wav"))));
        QCOMPARE(device.mode(), Mode::Closed);
        QVERIFY(device.path().isEmpty());
    }

    void openOnAnOpenDeviceIsRefused()
    {
        const QString a = m_dir.filePath(QStringLiteral("a.wav"));
        QVERIFY(writeTone(a, 400, 0.1, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        WaveDevice device;
        QVERIFY(device.open(a));
        // Refused while the first open is still under way, and once it is done.
        QVERIFY(!device.open(m_dir.filePath(QStringLiteral("other.wav"))));
        QVERIFY(settled(device));
        QVERIFY(!device.open(m_dir.filePath(QStringLiteral("other.wav"))));
        QCOMPARE(device.path(), a);
        QCOMPARE(device.mode(), Mode::Stopped);
    }

    void hostilePathsNeverBlockOrCrash_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("opens");
        const auto make = [this](const char *name, const QByteArray &bytes) {
            const QString path = m_dir.filePath(QString::fromLatin1(name));
            writeBytes(path, bytes);
            return path;
        };
        const QString fifo = m_dir.filePath(QStringLiteral("fifo.wav"));
        ::mkfifo(fifo.toLocal8Bit().constData(), 0600);
        QByteArray pcm(2000, '\x10');
        QByteArray random(4096, 0);
        for (int i = 0; i < random.size(); ++i)
            random[i] = char((i * 7919 + 13) % 251);
        QTest::newRow("fifo without writer") << fifo << false;
        QTest::newRow("folder") << m_dir.path() << false;
        QTest::newRow("/dev/zero") << QStringLiteral("/dev/zero") << false;
        QTest::newRow("/dev/urandom") << QStringLiteral("/dev/urandom") << false;
        QTest::newRow("empty file") << make("empty.wav", QByteArray()) << false;
        QTest::newRow("header, no data") << make("header.wav", wavHeader(0, 1, 8000)) << true;
        QTest::newRow("truncated data") << make("truncated.wav", wavHeader(2000, 1, 8000) + pcm.left(500)) << true;
        QTest::newRow("lying size") << make("lying.wav", wavHeader(0x7FFFFF00u, 1, 8000) + pcm) << true;
        QTest::newRow("zero channels") << make("zeroch.wav", wavHeader(2000, 0, 8000) + pcm) << false;
        QTest::newRow("zero rate") << make("zerorate.wav", wavHeader(2000, 1, 0) + pcm) << false;
        QTest::newRow("random bytes") << make("random.wav", random) << false;
        QTest::newRow("text") << make("text.wav", QByteArray("73 de Vendrel9\n")) << false;
        QTest::newRow("missing") << m_dir.filePath(QStringLiteral("missing.txt")) << false;
    }

    void hostilePathsNeverBlockOrCrash()
    {
        QFETCH(QString, path);
        QFETCH(bool, opens);
        WaveDevice device;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(device.open(path));
        // Commands only post: generous bounds, for a busy machine.
        QVERIFY(clock.elapsed() < 100);
        QVERIFY(settled(device));
        QCOMPARE(device.mode() != Mode::Closed, opens);
        device.play(IAudioDevice::Output::Desk);
        device.record();
        device.stop();
        QVERIFY(!saveAndSettle(device).failed);
        device.close();
        QVERIFY(clock.elapsed() < 5000);
    }

    // Bar commands given while the window still shows opening a file that cannot be
    // opened: at once, or once its binding has given up but before the window has heard.
    // The device ends closed and idle, the next file opens, and the exit says nothing of
    // a save nobody asked for.
    void failedOpenLeavesNoCommandOrSaveBehind_data()
    {
        QTest::addColumn<int>("afterMs"); // when the commands come, after the open
        QTest::newRow("at once") << 0;
        QTest::newRow("once it has failed") << 300;
    }

    void failedOpenLeavesNoCommandOrSaveBehind()
    {
        QFETCH(int, afterMs);
        const QString path = m_dir.filePath(QStringLiteral("unopenable.wav"));
        QVERIFY(writeBytes(path, QByteArray("73 de Vendrel9\n")));
        WaveDevice device;
        QVERIFY(device.open(path));
        // No event is handled meanwhile, so the window still shows the file opening.
        QThread::msleep(afterMs);
        QCOMPARE(device.mode(), Mode::Opening);
        device.play(IAudioDevice::Output::Desk);
        device.save();
        device.pause();
        device.stop();
        device.record();
        device.stop();
        device.save();
        QVERIFY(settled(device));
        QCOMPARE(device.mode(), Mode::Closed);
        QVERIFY(device.path().isEmpty());
        QCOMPARE(device.savesPending(), 0);
        QCOMPARE(finishSavesSays(device, std::chrono::milliseconds(500)), QByteArray());
        const QString good = m_dir.filePath(QStringLiteral("after-unopenable.wav"));
        QVERIFY(writeTone(good, 400, 0.1, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        QVERIFY(openAndSettle(device, good));
    }

    void playsAToneIntoTheSoundServer()
    {
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("tone.wav"));
        QVERIFY(writeTone(path, 1000, 0.6, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        MonitorRecorder monitor;
        device.play(IAudioDevice::Output::Desk);
        QTRY_COMPARE(device.mode(), Mode::Playing);
        QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 5000);
        QCOMPARE(device.position(), device.length()); // the end leaves it at the end
        const QVector<float> heard = monitor.stop();
        const double hz = toneFrequency(heard, 48000);
        QVERIFY2(qAbs(hz - 1000) < 10, qPrintable(QString::number(hz)));
    }

    void stopKeepsThePositionAndStartRewinds()
    {
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("long.wav"));
        QVERIFY(writeTone(path, 300, 3.0, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        device.play(IAudioDevice::Output::Desk);
        // The position is awaited rather than timed: a busy machine may start late.
        QTRY_VERIFY_WITH_TIMEOUT(device.position() > 0, 5000);
        device.pause();
        QCOMPARE(device.mode(), Mode::Paused);
        const qint64 paused = device.position();
        QVERIFY(paused > 0 && paused < device.length());
        QTest::qWait(100);
        QCOMPARE(device.position(), paused);
        device.play(IAudioDevice::Output::Desk);
        QTRY_COMPARE(device.mode(), Mode::Playing);
        QTRY_VERIFY_WITH_TIMEOUT(device.position() > paused, 5000);
        device.stop();
        QCOMPARE(device.mode(), Mode::Stopped);
        const qint64 stopped = device.position();
        QTest::qWait(100);
        QCOMPARE(device.position(), stopped);
        device.rewind();
        QCOMPARE(device.position(), qint64(0));
    }

    // ΠΑΥΣΗ pressed at every moment of the playback stream's making, from before the
    // binding has made it to after the server has: nothing is heard while paused, and
    // ΑΝΑΠΑΡΑΓΩΓΗ then plays on from there. A pause that did not hold would be heard
    // as long as it was held.
    void pauseHoldsWhileTheStreamIsMade()
    {
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("paused.wav"));
        QVERIFY(writeTone(path, 1000, 3.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        constexpr int heldMs = 600;
        MonitorRecorder monitor;
        // The server makes a stream within a millisecond or so on a quiet machine.
        for (const int afterUs : {0, 0, 0, 50, 100, 150, 200, 300, 400, 500, 700, 1000, 2000, 5000, 10000, 40000}) {
            device.play(IAudioDevice::Output::Desk);
            QThread::usleep(afterUs);
            device.pause();
            QCOMPARE(device.mode(), Mode::Paused);
            QTest::qWait(heldMs);
            QCOMPARE(device.mode(), Mode::Paused);
            const qint64 pausedAt = device.position();
            device.play(IAudioDevice::Output::Desk);
            QTRY_VERIFY_WITH_TIMEOUT(device.position() > pausedAt, 5000);
            device.stop();
            device.rewind();
            QVERIFY(settled(device));
        }
        const qsizetype longest = longestSound(monitor.stop());
        QVERIFY2(longest > 0 && longest < 48 * heldMs, qPrintable(QStringLiteral("%1 ms at once").arg(longest / 48)));
    }

    void recordsTheServersDefaultSourceAndSaves()
    {
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        // A second source made the default where the server can make one: the device
        // must follow the server's default, not the first source it lists.
        double expected = qEnvironmentVariable("V9_SINE_HZ").toDouble();
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"), {QStringLiteral("load-module"), QStringLiteral("module-sine-source"),
                                              QStringLiteral("source_name=v9decoy"), QStringLiteral("frequency=660"),
                                              QStringLiteral("rate=48000")});
        QVERIFY(pactl.waitForFinished());
        const QByteArray module = pactl.readAllStandardOutput().trimmed();
        if (pactl.exitCode() == 0 && !module.isEmpty()) {
            QCOMPARE(QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("v9decoy")}), 0);
            expected = 660;
        }
        const auto restore = qScopeGuard([module] {
            if (module.isEmpty())
                return;
            QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("v9sine")});
            QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("unload-module"), QString::fromLatin1(module)});
        });

        const QString path = m_dir.filePath(QStringLiteral("recorded.wav"));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        device.record();
        QTRY_COMPARE(device.mode(), Mode::Recording);
        QTest::qWait(1000);
        device.stop();
        QCOMPARE(device.mode(), Mode::Stopped);
        QVERIFY(!saveAndSettle(device).failed);
        int rate = 0, channels = 0;
        const QVector<float> recorded = readFile(path, &rate, &channels);
        QCOMPARE(rate, 48000);
        QCOMPARE(channels, 1);
        // A test source may hand out audio in blocks ahead of the clock, so a second of
        // recording holds most of a second and at most a block more.
        QVERIFY2(recorded.size() >= 48000 * 7 / 10 && recorded.size() <= 48000 * 3 + 100,
                 qPrintable(QString::number(recorded.size())));
        const double hz = toneFrequency(recorded, rate);
        QVERIFY2(qAbs(hz - expected) < 10, qPrintable(QString::number(hz)));
    }

    // The level the bar reads while a message plays: a clean one where it is, one made
    // elsewhere that clips at full scale; neither is told about.
    void levelFollowsWhatPlays_data()
    {
        QTest::addColumn<double>("amplitude");
        QTest::addColumn<bool>("clipped");
        QTest::newRow("half scale") << 0.5 << false;
        QTest::newRow("clipping file") << 2.0 << true;
    }

    void levelFollowsWhatPlays()
    {
        QFETCH(double, amplitude);
        QFETCH(bool, clipped);
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("level-%1.wav").arg(amplitude));
        QVERIFY(writeTone(path, 440, 1.5, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, amplitude));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QStringList told;
        device.setProblemListener([&told](IAudioDevice::Problem, const QString &, const QString &reason) { told << reason; });
        device.play(IAudioDevice::Output::Desk);
        const LevelReadings readings = readLevel(device, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 5000);
        QVERIFY2(readings.levels.size() >= 3, qPrintable(QString::number(readings.levels.size())));
        if (clipped) {
            QVERIFY2(readings.loudest() >= 0.999, qPrintable(QString::number(readings.loudest())));
        } else {
            QVERIFY2(qAbs(dB(readings.median()) - dB(0.5)) < 1, qPrintable(QString::number(dB(readings.median()))));
        }
        qInfo("read %.2f dB at the median, %.4f at most", dB(readings.median()), readings.loudest());
        QCOMPARE(readings.clipping, clipped);
        QCOMPARE(device.level(), 0.0); // nothing moves
        QTest::qWait(200);
        QVERIFY2(told.isEmpty(), qPrintable(told.join(QLatin1Char('|'))));
    }

    // A take from the test source at a known level reads at it; one that touched full
    // scale with a stray sample is not told about; one from a source driven past full scale
    // three times is told, with the places.
    void takeLevelIsReadAndClippingIsTold_data()
    {
        QTest::addColumn<bool>("fromPipe");
        QTest::addColumn<int>("bursts");
        QTest::addColumn<int>("strays");
        QTest::newRow("test source at -12 dBFS") << false << 0 << 0;
        QTest::newRow("stray samples at full scale") << true << 0 << 3;
        QTest::newRow("driven past full scale three times") << true << 3 << 0;
    }

    void takeLevelIsReadAndClippingIsTold()
    {
        QFETCH(bool, fromPipe);
        QFETCH(int, bursts);
        QFETCH(int, strays);
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("take-%1-%2.wav").arg(bursts).arg(strays));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QStringList told;
        device.setProblemListener([&told](IAudioDevice::Problem problem, const QString &, const QString &reason) {
            told << (problem == IAudioDevice::Problem::TakeClipped ? reason : QStringLiteral("other: ") + reason);
        });
        if (!fromPipe) {
            // The scripts' sine is at half scale: half of that is -12 dBFS.
            QVERIFY(setSourceVolume(QStringLiteral("v9sine"), 0.5));
            const auto restore = qScopeGuard([] { setSourceVolume(QStringLiteral("v9sine"), 1.0); });
            device.record();
            const LevelReadings readings = readLevel(device, 1500);
            device.stop();
            QVERIFY2(readings.levels.size() >= 3, qPrintable(QString::number(readings.levels.size())));
            const double level = dB(readings.median());
            qInfo("read %.2f dB", level);
            QVERIFY2(qAbs(level - dB(0.25)) < 1, qPrintable(QString::number(level)));
            QVERIFY(!readings.clipping);
        } else {
            PipeSource source(m_dir.path());
            if (!source.loaded())
                QSKIP("the server makes no pipe source");
            // Half a second at -12 dBFS; then, three fifths of a second apart, 200 ms driven
            // to twice full scale, or single samples at it.
            QVector<float> said;
            const auto sine = [&said](double amplitude, double seconds) {
                for (int i = 0; i < int(seconds * 48000); ++i)
                    said << float(amplitude * std::sin(2 * M_PI * 440 * i / 48000.0));
            };
            sine(0.25, 0.5);
            for (int i = 0; i < bursts; ++i) {
                sine(2.0, 0.2);
                sine(0.25, 0.6);
            }
            for (int i = 0; i < strays; ++i) {
                said << 1.0f;
                sine(0.25, 0.6);
            }
            device.record();
            // Fed once the take listens to it: what the pipe carried before is not the take's.
            QTRY_VERIFY_WITH_TIMEOUT(programStream(QStringLiteral("source-outputs"), QStringLiteral("org.vendrel9.Vendrel9.Recording")).device
                                         == deviceIndex(QStringLiteral("sources"), source.name()),
                                     10000);
            source.feed(said);
            QVERIFY(source.fed());
            QTest::qWait(1000);
            device.stop();
            QVERIFY2(device.length() >= said.size(), qPrintable(QString::number(device.length())));
        }
        QVERIFY(settled(device));
        if (bursts == 0) {
            QTest::qWait(200);
            QVERIFY2(told.isEmpty(), qPrintable(told.join(QLatin1Char('|'))));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!told.isEmpty(), 5000);
        QCOMPARE(told.size(), 1);
        const QString reason = told.first();
        qInfo("told: %s", qPrintable(reason));
        // A busy server may read the pipe short and split a place with silence, never
        // join two.
        const int places = QRegularExpression(QStringLiteral("^(\\d+) σημει")).match(reason).captured(1).toInt();
        QVERIFY2(places >= bursts && places <= bursts + 1, qPrintable(reason));
        const auto longest = QRegularExpression(QStringLiteral("(\\d+(?:\\.\\d)?) ms")).match(reason);
        QVERIFY2(longest.hasMatch() && longest.captured(1).toDouble() <= 250, qPrintable(reason));
        const auto first = QRegularExpression(QStringLiteral("(\\d+):(\\d\\d)\\.(\\d)$")).match(reason);
        QVERIFY2(first.hasMatch(), qPrintable(reason));
        QVERIFY2(first.captured(1).toInt() * 60 + first.captured(2).toInt() + first.captured(3).toInt() / 10.0 >= 0.5,
                 qPrintable(reason));
    }

    // The server killed while playing, away for ten seconds, then back: the operator is
    // told within a second or two, and the same device plays again without a restart.
    void soundServerAwayForLongIsToldAndPlaysAgain()
    {
        if (!soundServerRunning() || qEnvironmentVariableIsEmpty("V9_PULSE_STOP"))
            QSKIP("needs the restartable private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("restart.wav"));
        QVERIFY(writeTone(path, 1000, 2.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QTRY_VERIFY(device.soundAvailable());

        device.play(IAudioDevice::Output::Desk);
        QTRY_VERIFY_WITH_TIMEOUT(device.position() > 0, 5000);
        const auto restart = qScopeGuard([] { QProcess::execute(qEnvironmentVariable("V9_PULSE_START"), {}); });
        QCOMPARE(QProcess::execute(qEnvironmentVariable("V9_PULSE_STOP"), {}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!device.soundAvailable(), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 3000);
        const qint64 stoppedAt = device.position();
        QVERIFY(stoppedAt > 0 && stoppedAt < device.length());

        // Recording with no server ends at once and keeps what the file held: a take
        // that never started must not cut the message at the position.
        device.record();
        QVERIFY(settled(device));
        QTRY_COMPARE(device.mode(), Mode::Stopped);
        QCOMPARE(device.length(), qint64(96000));
        QCOMPARE(device.position(), stoppedAt);

        // Away for long: the client keeps trying, as often as it did at first, and stays
        // unavailable meanwhile.
        const int triedBefore = device.connectAttempts();
        QTRY_VERIFY_WITH_TIMEOUT(device.connectAttempts() >= triedBefore + 10, 30000);
        QVERIFY(!device.soundAvailable());
        QCOMPARE(QProcess::execute(qEnvironmentVariable("V9_PULSE_START"), {}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(device.soundAvailable(), 5000);
        device.rewind();
        MonitorRecorder monitor;
        device.play(IAudioDevice::Output::Desk);
        QTRY_COMPARE(device.mode(), Mode::Playing);
        QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 10000);
        QCOMPARE(device.position(), device.length());
        const double hz = toneFrequency(monitor.stop(), 48000);
        QVERIFY2(qAbs(hz - 1000) < 10, qPrintable(QString::number(hz)));
    }

    // The server lost in the middle of a take: the take keeps what was heard, and the
    // operator is told, with how much was kept.
    void recordingWhenTheServerGoesKeepsTheTake()
    {
        if (!soundServerRunning() || qEnvironmentVariableIsEmpty("V9_PULSE_STOP"))
            QSKIP("needs the restartable private sound server (run through scripts/test.sh)");
        const QString path = m_dir.filePath(QStringLiteral("cut.wav"));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QString told;
        device.setProblemListener([&told](IAudioDevice::Problem problem, const QString &, const QString &reason) {
            if (problem == IAudioDevice::Problem::RecordingCut)
                told = reason;
        });
        device.record();
        QTRY_VERIFY_WITH_TIMEOUT(device.position() > 4800, 5000);
        const auto restart = qScopeGuard([] { QProcess::execute(qEnvironmentVariable("V9_PULSE_START"), {}); });
        QCOMPARE(QProcess::execute(qEnvironmentVariable("V9_PULSE_STOP"), {}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 3000);
        QTRY_VERIFY(!told.isEmpty());
        QVERIFY2(told.contains(QStringLiteral("διακομιστης")) && told.contains(QStringLiteral("δευτερολεπτα")), qPrintable(told));
        QVERIFY(!saveAndSettle(device).failed);
        QVERIFY(readFile(path).size() > 4800);
    }

    void withoutSoundServerEverythingIsQuiet()
    {
        if (qEnvironmentVariableIsEmpty("V9_NO_SOUND"))
            QSKIP("runs as its own test, with no sound server reachable");
        const QString path = m_dir.filePath(QStringLiteral("quiet.wav"));
        QVERIFY(writeTone(path, 440, 0.2, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        WaveDevice device;
        QVERIFY(openAndSettle(device, path));
        QTRY_VERIFY_WITH_TIMEOUT(!device.soundAvailable(), 2000);
        QElapsedTimer clock;
        clock.start();
        device.play(IAudioDevice::Output::Desk);
        device.record();
        device.stop();
        QVERIFY(clock.elapsed() < 100);
        QVERIFY(settled(device));
        QTRY_COMPARE(device.mode(), Mode::Stopped);
        device.play(IAudioDevice::Output::Desk);
        QVERIFY(settled(device));
        QTRY_COMPARE(device.mode(), Mode::Stopped);
        QVERIFY(!saveAndSettle(device).failed);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestWaveDevice)
#include "tst_wavedevice.moc"
