// Faults of the world around the program, through the real window and adapters: the
// serial port under the modem-line shim, real files on disk for saving.
#include "audiotools.h"
#include "devicetools.h"
#include "content.h"
#include "lamp.h"
#include "mediabar.h"
#include "ptyports.h"
#include "stations.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sndfile.h>
#include <atomic>
#include <fcntl.h>
#include <thread>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

class TestFaults : public QObject
{
    Q_OBJECT

    using Station = RealStation;

    static void verifyIdle(Station &s)
    {
        QVERIFY(s.form.cmdPlayTr->isVisible());
        QVERIFY(s.form.cmdFile->isVisible());
        QVERIFY(s.form.Shape2->isVisible());
        QVERIFY(!s.form.Shape1->isVisible());
        QVERIFY(!s.serial.portOpen());
    }

private slots:
    void initTestCase()
    {
        if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim")))
            QSKIP("needs the modem-line shim preloaded (run through ctest)");
        QVERIFY(m_dir.isValid());
        m_tone = m_dir.filePath(QStringLiteral("cq.wav"));
        QVERIFY(audiotools::writeTone(m_tone, 800, 1.0, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }

    void portVanishingOnAirEndsIdleAndTold()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station s;
        s.form.show();
        s.form.Text1->setText(m_tone);
        s.form.cmdPlayTr->click();
        QTRY_COMPARE(ports.rts(1), 1);
        ports.setFault(1, "gone", true); // every modem ioctl fails from here on
        s.form.cmdStop->click();
        verifyIdle(s);
        QTRY_COMPARE(ports.rts(1), 0); // the hang-up on close still drops it
        // Told once the port has answered, without a box that waits.
        QTRY_COMPARE(s.messages.texts.size(), 1);
        QVERIFY(s.messages.texts.first().contains(QStringLiteral("COM1")));
        QCOMPARE(s.journal.filter(QStringLiteral("notice[")).size(), 1);
        // And the next transmission on a working port goes ahead.
        ports.setFault(1, "gone", false);
        s.form.cmdPlayTr->click();
        QTRY_COMPARE(ports.rts(1), 1);
        s.form.cmdStop->click();
        QTRY_COMPARE(ports.rts(1), 0);
    }

    void rtsThatWillNotRiseLeavesIdleAndTold()
    {
        PtyPorts ports;
        QVERIFY(ports.add(2));
        ports.setFault(2, "stuck", true);
        Station s;
        s.form.show();
        s.form.cmdcomN[1]->trigger();
        s.form.Text1->setText(m_tone);
        s.form.cmdPlayTr->click();
        QTRY_VERIFY(s.form.cmdPlayTr->isVisible());
        verifyIdle(s);
        QTRY_COMPARE(ports.rts(2), 0);
        QVERIFY(devicetools::settled(s.device));
        QCOMPARE(s.device.mode(), IAudioDevice::Mode::Stopped); // no "Play" was sent
        QCOMPARE(s.messages.texts.size(), 1);
    }

    void secondKeyerOnTheSamePortIsRefused()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        Station first, second;
        first.form.Text1->setText(m_tone);
        second.form.Text1->setText(m_tone);
        first.form.show();
        second.form.show();
        first.form.cmdPlayTr->click();
        QTRY_VERIFY(first.serial.portOpen());
        second.form.cmdPlayTr->click();
        QTRY_VERIFY(second.form.cmdPlayTr->isVisible());
        verifyIdle(second);
        QCOMPARE(second.messages.texts.size(), 1);
        QCOMPARE(ports.rts(1), 1); // the first still keys
        first.form.cmdStop->click();
        QTRY_COMPARE(ports.rts(1), 0);
    }

    void failedSavesKeepTheOldFileAndTell_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("target became a folder") << "folder";
        QTest::newRow("folder removed") << "removed";
        QTest::newRow("disk full") << "full";
    }

    void failedSavesKeepTheOldFileAndTell()
    {
        QFETCH(QString, fault);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("messages"));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/cq.wav");
        QVERIFY(audiotools::writeTone(path, 500, 0.5, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const QByteArray before = devicetools::fileBytes(path);

        Station s;
        s.form.Text1->setText(path);
        const auto settled = [&s] { return devicetools::settled(s.device); };
        QVERIFY(settled());
        QVERIFY(s.device.mode() == IAudioDevice::Mode::Stopped);
        s.device.rewind();
        const bool needsSound = qEnvironmentVariableIsEmpty("PULSE_SERVER");
        if (needsSound)
            QSKIP("needs the private sound server to record");
        s.device.record();
        // Far more than the 1 KiB a full disk leaves below, whichever server records.
        QTRY_VERIFY(s.device.position() > 8000);
        s.device.stop();
        QVERIFY(settled());
        QVERIFY(s.device.length() > 0);

        rlimit old {};
        getrlimit(RLIMIT_FSIZE, &old);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        // Whatever happens below, the rest of the suite gets its disk back.
        bool restored = false;
        const auto restoreDisk = [&] {
            if (!std::exchange(restored, true)) {
                setrlimit(RLIMIT_FSIZE, &old);
                std::signal(SIGXFSZ, oldHandler);
            }
        };
        const auto guard = qScopeGuard(restoreDisk);
        if (fault == QStringLiteral("folder")) {
            QVERIFY(QFile::remove(path));
            QVERIFY(QDir().mkpath(path));
        } else if (fault == QStringLiteral("removed")) {
            QVERIFY(QDir(folder).removeRecursively());
        } else {
            rlimit small = old;
            small.rlim_cur = 1024;
            setrlimit(RLIMIT_FSIZE, &small);
        }
        s.form.cmdSave->click();
        // The save runs on the device's thread; the limit holds until it has failed.
        QVERIFY(settled());
        QTRY_COMPARE(s.messages.texts.size(), 1);
        restoreDisk();
        QVERIFY(s.journal.last().startsWith(QStringLiteral("notice[")));
        QVERIFY(s.messages.texts.first().contains(path));
        if (fault == QStringLiteral("full")) {
            QCOMPARE(devicetools::fileBytes(path), before);
            QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList {QStringLiteral("cq.wav")});
            // The recording is still there: the next save, with room, writes it.
            s.form.cmdSave->click();
            QVERIFY(settled());
            QTest::qWait(50);
            QCOMPARE(s.messages.texts.size(), 1);
            QVERIFY(devicetools::fileBytes(path) != before);
        }
    }

    void hundredSavesLeaveNoStrayFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cq.wav"));
        QVERIFY(audiotools::writeTone(path, 500, 0.2, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        Content content;
        QVERIFY(content.openFile(path));
        const std::vector<float> take(800, 0.2f);
        for (int i = 0; i < 100; ++i) {
            QVERIFY(content.beginTake(i % 7 * 100));
            QVERIFY(content.appendTake(take.data(), qint64(take.size())));
            QString error;
            QVERIFY2(content.save(&error), qPrintable(error));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {QStringLiteral("cq.wav")});
        QCOMPARE(QDir(QDir::tempPath()).entryList({QStringLiteral("vendrel9-take-*")}, QDir::Files), QStringList {});
    }

    void killedInTheMiddleOfASave()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("cq.wav"));
        QVERIFY(audiotools::writeTone(path, 500, 0.2, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        const QByteArray before = devicetools::fileBytes(path);
        for (int delayMs : {5, 40, 150}) {
            QProcess child;
            child.start(QStringLiteral(V9_SAVECHILD_PATH), {path});
            QVERIFY(child.waitForReadyRead(20000));
            QThread::msleep(delayMs);
            child.kill();
            QVERIFY(child.waitForFinished());
            const QByteArray after = devicetools::fileBytes(path);
            if (after != before) {
                // Only a whole new file may have replaced the old one.
                SF_INFO info {};
                SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
                QVERIFY(file);
                QCOMPARE(info.frames, qint64(V9_SAVECHILD_FRAMES));
                sf_close(file);
                return;
            }
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList {QStringLiteral("cq.wav")});
        }
    }

    // The bound name swapped back and forth between a WAV file and a link to a terminal
    // while it is opened again and again: no terminal is ever opened, so no port's
    // lines are ever pulsed (the shim logs every open that yields a terminal).
    void swappingTheNameForATerminalNeverOpensIt()
    {
        PtyPorts ports; // the shim's folder, where its open log goes
        QVERIFY(ports.isValid());
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString terminal = QString::fromLocal8Bit(::ptsname(master));
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("swap.wav"));
        const QString other = dir.filePath(QStringLiteral("other"));
        QVERIFY(audiotools::writeTone(name, 500, 0.05, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        QVERIFY(QFile::link(terminal, other));
        std::atomic<bool> done {false};
        std::thread swapper([&] {
            const QByteArray a = QFile::encodeName(name), b = QFile::encodeName(other);
            while (!done)
                ::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE);
        });
        int opened = 0;
        for (int i = 0; i < 5000; ++i) {
            Content content;
            opened += content.openFile(name) ? 1 : 0;
        }
        done = true;
        swapper.join();
        ::close(master);
        QVERIFY(opened > 0); // the race was run: the file was there some of the time
        QFile log(ports.dir() + QStringLiteral("/opens.log"));
        QVERIFY2(!log.exists(), log.open(QIODevice::ReadOnly) ? log.readAll().left(500).constData() : "");
    }

private:
    QTemporaryDir m_dir;
    QString m_tone;
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
