// The real vendrel9 binary, driven as a user would: a window on Xvfb, clicks and keys
// from xdotool, the serial ports as pseudo-terminals under the modem-line shim, and the
// sound heard at the private server's null sink.
#include "audiotools.h"
#include "proctools.h"
#include "ptyports.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QDirIterator>
#include <QScopeGuard>
#include <QProcess>
#include <sys/stat.h>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sndfile.h>
#include <csignal>
#include <unistd.h>

using namespace audiotools;

namespace {

template<typename F>
bool waitFor(F condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

    // One running program on its own display.
    struct Session
    {
        PtyPorts &ports;
        QString display;
        QProcess app;
        QString window;
        int menuHeight = 0;

        Session(PtyPorts &p, const QString &d) : ports(p), display(d) {}
        ~Session()
        {
            if (app.state() != QProcess::NotRunning) {
                app.kill();
                app.waitForFinished();
            }
        }

        QString xdotool(const QStringList &args, int timeoutMs = 10000)
        {
            QProcess p;
            QStringList env = QProcess::systemEnvironment();
            env << QStringLiteral("DISPLAY=") + display;
            p.setEnvironment(env);
            p.start(QStringLiteral("xdotool"), args);
            p.waitForFinished(timeoutMs);
            return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        }

        bool start(const QStringList &arguments = {})
        {
            QStringList env = ports.environment();
            env << QStringLiteral("DISPLAY=") + display << QStringLiteral("QT_QPA_PLATFORM=xcb")
                << QStringLiteral("HOME=") + home.path() << QStringLiteral("XDG_CONFIG_HOME=") + home.filePath(QStringLiteral(".config"));
            for (const QString &setting : extraEnvironment) {
                const QString name = setting.section(QLatin1Char('='), 0, 0) + QLatin1Char('=');
                env.erase(std::remove_if(env.begin(), env.end(), [&](const QString &e) { return e.startsWith(name); }), env.end());
                env << setting;
            }
            app.setEnvironment(env);
            app.setProcessChannelMode(QProcess::ForwardedOutputChannel);
            if (!workingDirectory.isEmpty())
                app.setWorkingDirectory(workingDirectory);
            // A process group of its own, as a job-control shell starts it: a terminal's
            // Ctrl+C reaches the program and its helpers, not the test.
            app.setChildProcessModifier([] { ::setpgid(0, 0); });
            app.start(QStringLiteral(V9_BINARY), arguments);
            if (!app.waitForStarted())
                return false;
            // A busy machine takes its time to start a Qt program.
            window = xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                              QStringLiteral("--name"), QStringLiteral("VALDOR")}, 30000)
                         .section(QLatin1Char('\n'), 0, 0);
            if (window.isEmpty()) {
                qWarning("the window did not show");
                return false;
            }
            const QString geometry = xdotool({QStringLiteral("getwindowgeometry"), window});
            const int height = geometry.section(QStringLiteral("Geometry: "), 1).section(QLatin1Char('x'), 1).toInt();
            menuHeight = height - 304;
            xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
            if (menuHeight <= 0)
                qWarning("the window has no menu bar: %s", qPrintable(geometry));
            return menuHeight > 0;
        }

        // Clicks at client-area coordinates (the layout's pixels).
        void click(int x, int y)
        {
            xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(x),
                     QString::number(y + menuHeight), QStringLiteral("click"), QStringLiteral("1")});
            QThread::msleep(150);
        }
        void clickPlayTransmit() { click(276, 212); }
        void clickStop() { click(276, 252); }
        void typePath(const QString &path)
        {
            click(272, 145); // Text1
            QThread::msleep(300);
            xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), path});
            QThread::msleep(300);
        }
        void openSettingsMenu()
        {
            xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QStringLiteral("30"),
                     QString::number(menuHeight / 2), QStringLiteral("click"), QStringLiteral("1")});
            QThread::msleep(300);
        }
        void choosePort(int n)
        {
            openSettingsMenu();
            QStringList keys {QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("80"),
                              QStringLiteral("Down"), QStringLiteral("Right")};
            for (int i = 1; i < n; ++i)
                keys << QStringLiteral("Down");
            keys << QStringLiteral("Return");
            xdotool(keys);
            QThread::msleep(200);
        }
        QString messageWindow()
        {
            return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                            QStringLiteral("^Vendrel9$")});
        }
        bool running() const { return app.state() == QProcess::Running; }
        // The program's helper of that name ("vendrel9-port", "vendrel9-filedialog"), or -1.
        pid_t helper(const QByteArray &name) const { return childNamed(name, pid_t(app.processId())); }
        // The windows of a process that are on screen.
        QStringList visibleWindows(qint64 pid)
        {
            return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                            QString::number(pid)})
                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
        // Plays `tone` (1 kHz) on air from COM1: RTS high on the line, the tone heard at
        // the private server's sink. What is missing, or nothing.
        QString goOnAir(const QString &tone)
        {
            typePath(tone);
            MonitorRecorder monitor;
            clickPlayTransmit();
            if (!waitFor([&] { return ports.rts(1) == 1; }, 5000))
                return QStringLiteral("RTS did not rise");
            // Listening with the event loop running, which empties the recorder's pipe as
            // it fills: parec keeps what it cannot write, and loses it when stopped.
            QTest::qWait(1500);
            const QVector<float> heard = monitor.stop();
            if (ports.rts(1) != 1)
                return QStringLiteral("RTS fell while the tone played");
            // A second of it at least: a loaded machine breaks the sound up (see
            // onAirPeriodKeysWhileTheToneIsHeard for the tone itself).
            const qsizetype cycles = toneCycles(heard);
            return cycles >= 1000 ? QString() : QStringLiteral("heard %1 cycles of the tone").arg(cycles);
        }
        // Everything under the session's private home, as paths relative to it.
        QStringList homeFiles() const
        {
            QStringList files;
            QDirIterator it(home.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (it.hasNext())
                files << QDir(home.path()).relativeFilePath(it.next());
            return files;
        }
        // Clicks at client-area coordinates, one after the other with no pause between.
        void clickAtOnce(const QList<QPoint> &points)
        {
            QStringList args;
            for (const QPoint &p : points)
                args << QStringLiteral("mousemove") << QStringLiteral("--window") << window << QString::number(p.x())
                     << QString::number(p.y() + menuHeight) << QStringLiteral("click") << QStringLiteral("1");
            xdotool(args);
        }
        // What the program said on standard error so far.
        QString errors()
        {
            stderrText += QString::fromLocal8Bit(app.readAllStandardError());
            return stderrText;
        }
        void openWavFolderFromTheMenu()
        {
            openSettingsMenu();
            xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("80"), QStringLiteral("Down"),
                     QStringLiteral("Down"), QStringLiteral("Return")});
            QThread::msleep(200);
        }
        // The program's own descriptors, as the paths they stand for.
        QStringList openFiles() const
        {
            QStringList files;
            const QString fds = QStringLiteral("/proc/%1/fd").arg(app.processId());
            for (const QString &fd : QDir(fds).entryList(QDir::Files | QDir::System))
                files << QFile::symLinkTarget(fds + QLatin1Char('/') + fd);
            return files;
        }
        QTemporaryDir home;
        QString workingDirectory;
        QStringList extraEnvironment;
        QString stderrText;
    };

    // Where the window's controls are, in client-area pixels.
    static constexpr QPoint kBarStop {328, 76};
    static constexpr QPoint kBarRecord {392, 76};
    static constexpr QPoint kSave {460, 148};
    static constexpr QPoint kStop {276, 252}; // ΔΙΑΚΟΠΗ
    // From what should unkey to RTS low on the line: generous, for a busy machine.
    static constexpr int kUnkeyBoundMs = 1000;

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("needs Xvfb and xdotool");
        if (!soundServerRunning())
            QSKIP("needs the private sound server (run through scripts/test.sh)");
        // Xvfb picks a free display itself and prints its number: two suites at once, or
        // a desktop's own displays, never collide.
        m_xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                              QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                              QStringLiteral("tcp")});
        QVERIFY(m_xvfb.waitForStarted());
        QVERIFY(waitFor([this] { return m_xvfb.waitForReadyRead(100) || m_xvfb.canReadLine(); }, 10000));
        const QByteArray number = m_xvfb.readLine().trimmed();
        QVERIFY(!number.isEmpty());
        m_display = QStringLiteral(":") + QString::fromLatin1(number);
        m_tone = m_files.filePath(QStringLiteral("cq.wav"));
        QVERIFY(writeTone(m_tone, 1000, 3.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        // Still on air whatever a test does meanwhile.
        m_longTone = m_files.filePath(QStringLiteral("cq-long.wav"));
        QVERIFY(writeTone(m_longTone, 1000, 60.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }

    void cleanupTestCase()
    {
        m_xvfb.terminate();
        m_xvfb.waitForFinished();
    }

    void onAirPeriodKeysWhileTheToneIsHeard()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Session s(ports, m_display);
        QVERIFY(s.start());
        s.typePath(m_tone);
        MonitorRecorder monitor;
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return ports.rts(1) == 1; }, 5000));
        QThread::msleep(1500);
        const QVector<float> heard = monitor.stop();
        QCOMPARE(ports.rts(1), 1); // still keyed while it played
        const double hz = toneFrequency(heard, 48000);
        QVERIFY2(qAbs(hz - 1000) < 15, qPrintable(QString::number(hz)));
        s.clickStop();
        QVERIFY(waitFor([&] { return ports.rts(1) == 0; }, 5000));
        QVERIFY(s.running());
    }

    void portChosenFromTheMenuIsKeyed()
    {
        PtyPorts ports;
        for (int n = 1; n <= 6; ++n)
            QVERIFY(ports.add(n));
        Session s(ports, m_display);
        QVERIFY(s.start());
        s.typePath(m_tone);
        s.choosePort(4);
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return ports.rts(4) == 1; }, 5000));
        for (const QString &line : ports.rtsLog())
            QVERIFY2(line.startsWith(QStringLiteral("ttyS3 ")), qPrintable(line));
        s.clickStop();
        QVERIFY(waitFor([&] { return ports.rts(4) == 0; }, 5000));
    }

    void missingPortIsReportedAndTheProgramRunsOn()
    {
        PtyPorts ports; // no ports at all
        Session s(ports, m_display);
        QVERIFY(s.start());
        s.typePath(m_tone);
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return !s.messageWindow().isEmpty(); }, 5000));
        QVERIFY(s.running());
        s.xdotool({QStringLiteral("key"), QStringLiteral("Return")});
        QVERIFY(waitFor([&] { return s.messageWindow().isEmpty(); }, 5000));
        QVERIFY(s.running());
        QVERIFY(ports.rtsLog().isEmpty());
    }

    void portLockedByAnotherProcessIsReported()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        QProcess holder;
        holder.setEnvironment(ports.environment());
        holder.start(QStringLiteral(V9_PORTHOLD_PATH), {QStringLiteral("1")});
        QVERIFY(holder.waitForReadyRead(5000));
        const int heldLines = int(ports.rtsLog().size());
        Session s(ports, m_display);
        QVERIFY(s.start());
        s.typePath(m_tone);
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return !s.messageWindow().isEmpty(); }, 5000));
        QVERIFY(s.running());
        QCOMPARE(ports.rtsLog().size(), heldLines); // never raised by the second program
        holder.closeWriteChannel();
        holder.waitForFinished();
    }

    void sigtermWhileKeyedDropsRtsBeforeExit()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Session s(ports, m_display);
        QVERIFY(s.start());
        s.typePath(m_tone);
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return ports.rts(1) == 1; }, 5000));
        s.app.terminate();
        QVERIFY(s.app.waitForFinished(5000));
        QCOMPARE(s.app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(s.app.exitCode(), 0);
        QTRY_COMPARE(ports.rts(1), 0);
    }

    // Qt's own options are not taken: a style sheet named on the command line is a FIFO
    // that would hold the start for ever, and the window keeps its size and direction.
    void argumentsAreIgnored()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        const QString fifo = m_files.filePath(QStringLiteral("style.qss"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        Session s(ports, m_display);
        QVERIFY(s.start({QStringLiteral("-stylesheet"), fifo, QStringLiteral("-reverse"),
                         QStringLiteral("-qwindowgeometry"), QStringLiteral("40x30+0+0"), m_tone}));
        s.typePath(m_tone); // the path box is where the layout puts it, not mirrored
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return ports.rts(1) == 1; }, 5000));
        s.clickStop();
        QVERIFY(waitFor([&] { return ports.rts(1) == 0; }, 5000));
    }

    // The file dialog opened and cancelled, then a second run: nothing written under the
    // user's home, so nothing to read back.
    void noStateIsKeptBetweenRuns()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Session s(ports, m_display);
        for (int run = 0; run < 2; ++run) {
            QVERIFY(s.start());
            s.click(84, 148); // EΥΡΕΣΗ ΑΡΧΕΙΟΥ  wav
            QThread::msleep(1000);
            s.xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
            QThread::msleep(300);
            s.app.terminate();
            QVERIFY(s.app.waitForFinished(5000));
            QCOMPARE(s.app.exitCode(), 0);
            // The sound system's client library makes its shared cookie, as for every
            // client of the desktop's sound; nothing else may be there.
            QStringList files = s.homeFiles();
            files.removeAll(QStringLiteral(".config/pulse/cookie"));
            QCOMPARE(files, QStringList());
        }
    }

    // What the operator asked to save is written before the program ends: saved, then
    // closed at once by a signal (as at logout), on a local disk and on a slow share with
    // no unnamed temporary files. The file holds the take and nothing is left beside it.
    void saveAskedForIsFinishedBeforeExit_data()
    {
        QTest::addColumn<bool>("slowShare");
        QTest::addColumn<bool>("stopToo");
        QTest::newRow("local disk, save then SIGTERM") << false << false;
        QTest::newRow("local disk, save, stop, SIGTERM") << false << true;
        QTest::newRow("slow share, save then SIGTERM") << true << false;
        QTest::newRow("slow share, save, stop, SIGTERM") << true << true;
    }

    void saveAskedForIsFinishedBeforeExit()
    {
        QFETCH(bool, slowShare);
        QFETCH(bool, stopToo);
        PtyPorts ports;
        QTemporaryDir share;
        const QString path = share.filePath(QStringLiteral("cq.wav"));
        Session s(ports, m_display);
        s.extraEnvironment << QStringLiteral("LD_PRELOAD=%1:%2").arg(PtyPorts::shimPath(), QStringLiteral(V9_STALLSHIM_PATH));
        if (slowShare)
            s.extraEnvironment << QStringLiteral("V9_SHARE_DIR=") + share.path() << QStringLiteral("V9_SHARE_WRITE_MS=150");
        QVERIFY(s.start());
        s.typePath(path); // a new message
        s.click(kBarRecord.x(), kBarRecord.y());
        QThread::msleep(1500);
        if (stopToo)
            s.clickAtOnce({kSave, kBarStop});
        else
            s.clickAtOnce({kSave});
        s.app.terminate();
        QVERIFY(s.app.waitForFinished(60000));
        QCOMPARE(s.app.exitCode(), 0);
        int rate = 0;
        const QVector<float> saved = readFile(path, &rate);
        QCOMPARE(rate, 48000);
        QVERIFY2(saved.size() > 48000 / 2, qPrintable(QString::number(saved.size())));
        QCOMPARE(QDir(share.path()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList {QStringLiteral("cq.wav")});
    }

    // A share that stops answering in the middle of the save: after a few seconds the
    // program gives the save up and ends, says so, and the old message is as it was with
    // nothing beside it.
    void saveOnAShareThatStopsAnsweringIsGivenUp()
    {
        PtyPorts ports;
        QTemporaryDir share;
        const QString path = share.filePath(QStringLiteral("cq.wav"));
        QVERIFY(writeTone(path, 700, 1.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        const QString stall = m_files.filePath(QStringLiteral("share-stalled"));
        Session s(ports, m_display);
        s.extraEnvironment << QStringLiteral("LD_PRELOAD=%1:%2").arg(PtyPorts::shimPath(), QStringLiteral(V9_STALLSHIM_PATH))
                           << QStringLiteral("V9_SHARE_DIR=") + share.path() << QStringLiteral("V9_SHARE_STALL=") + stall;
        QVERIFY(s.start());
        s.typePath(path);
        s.click(kBarRecord.x(), kBarRecord.y()); // over the whole message
        QThread::msleep(1000);
        QVERIFY(QFile(stall).open(QIODevice::WriteOnly));
        const auto unstall = qScopeGuard([stall] { QFile::remove(stall); });
        s.clickAtOnce({kSave});
        QThread::msleep(300);
        QElapsedTimer clock;
        clock.start();
        s.app.terminate();
        QVERIFY(s.app.waitForFinished(30000));
        QCOMPARE(s.app.exitCode(), 0);
        qInfo("ended %lld ms after SIGTERM", clock.elapsed());
        QVERIFY2(s.errors().contains(QStringLiteral("given up")), qPrintable(s.errors()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QVERIFY(waitFor([&] { return QDir(share.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size() == 1; }, 5000));
    }

    // The file dialog opened on air on a share that has stopped answering: the dialog
    // hangs in its own process, and ΔΙΑΚΟΠΗ and SIGTERM still unkey at once.
    void fileDialogOnAStalledShareNeverHoldsTheWindow()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        QTemporaryDir share;
        const QString path = share.filePath(QStringLiteral("cq.wav"));
        QVERIFY(writeTone(path, 1000, 3.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const QString freeze = m_files.filePath(QStringLiteral("share-frozen"));
        const auto thaw = qScopeGuard([freeze] { QFile::remove(freeze); });
        Session s(ports, m_display);
        s.workingDirectory = share.path(); // where the dialog opens
        s.extraEnvironment << QStringLiteral("LD_PRELOAD=%1:%2").arg(PtyPorts::shimPath(), QStringLiteral(V9_STALLSHIM_PATH))
                           << QStringLiteral("V9_SHARE_DIR=") + share.path() << QStringLiteral("V9_SHARE_FREEZE=") + freeze;
        QVERIFY(s.start());
        s.typePath(path);
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return ports.rts(1) == 1; }, 5000));
        QVERIFY(QFile(freeze).open(QIODevice::WriteOnly));
        s.openWavFolderFromTheMenu();
        QThread::msleep(1000); // the dialog's process waits on the share
        QElapsedTimer clock;
        clock.start();
        s.clickStop();
        QVERIFY2(waitFor([&] { return ports.rts(1) == 0; }, 2000), "ΔΙΑΚΟΠΗ did not unkey");
        qInfo("ΔΙΑΚΟΠΗ to RTS low, dialog stalled: %lld ms (with the click's own pause)", clock.elapsed());
        // Keyed again, behind the stalled dialog, then a signal.
        s.clickAtOnce({QPoint(276, 212)});
        QThread::msleep(300);
        clock.restart();
        s.app.terminate();
        QVERIFY(s.app.waitForFinished(5000));
        qInfo("SIGTERM to exit, dialog stalled: %lld ms", clock.elapsed());
        QCOMPARE(s.app.exitCode(), 0);
        QTRY_COMPARE(ports.rts(1), 0);
    }

    // The COM link looked up on a folder that has stopped answering, or an adapter whose
    // open hangs: the window answers meanwhile, and a SIGTERM before RTS rose ends the
    // program with RTS never raised by it.
    void signalWhileThePortIsStillOpeningNeverKeys_data()
    {
        QTest::addColumn<bool>("stalledLink");
        QTest::newRow("COM link on a stalled folder") << true;
        QTest::newRow("adapter whose open hangs") << false;
    }

    void signalWhileThePortIsStillOpeningNeverKeys()
    {
        QFETCH(bool, stalledLink);
        PtyPorts ports;
        QVERIFY(ports.add(1));
        QTemporaryDir share;
        QVERIFY(QDir().mkpath(share.filePath(QStringLiteral("config/vendrel9"))));
        QVERIFY(QFile::link(QStringLiteral("/dev/ttyS0"), share.filePath(QStringLiteral("config/vendrel9/com1"))));
        const QString freeze = m_files.filePath(QStringLiteral("config-frozen"));
        const auto thaw = qScopeGuard([&] {
            QFile::remove(freeze);
            ports.setFault(1, "stall", false);
        });
        Session s(ports, m_display);
        s.extraEnvironment << QStringLiteral("LD_PRELOAD=%1:%2").arg(PtyPorts::shimPath(), QStringLiteral(V9_STALLSHIM_PATH))
                           << QStringLiteral("V9_SHARE_DIR=") + share.path() << QStringLiteral("V9_SHARE_FREEZE=") + freeze;
        QVERIFY(s.start());
        s.extraEnvironment.clear();
        s.typePath(m_tone);
        if (stalledLink) {
            // The link is looked for in the user's settings folder; that one is frozen.
            s.app.terminate();
            QVERIFY(s.app.waitForFinished(5000));
            s.extraEnvironment << QStringLiteral("LD_PRELOAD=%1:%2").arg(PtyPorts::shimPath(), QStringLiteral(V9_STALLSHIM_PATH))
                               << QStringLiteral("V9_SHARE_DIR=") + share.path() << QStringLiteral("V9_SHARE_FREEZE=") + freeze
                               << QStringLiteral("XDG_CONFIG_HOME=") + share.filePath(QStringLiteral("config"));
            QVERIFY(s.start());
            s.typePath(m_tone);
            QVERIFY(QFile(freeze).open(QIODevice::WriteOnly));
        } else {
            ports.setFault(1, "stall", true);
        }
        s.clickPlayTransmit();
        QThread::msleep(800);
        QVERIFY(ports.rtsLog().isEmpty()); // not even opened yet
        QElapsedTimer clock;
        clock.start();
        s.app.terminate();
        QVERIFY(s.app.waitForFinished(5000));
        qInfo("SIGTERM to exit while the port was opening: %lld ms", clock.elapsed());
        QCOMPARE(s.app.exitCode(), 0);
        QFile::remove(freeze);
        ports.setFault(1, "stall", false);
        QThread::msleep(500);
        // At most the open's own pulse, dropped at once by the helper; never a key.
        const QStringList log = ports.rtsLog();
        QVERIFY2(log.filter(QStringLiteral("ttyS0 1 ")).size() <= 1, qPrintable(log.join(QLatin1Char(','))));
        QVERIFY(ports.rts(1) <= 0);
        if (!log.isEmpty()) {
            const qint64 up = log.first().section(QLatin1Char(' '), 2).toLongLong();
            const qint64 down = log.value(1).section(QLatin1Char(' '), 2).toLongLong();
            QVERIFY2(down - up < 50'000'000, qPrintable(log.join(QLatin1Char(','))));
        }
    }

    // The port is in the helper process alone. Killed outright with a reader stuck on a
    // share that stopped answering, the program's process lingers, but the port hangs
    // up at once: RTS drops.
    void killedWithAReaderStuckTheRadioIsUnkeyed()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        QTemporaryDir backing, mount;
        const QString stall = m_files.filePath(QStringLiteral("fuse-quiet"));
        QProcess fuse;
        QString path;
        QStringList extra {QStringLiteral("LD_PRELOAD=%1:%2").arg(PtyPorts::shimPath(), QStringLiteral(V9_STALLSHIM_PATH))};
#ifdef V9_STALLFS_PATH
        QVERIFY(writeTone(backing.filePath(QStringLiteral("cq.wav")), 1000, 10.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        fuse.start(QStringLiteral(V9_STALLFS_PATH), {backing.path(), stall, mount.path()});
        if (fuse.waitForStarted() && waitFor([&] { return QFile::exists(mount.filePath(QStringLiteral("cq.wav"))); }, 5000))
            path = mount.filePath(QStringLiteral("cq.wav"));
#endif
        const auto unmount = qScopeGuard([&] {
            QFile::remove(stall);
            if (fuse.state() != QProcess::NotRunning) {
                QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), mount.path()});
                fuse.terminate();
                fuse.waitForFinished(5000);
            }
        });
        if (path.isEmpty()) {
            // Without FUSE the stall is the preloaded shim's, which SIGKILL ends at once:
            // the port in its own process is still shown, not the kernel's wait.
            path = m_files.filePath(QStringLiteral("stalled.wav"));
            QVERIFY(writeTone(path, 1000, 10.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
            extra << QStringLiteral("V9_STALL_FILE=") + path << QStringLiteral("V9_STALL_FLAG=") + stall;
            qInfo("no FUSE here: the stall is the shim's");
        }
        Session s(ports, m_display);
        s.extraEnvironment = extra;
        QVERIFY(s.start());
        s.typePath(path);
        s.clickPlayTransmit();
        QVERIFY(waitFor([&] { return ports.rts(1) == 1; }, 5000));
        QVERIFY(!ports.hungUp(1, 0));
        // The program itself holds no descriptor of the port.
        QVERIFY2(!s.openFiles().contains(ports.slave(1)), qPrintable(s.openFiles().join(QLatin1Char(' '))));
        QVERIFY(QFile(stall).open(QIODevice::WriteOnly));
        QThread::msleep(1500); // what was read ahead has played; the reader waits on the share
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(s.app.processId()), SIGKILL);
        QVERIFY2(ports.hungUp(1, 5000), "the port stayed open");
        qInfo("SIGKILL to the port's hang-up: %.2f ms; the program %s", double(clock.nsecsElapsed()) / 1e6,
              s.app.waitForFinished(200) ? "ended" : "lingers, its reader in the kernel's wait");
        QVERIFY(clock.elapsed() < 2000);
        QFile::remove(stall);
        // waitForFinished() is false for a process already reaped above.
        QVERIFY(s.app.state() == QProcess::NotRunning || s.app.waitForFinished(10000));
    }

    // On air, whatever stops answering or ends, the display or the port's helper, RTS is
    // low within a second as the line shows it: a signal needs nothing of the window; a
    // helper that misses its drop's deadline is killed and reaped; one killed is told
    // without a click.
    void spoiledDisplayOrHelperNeverHoldsRts_data()
    {
        QTest::addColumn<QString>("spoil");
        QTest::newRow("display stopped, then SIGTERM") << "display";
        QTest::newRow("SIGINT to the process group") << "group";
        QTest::newRow("port helper stopped, then ΔΙΑΚΟΠΗ") << "stop";
        QTest::newRow("port helper killed") << "kill";
    }

    void spoiledDisplayOrHelperNeverHoldsRts()
    {
        QFETCH(QString, spoil);
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Session s(ports, m_display);
        QVERIFY(s.start());
        const QString missing = s.goOnAir(m_longTone);
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const pid_t program = pid_t(s.app.processId());
        const pid_t helper = s.helper("vendrel9-port");
        QVERIFY(helper > 0);
        const pid_t xvfb = pid_t(m_xvfb.processId());
        const auto thaw = qScopeGuard([xvfb] { ::kill(xvfb, SIGCONT); });
        QElapsedTimer clock;
        if (spoil == QLatin1String("display")) {
            ::kill(xvfb, SIGSTOP);
            QThread::msleep(500); // the bar's redraws meet a display that does not read
            clock.start();
            ::kill(program, SIGTERM);
        } else if (spoil == QLatin1String("group")) {
            clock.start();
            ::kill(-program, SIGINT);
        } else if (spoil == QLatin1String("stop")) {
            ::kill(helper, SIGSTOP);
            clock.start(); // xdotool's own start included
            s.clickAtOnce({kStop});
        } else {
            clock.start();
            ::kill(helper, SIGKILL);
        }
        QVERIFY2(waitFor([&] { return ports.rtsLow(1); }, kUnkeyBoundMs), qPrintable(ports.rtsLog().join(QLatin1Char(','))));
        qInfo("%s: RTS low %lld ms later; the program %s", qPrintable(spoil), clock.elapsed(),
              running(program) ? "runs" : "has ended");
        if (spoil == QLatin1String("display") || spoil == QLatin1String("group")) {
            ::kill(xvfb, SIGCONT);
            QVERIFY(s.app.waitForFinished(10000));
            QCOMPARE(s.app.exitStatus(), QProcess::NormalExit);
            QCOMPARE(s.app.exitCode(), 0);
        } else {
            QVERIFY2(waitFor([&] { return reaped(helper); }, 5000), "the helper was not killed and reaped");
            QVERIFY2(waitFor([&] { return !s.messageWindow().isEmpty(); }, 5000), "the operator was not told");
            QVERIFY(s.running());
        }
        QVERIFY(ports.rtsLow(1));
    }

    // The program killed while its port's open hangs in the helper: the helper goes with
    // it, so nothing opens the port once the adapter answers and RTS never rises.
    void killedWhileThePortIsOpeningNothingKeysLater()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        const auto unstall = qScopeGuard([&] { ports.setFault(1, "stall", false); });
        Session s(ports, m_display);
        QVERIFY(s.start());
        s.typePath(m_longTone);
        ports.setFault(1, "stall", true);
        s.clickPlayTransmit();
        pid_t helper = -1;
        QVERIFY(waitFor([&] { return (helper = s.helper("vendrel9-port")) > 0; }, 5000));
        QThread::msleep(800); // in the open, which waits on the adapter
        QVERIFY(ports.rtsLog().isEmpty());
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(s.app.processId()), SIGKILL);
        QVERIFY2(waitFor([&] { return !running(helper); }, kUnkeyBoundMs), "the helper outlived the program");
        qInfo("program killed to its port helper's end: %lld ms", clock.elapsed());
        QVERIFY(s.app.waitForFinished(5000));
        ports.setFault(1, "stall", false);
        QThread::msleep(3000);
        QVERIFY2(ports.rtsLog().filter(QStringLiteral("ttyS0 1 ")).isEmpty(), qPrintable(ports.rtsLog().join(QLatin1Char(','))));
    }

    // On air, with the settings menu or the file dialog open, one click on ΔΙΑΚΟΠΗ
    // unkeys: neither stands over it, and the menu does not take the click to close.
    void oneClickOnStopUnkeysWhateverIsOpen_data()
    {
        QTest::addColumn<bool>("dialog");
        QTest::newRow("Ρυθμισεις menu") << false;
        QTest::newRow("Φακελλος Αρχειων WAV dialog") << true;
    }

    void oneClickOnStopUnkeysWhateverIsOpen()
    {
        QFETCH(bool, dialog);
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Session s(ports, m_display);
        QVERIFY(s.start());
        const QString missing = s.goOnAir(m_longTone);
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        if (dialog) {
            s.openWavFolderFromTheMenu();
            QVERIFY2(waitFor([&] {
                         const pid_t helper = s.helper("vendrel9-filedialog");
                         return helper > 0 && !s.visibleWindows(helper).isEmpty();
                     }, 10000),
                     "no file dialog on screen");
            QThread::msleep(300); // the dialog's answer that it is up has reached the window
        } else {
            s.openSettingsMenu();
            QVERIFY2(waitFor([&] { return s.visibleWindows(s.app.processId()).size() > 1; }, 5000), "no menu on screen");
        }
        QElapsedTimer clock;
        clock.start(); // xdotool's own start included
        s.clickAtOnce({kStop});
        QVERIFY2(waitFor([&] { return ports.rtsLow(1); }, kUnkeyBoundMs), "one click on ΔΙΑΚΟΠΗ did not unkey");
        qInfo("one click to RTS low: %lld ms", clock.elapsed());
        QVERIFY(s.running());
    }

private:
    QProcess m_xvfb;
    QString m_display;
    QTemporaryDir m_files;
    QString m_tone;
    QString m_longTone;
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
