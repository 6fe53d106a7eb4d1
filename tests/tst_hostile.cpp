// Whatever a user can type or pick goes through the real window and the real device:
// each keystroke is handled at once, nothing crashes or hangs, and the device ends either
// closed or open on something it can really use.
#include "audiotools.h"
#include "devicetools.h"
#include "mediabar.h"
#include "stations.h"
#include "wavtools.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

using Mode = IAudioDevice::Mode;

class TestHostile : public QObject
{
    Q_OBJECT

    struct Rig : StationOn<WaveDevice, FakeSerialPort>
    {
        Rig() { form.show(); }
    };

    QString make(const char *name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QString::fromUtf8(name));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
        return path;
    }

    // The device may be open only on a file libsndfile reads, or on a new recording.
    static void verifyDeviceSane(const WaveDevice &device)
    {
        // The device opens on a thread of its own; what it ends with is what counts.
        QVERIFY(devicetools::settled(device));
        if (device.mode() == Mode::Closed)
            return;
        const QByteArray path = QFile::encodeName(device.path());
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            QVERIFY2(device.length() == 0, "a new recording starts empty");
            return;
        }
        QVERIFY(S_ISREG(st.st_mode));
        SF_INFO info {};
        SNDFILE *file = sf_open(path.constData(), SFM_READ, &info);
        QVERIFY2(file, path.constData());
        sf_close(file);
    }

    static void pressEverything(Rig &rig)
    {
        QTest::mouseClick(rig.form.MMControl1->button(MediaBar::Play), Qt::LeftButton);
        rig.form.cmdPlayTr->click();
        QTest::qWait(20);
        rig.form.cmdStop->click();
        rig.form.cmdSave->click();
        QCoreApplication::processEvents();
        QVERIFY(rig.form.isVisible());
        QVERIFY(!rig.serial.rts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
    }

    void hostileInput_data()
    {
        QTest::addColumn<QString>("path");
        const QByteArray pcm(4000, '\x10');
        QByteArray random(8192, 0);
        for (int i = 0; i < random.size(); ++i)
            random[i] = char((i * 7919 + 13) % 251);
        QByteArray notWav = "fLaC";
        notWav += random.left(500);
        const QString fifo = m_dir.filePath(QStringLiteral("fifo.wav"));
        ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
        const QString loopA = m_dir.filePath(QStringLiteral("loop-a.wav"));
        const QString loopB = m_dir.filePath(QStringLiteral("loop-b.wav"));
        QFile::link(loopB, loopA);
        QFile::link(loopA, loopB);
        const QString greek = m_dir.filePath(QStringLiteral("μήνυμα CQ\nδοκιμή.wav"));
        audiotools::writeTone(greek, 600, 0.2, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

        QTest::newRow("missing file") << m_dir.filePath(QStringLiteral("nothing-here.txt"));
        QTest::newRow("new name in a missing folder") << m_dir.filePath(QStringLiteral("no/folder/cq.wav"));
        QTest::newRow("folder") << m_dir.path();
        QTest::newRow("fifo with no writer") << fifo;
        QTest::newRow("/dev/zero") << QStringLiteral("/dev/zero");
        QTest::newRow("/dev/urandom") << QStringLiteral("/dev/urandom");
        QTest::newRow("empty file") << make("empty.wav", QByteArray());
        QTest::newRow("header, no data") << make("header.wav", wavtools::wavHeader(0, 1, 8000));
        QTest::newRow("truncated data") << make("truncated.wav", wavtools::wavHeader(40000, 1, 8000) + pcm);
        QTest::newRow("data larger than file") << make("lying.wav", wavtools::wavHeader(0xFFFFFF00u, 2, 48000) + pcm);
        QTest::newRow("zero channels") << make("zeroch.wav", wavtools::wavHeader(4000, 0, 8000) + pcm);
        QTest::newRow("zero rate") << make("zerorate.wav", wavtools::wavHeader(4000, 1, 0) + pcm);
        QTest::newRow("absurd rate") << make("hugerate.wav", wavtools::wavHeader(4000, 1, 0xFFFFFFFFu) + pcm);
        QTest::newRow("1 Hz rate") << make("onehz.wav", wavtools::wavHeader(4000, 1, 1) + pcm);
        QTest::newRow("1000 channels") << make("thousand.wav", wavtools::wavHeader(4000, 1000, 8000) + pcm);
        QTest::newRow("random bytes") << make("random.wav", random);
        QTest::newRow("another format") << make("flac.wav", notWav);
        QTest::newRow("Greek, spaces, newline") << greek;
        QTest::newRow("5000 characters") << QString(5000, QLatin1Char('a')) + QStringLiteral(".wav");
        QTest::newRow("symbolic-link loop") << loopA;
    }

    void hostileInput()
    {
        QFETCH(QString, path);

        // Typed key by key: each keystroke rebinds the device at once.
        {
            Rig rig;
            rig.form.Text1->setFocus();
            QElapsedTimer clock;
            qint64 worst = 0;
            for (const QChar c : path) {
                clock.start();
                const char key = c.toLatin1();
                if (key > ' ' && key < 127)
                    QTest::keyClick(rig.form.Text1, key);
                else
                    rig.form.Text1->insert(QString(c)); // Greek, blanks, a newline: as an input method would
                worst = qMax(worst, clock.nsecsElapsed());
            }
            // Generous for a busy machine; the keystroke figure itself is make bench's.
            QVERIFY2(worst < 1'000'000'000, qPrintable(QStringLiteral("slowest keystroke %1 ms").arg(worst / 1e6)));
            verifyDeviceSane(rig.device);
            pressEverything(rig);
            verifyDeviceSane(rig.device);
        }
        // Set at once, as a paste.
        {
            Rig rig;
            rig.form.Text1->setText(path);
            QCOMPARE(rig.form.Text1->text(), path);
            verifyDeviceSane(rig.device);
            pressEverything(rig);
            verifyDeviceSane(rig.device);
        }
        // As the file dialog's result.
        {
            Rig rig;
            rig.dialog.answers = QStringList {path};
            rig.form.cmdFile->click();
            verifyDeviceSane(rig.device);
            pressEverything(rig);
            verifyDeviceSane(rig.device);
        }
    }

    void greekPathOpensAndPlays()
    {
        const QString path = m_dir.filePath(QStringLiteral("Ελληνικά μηνύματα/CQ de SV.wav"));
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(audiotools::writeTone(path, 600, 0.2, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        Rig rig;
        rig.form.Text1->setText(path);
        QTRY_COMPARE(rig.device.mode(), Mode::Stopped);
        QCOMPARE(rig.device.path(), path);
    }

    void unreadableFileStaysClosed()
    {
        if (::geteuid() == 0)
            QSKIP("root reads every file; this case runs as its own test under an unprivileged user");
        const QString path = m_dir.filePath(QStringLiteral("secret.wav"));
        QVERIFY(audiotools::writeTone(path, 600, 0.2, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        Rig rig;
        rig.form.Text1->setText(path);
        QVERIFY(devicetools::settled(rig.device));
        QCOMPARE(rig.device.mode(), Mode::Closed);
        pressEverything(rig);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
