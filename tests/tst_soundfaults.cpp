// The sound server and the disk misbehaving under the real window, the real sound engine
// and the real serial adapter (a pty under the modem-line shim): a frozen server, a disk
// that stops answering. Whatever they do, every handler returns at once and ΔΙΑΚΟΠΗ drops
// RTS. Also what the operator hears: short messages whole, and the sink the operator
// chose remembered by the server.
#include "audiotools.h"
#include "devicetools.h"
#include "lamp.h"
#include "mediabar.h"
#include "ptyports.h"
#include "stations.h"
#include "scopedenv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <sndfile.h>
#include <csignal>

using namespace audiotools;
using namespace devicetools;
using Mode = IAudioDevice::Mode;

namespace {

// Far above what a handler takes (well under a millisecond), far below a stall: a busy
// machine passes, a handler that waits on the server or the disk does not.
constexpr qint64 kHandlerBoundMs = 250;

// The statements given return within that bound.
#define VERIFY_QUICK(...)                                                    \
    do {                                                                     \
        QElapsedTimer clock;                                                 \
        clock.start();                                                       \
        __VA_ARGS__;                                                         \
        const qint64 took = clock.elapsed();                                 \
        QVERIFY2(took < kHandlerBoundMs, qPrintable(QString::number(took))); \
    } while (false)

qint64 serverPid()
{
    QFile file(qEnvironmentVariable("V9_PULSE_PIDFILE"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// SIGSTOPs the sound server for the life of the object.
class FrozenServer
{
public:
    FrozenServer() : m_pid(serverPid())
    {
        if (m_pid > 0)
            ::kill(pid_t(m_pid), SIGSTOP);
    }
    ~FrozenServer() { thaw(); }
    bool isValid() const { return m_pid > 0; }
    void thaw()
    {
        if (m_pid > 0)
            ::kill(pid_t(m_pid), SIGCONT);
        m_pid = 0;
    }

private:
    qint64 m_pid;
};

// From the first to the last loud sample of what the sink put out, in seconds.
double toneSpan(const QVector<float> &heard)
{
    qsizetype first = -1, last = -1;
    for (qsizetype i = 0; i < heard.size(); ++i) {
        if (qAbs(heard[i]) > 0.2f) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    return first < 0 ? 0 : double(last - first + 1) / 48000;
}

} // namespace

class TestSoundFaults : public QObject
{
    Q_OBJECT

    struct Station : RealStation
    {
        Station() { form.show(); }
        // The path typed in, and the device done with it.
        bool bind(const QString &path)
        {
            form.Text1->setText(path);
            return settled(device);
        }
    };

    // On air, then off again, each handler timed; RTS as the shim saw it.
    static void keyAndUnkey(Station &s, PtyPorts &ports)
    {
        VERIFY_QUICK(s.form.cmdPlayTr->click());
        QTRY_COMPARE(ports.rts(1), 1);
        QTRY_VERIFY(s.form.Shape1->isVisible());
        VERIFY_QUICK(s.form.cmdStop->click());
        QTRY_COMPARE(ports.rts(1), 0);
        QVERIFY(s.form.Shape2->isVisible());
        QVERIFY(!s.serial.portOpen());
    }

private slots:
    void initTestCase()
    {
        if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim")))
            QSKIP("needs the modem-line and stall shims preloaded (run through ctest)");
        if (!soundServerRunning())
            QSKIP("no private sound server (run through scripts/test.sh)");
        QVERIFY(m_dir.isValid());
        m_tone = m_dir.filePath(QStringLiteral("cq.wav"));
        QVERIFY(writeTone(m_tone, 800, 3.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }

    void frozenServerAtPlayStillUnkeysAtOnce()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;
        QVERIFY(s.bind(m_tone));
        FrozenServer frozen;
        QVERIFY(frozen.isValid());
        keyAndUnkey(s, ports);
        // The operator is told, without a dialog, while the server stays frozen.
        QTRY_VERIFY_WITH_TIMEOUT(!s.device.soundAvailable(), 3000);
        QVERIFY(!s.form.MMControl1->button(MediaBar::Play)->isEnabled());
        QVERIFY(s.form.MMControl1->toolTip().contains(QStringLiteral("διακομιστης ηχου")));
        QVERIFY(s.messages.texts.isEmpty());
        // Keying again while frozen is as quick, and the bar's own play too.
        keyAndUnkey(s, ports);
        VERIFY_QUICK(s.device.play(IAudioDevice::Output::Desk); s.device.stop(); s.device.record(); s.device.stop());
        frozen.thaw();
        QTRY_VERIFY_WITH_TIMEOUT(s.device.soundAvailable(), 5000);
        QVERIFY(!s.form.MMControl1->toolTip().contains(QStringLiteral("διακομιστης ηχου")));
    }

    // Streams asked for while the server is frozen and let go of before it answers are
    // removed once it does: none stays on the server for the life of the connection.
    void streamsLetGoOfWhileFrozenAreRemoved()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;
        QVERIFY(s.bind(m_tone));
        {
            FrozenServer frozen;
            QVERIFY(frozen.isValid());
            for (int i = 0; i < 3; ++i) {
                s.form.cmdPlayTr->click();
                s.form.cmdStop->click();
            }
            s.device.record();
            s.device.stop();
            QTest::qWait(300);
        }
        QTRY_VERIFY_WITH_TIMEOUT(s.device.soundAvailable(), 5000);
        QTest::qWait(500);
        QTRY_COMPARE_WITH_TIMEOUT(programStreams(QStringLiteral("sink-inputs")), 0, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(programStreams(QStringLiteral("source-outputs")), 0, 5000);
    }

    void frozenServerWhileOnAirAndRecording()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;
        QVERIFY(s.bind(m_tone));
        s.form.cmdPlayTr->click();
        QTRY_COMPARE(ports.rts(1), 1);
        QTRY_COMPARE(s.device.mode(), Mode::Playing);
        FrozenServer frozen;
        QVERIFY(frozen.isValid());
        QTest::qWait(200);
        // The bar's record while keyed and frozen, then unkey: nothing waits.
        VERIFY_QUICK(s.form.MMControl1->button(MediaBar::Stop)->click(); s.device.record());
        VERIFY_QUICK(s.form.cmdStop->click());
        QTRY_COMPARE(ports.rts(1), 0);
        // A stream the frozen server never answers ends by its deadline.
        QTRY_COMPARE_WITH_TIMEOUT(s.device.mode(), Mode::Stopped, 5000);
        QCOMPARE(s.device.length(), qint64(3 * 48000)); // the message is whole
        VERIFY_QUICK(s.form.close());
    }

    void stalledDiskNeverHoldsTheWindow()
    {
        if (qEnvironmentVariable("V9_STALL_FILE").isEmpty())
            QSKIP("needs the stall shim (run through ctest)");
        const QString stalled = qEnvironmentVariable("V9_STALL_FILE");
        const QString flag = qEnvironmentVariable("V9_STALL_FLAG");
        QVERIFY(writeTone(stalled, 600, 3.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const auto unstall = qScopeGuard([flag] { QFile::remove(flag); });
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;

        // Bound while the disk is away: typing and binding return at once.
        QVERIFY(QFile(flag).open(QIODevice::WriteOnly));
        VERIFY_QUICK(s.form.Text1->setText(stalled));
        QTest::qWait(300);
        QVERIFY(s.device.busy()); // the open is still waiting on the disk
        keyAndUnkey(s, ports);
        VERIFY_QUICK(QTest::keyClicks(s.form.Text1, QStringLiteral("x")));
        QTest::keyClick(s.form.Text1, Qt::Key_Backspace);
        QFile::remove(flag);
        QTRY_VERIFY_WITH_TIMEOUT(!s.device.busy(), 10000);
        QCOMPARE(s.device.mode(), Mode::Stopped);

        // The disk stops answering in the middle of a message on air.
        s.form.cmdPlayTr->click();
        QTRY_COMPARE(s.device.mode(), Mode::Playing);
        QVERIFY(QFile(flag).open(QIODevice::WriteOnly));
        QTest::qWait(1500); // the ring runs dry and the reader waits on the disk
        VERIFY_QUICK(s.form.cmdStop->click());
        QTRY_COMPARE(ports.rts(1), 0);
        QCOMPARE(s.device.mode(), Mode::Stopped);
        // Another file can be bound and played while the stuck reader waits on.
        VERIFY_QUICK(s.form.Text1->setText(m_tone));
        QVERIFY(settled(s.device));
        QCOMPARE(s.device.mode(), Mode::Stopped);
        VERIFY_QUICK(s.form.close());
    }

    // A take whose temporary file can grow no more (a full temporary folder, here a file
    // size limit) ends there: the operator is told, and a save writes all that was taken.
    void recordingCutShortIsToldAndSavedWhole()
    {
        const QString path = m_dir.filePath(QStringLiteral("cut-short.wav"));
        WaveDevice device;
        QVERIFY(device.open(path));
        QVERIFY(settled(device));
        QString told;
        device.setProblemListener([&told](IAudioDevice::Problem problem, const QString &, const QString &reason) {
            if (problem == IAudioDevice::Problem::RecordingCut)
                told = reason;
        });
        // The stall shim fills the temporary folder at a second and a half of 48 kHz floats.
        const ScopedEnv limit("V9_TAKE_LIMIT", "262144");
        device.record();
        // The test source hands out seconds at once: the cut may come at the first audio.
        QTRY_VERIFY_WITH_TIMEOUT(!told.isEmpty(), 10000);
        QTRY_COMPARE(device.mode(), Mode::Stopped);
        QVERIFY2(told.contains(QStringLiteral("space")), qPrintable(told));
        qunsetenv("V9_TAKE_LIMIT");
        const qint64 taken = device.length();
        QVERIFY2(taken > 0 && taken <= 256 * 1024 / 4, qPrintable(QString::number(taken)));
        QCOMPARE(device.position(), taken);
        const SaveOutcome outcome = saveAndSettle(device);
        QVERIFY2(!outcome.failed, qPrintable(outcome.reason));
        QCOMPARE(audiotools::readFile(path).size(), taken);
    }

    // ΣΩΣΙΜΟ ΕΓΓΡΑΦΗΣ on air saves the recording and leaves the message playing: the
    // sound goes on at the sink after the save, and the radio stays keyed.
    void saveOnAirLeavesTheMessagePlaying()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;
        const QString path = m_dir.filePath(QStringLiteral("on-air-save.wav"));
        QVERIFY(s.bind(path));
        s.form.MMControl1->button(MediaBar::Record)->click();
        QTRY_VERIFY_WITH_TIMEOUT(s.device.length() > 3 * 48000, 10000);
        s.form.MMControl1->button(MediaBar::Stop)->click();
        s.form.MMControl1->button(MediaBar::Start)->click();
        QVERIFY(settled(s.device));
        const qint64 recorded = s.device.length();

        MonitorRecorder monitor;
        s.form.cmdPlayTr->click();
        QTRY_VERIFY_WITH_TIMEOUT(s.device.position() > 48000 / 4, 5000);
        s.form.cmdSave->click();
        QTRY_VERIFY_WITH_TIMEOUT(s.device.savesPending() == 0, 10000);
        QCOMPARE(s.device.mode(), Mode::Playing);
        const qint64 afterSave = s.device.position();
        QTRY_VERIFY_WITH_TIMEOUT(s.device.position() > afterSave + 48000 / 2, 5000);
        const QVector<float> heard = monitor.stop();
        QCOMPARE(ports.rts(1), 1);
        s.form.cmdStop->click();
        QTRY_COMPARE(ports.rts(1), 0);
        // Heard from before the save to well past it, and saved whole.
        QVERIFY2(toneSpan(heard) > 0.6, qPrintable(QString::number(toneSpan(heard))));
        QCOMPARE(qint64(readFile(path).size()), recorded);
        QVERIFY(s.messages.texts.isEmpty());
    }

    // Going on air while the bar records ends the recording, keeps all of it, and plays
    // it on air from its start.
    void goingOnAirWhileRecordingPlaysTheTake()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;
        const QString path = m_dir.filePath(QStringLiteral("on-air-take.wav"));
        QVERIFY(s.bind(path));
        s.form.MMControl1->button(MediaBar::Record)->click();
        QTRY_VERIFY_WITH_TIMEOUT(s.device.length() > 48000, 10000);
        MonitorRecorder monitor;
        s.form.cmdPlayTr->click();
        QTRY_COMPARE(ports.rts(1), 1);
        QTRY_COMPARE(s.device.mode(), Mode::Playing);
        QVERIFY(settled(s.device));
        const qint64 taken = s.device.length();
        QVERIFY2(taken > 48000, qPrintable(QString::number(taken)));
        QTRY_VERIFY_WITH_TIMEOUT(s.device.position() > 48000 / 2, 5000);
        const QVector<float> heard = monitor.stop();
        s.form.cmdStop->click();
        QTRY_COMPARE(ports.rts(1), 0);
        QCOMPARE(saveAndSettle(s.device).failed, false);
        const QVector<float> saved = readFile(path);
        QCOMPARE(qint64(saved.size()), taken);
        qsizetype first = 0;
        while (first < saved.size() && qAbs(saved[first]) < 0.1f)
            ++first;
        const double hz = toneFrequency(heard, 48000);
        QVERIFY2(qAbs(hz - qEnvironmentVariable("V9_SINE_HZ").toDouble()) < 15,
                 qPrintable(QStringLiteral("%1 Hz heard; the take's first sound at %2 s").arg(hz).arg(double(first) / 48000)));
    }

    // The bar's play pressed while the file is still opening on a slow disk plays once
    // the file is open: a press is never lost.
    void playPressedWhileOpeningPlaysOnceOpen()
    {
        if (qEnvironmentVariable("V9_STALL_FILE").isEmpty())
            QSKIP("needs the stall shim (run through ctest)");
        const QString stalled = qEnvironmentVariable("V9_STALL_FILE");
        const QString flag = qEnvironmentVariable("V9_STALL_FLAG");
        QVERIFY(writeTone(stalled, 600, 1.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const auto unstall = qScopeGuard([flag] { QFile::remove(flag); });
        Station s;
        QVERIFY(QFile(flag).open(QIODevice::WriteOnly));
        s.form.Text1->setText(stalled);
        QCOMPARE(s.device.mode(), Mode::Opening);
        QVERIFY(s.form.MMControl1->button(MediaBar::Play)->isEnabled());
        s.form.MMControl1->button(MediaBar::Play)->click();
        QFile::remove(flag);
        QTRY_VERIFY_WITH_TIMEOUT(s.device.position() > 0, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(s.device.mode(), Mode::Stopped, 10000);
        QCOMPARE(s.device.position(), s.device.length());
        QVERIFY(!s.form.MMControl1->button(MediaBar::Play)->isEnabled()); // at the end
        QVERIFY(s.form.MMControl1->button(MediaBar::Start)->isEnabled());
    }

    // Play and stop pressed at once while a file on a slow disk is still opening: the
    // binding's thread gets both together once it is open, and the stop must keep the
    // sound from ever starting, though the thread is then reading for the play.
    void stopRightAfterPlayIsNeverHeard()
    {
        QTemporaryDir share;
        const QString path = share.filePath(QStringLiteral("slow.wav"));
        QVERIFY(writeTone(path, 1000, 2.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const ScopedEnv slowShare("V9_SHARE_DIR", QFile::encodeName(share.path()));
        const ScopedEnv slowReads("V9_SHARE_READ_MS", "150");
        WaveDevice device;
        MonitorRecorder monitor;
        for (int round = 0; round < 3; ++round) {
            device.close();
            QVERIFY(device.open(path));
            device.play(IAudioDevice::Output::Air);
            device.stop();
            QVERIFY(settled(device));
            QCOMPARE(device.mode(), Mode::Stopped);
        }
        QTest::qWait(500);
        const QVector<float> heard = monitor.stop();
        float loudest = 0;
        for (const float sample : heard)
            loudest = qMax(loudest, qAbs(sample));
        QVERIFY2(loudest < 0.05f, qPrintable(QString::number(loudest)));
    }

    // The temporary folder stops answering in the middle of a take, for longer than the
    // recording's own reserve; the operator stops before it answers again. Whatever is
    // kept, the operator hears that the take was cut, and how much of it is there.
    void stopWhileTheTakeCannotBeWrittenIsTold()
    {
        QTemporaryDir temporary;
        const QString stall = temporary.filePath(QStringLiteral("stalled"));
        const QByteArray tmp = QFile::encodeName(temporary.filePath(QStringLiteral("tmp")));
        QVERIFY(QDir().mkpath(QFile::decodeName(tmp)));
        const ScopedEnv tmpdir("TMPDIR", tmp), share("V9_SHARE_DIR", tmp), stalls("V9_SHARE_STALL", QFile::encodeName(stall));
        const auto unstall = qScopeGuard([&] { QFile::remove(stall); });
        WaveDevice device;
        QVERIFY(openAndSettle(device, m_dir.filePath(QStringLiteral("stalled-take.wav"))));
        QString told;
        device.setProblemListener([&told](IAudioDevice::Problem problem, const QString &, const QString &reason) {
            if (problem == IAudioDevice::Problem::RecordingCut)
                told = reason;
        });
        device.record();
        QTRY_VERIFY_WITH_TIMEOUT(device.position() > 48000 / 2, 10000);
        QVERIFY(QFile(stall).open(QIODevice::WriteOnly));
        QTest::qWait(7000); // past the five seconds the recording holds in memory
        device.stop();
        QFile::remove(stall);
        QTRY_VERIFY_WITH_TIMEOUT(!told.isEmpty(), 10000);
        QVERIFY2(told.contains(QStringLiteral("δευτερολεπτα")), qPrintable(told));
        QVERIFY(settled(device));
        QVERIFY(device.length() > 0);
    }

    void shortMessagesAreHeardWhole_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::newRow("20 ms") << 0.02;
        QTest::newRow("100 ms") << 0.1;
    }

    void shortMessagesAreHeardWhole()
    {
        QFETCH(double, seconds);
        const QString path = m_dir.filePath(QStringLiteral("short-%1.wav").arg(qRound(seconds * 1000)));
        QVERIFY(writeTone(path, 1000, seconds, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
        WaveDevice device;
        QVERIFY(device.open(path));
        QVERIFY(settled(device));
        double span = 0;
        {
            MonitorRecorder monitor;
            device.play(IAudioDevice::Output::Desk);
            QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Playing, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(device.mode(), Mode::Stopped, 5000);
            QCOMPARE(device.position(), device.length());
            QTest::qWait(300);
            span = toneSpan(monitor.stop());
        }
        QVERIFY2(span > 0, "nothing was heard");
        QVERIFY2(span < seconds + 0.003, qPrintable(QString::number(span)));
        // PipeWire's null sink puts out exactly what it was given. PulseAudio's drops up to
        // a few milliseconds where a stream joins it, for every client alike (paplay of
        // the same file loses as much, by a varying amount): there that is allowed.
        const double lost = qEnvironmentVariable("V9_SOUND") == QStringLiteral("pipewire") ? 0.003 : 0.008;
        QVERIFY2(span > seconds - lost, qPrintable(QString::number(span)));
    }

    // The operator moves the message on air to the radio's card once, in the desktop's
    // sound settings: a new run (a new client) plays on air there again, while the bar's
    // own playback stays at the desk and the recording on the default input.
    void onAirAndPreviewAreRememberedApart()
    {
        const QString desk = deviceIndex(QStringLiteral("sinks"), QStringLiteral("v9out"));
        const QString radio = deviceIndex(QStringLiteral("sinks"), QStringLiteral("v9radio"));
        const QString microphone = deviceIndex(QStringLiteral("sources"), QStringLiteral("v9sine"));
        if (radio.isEmpty())
            QSKIP("the test server has no second sink");
        const QString onAir = QStringLiteral("org.vendrel9.Vendrel9.OnAir");
        const QString preview = QStringLiteral("org.vendrel9.Vendrel9.Preview");
        const QString recording = QStringLiteral("org.vendrel9.Vendrel9.Recording");
        const QString path = m_dir.filePath(QStringLiteral("long.wav"));
        QVERIFY(writeTone(path, 800, 10.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        {
            WaveDevice device;
            QVERIFY(openAndSettle(device, path));
            device.play(IAudioDevice::Output::Air);
            QTRY_VERIFY_WITH_TIMEOUT(!programStream(QStringLiteral("sink-inputs"), onAir).device.isEmpty(), 5000);
            const QString ours = programStream(QStringLiteral("sink-inputs"), onAir).index;
            // What the operator does once in the desktop's sound settings. WirePlumber 0.4
            // now and then drops a link it is asked to move and makes none (its "link was
            // not activated" race): then the operator moves it again, and so does this.
            bool moved = false;
            for (int attempt = 0; attempt < 3 && !moved; ++attempt) {
                QCOMPARE(QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("move-sink-input"), ours, QStringLiteral("v9radio")}), 0);
                moved = QTest::qWaitFor([&] { return programStream(QStringLiteral("sink-inputs"), onAir).device == radio; }, 3000);
            }
            QVERIFY(moved);
            // WirePlumber writes what it remembers a second after a change.
            QTest::qWait(2000);
            device.stop();
        }
        // A new client, as after a restart of the program, with nothing told.
        const auto deviceOf = [this, &path](IAudioDevice::Output output, const QString &id) {
            WaveDevice device;
            if (!openAndSettle(device, path))
                return QStringLiteral("not opened");
            device.play(output);
            QString where;
            [[maybe_unused]] const bool found = QTest::qWaitFor([&] { return !(where = programStream(QStringLiteral("sink-inputs"), id).device).isEmpty(); }, 5000);
            device.stop();
            return where;
        };
        QCOMPARE(deviceOf(IAudioDevice::Output::Desk, preview), desk);
        QCOMPARE(deviceOf(IAudioDevice::Output::Air, onAir), radio);
        WaveDevice device;
        QVERIFY(openAndSettle(device, m_dir.filePath(QStringLiteral("remembered.wav"))));
        device.record();
        QTRY_VERIFY_WITH_TIMEOUT(!programStream(QStringLiteral("source-outputs"), recording).device.isEmpty(), 5000);
        QCOMPARE(programStream(QStringLiteral("source-outputs"), recording).device, microphone);
        device.stop();
    }

private:
    QTemporaryDir m_dir;
    QString m_tone;
};

QTEST_MAIN(TestSoundFaults)
#include "tst_soundfaults.moc"
