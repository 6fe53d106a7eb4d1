#include "porttools.h"
#include "ptyports.h"
#include "serialportadapter.h"

#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

class TestSerialPort : public QObject
{
    Q_OBJECT

    // Every device path opened since the ports were made, as the shim logged them.
    static QStringList opened(const PtyPorts &ports)
    {
        QFile log(ports.dir() + QStringLiteral("/opens.log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        QStringList paths = QString::fromLocal8Bit(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        paths.removeDuplicates();
        return paths;
    }

private slots:
    void initTestCase()
    {
        if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral("v9modemshim")))
            QSKIP("needs the modem-line shim preloaded (run through ctest)");
    }

    void openLeavesRtsLowAndSetsHangupOnClose()
    {
        PtyPorts ports;
        QVERIFY(ports.add(2));
        // Another program cleared HUPCL on this port before us.
        termios tio {};
        QCOMPARE(tcgetattr(ports.master(2), &tio), 0);
        tio.c_cflag &= ~tcflag_t(HUPCL);
        QCOMPARE(tcsetattr(ports.master(2), TCSANOW, &tio), 0);

        SerialPortAdapter port;
        port.setCommPort(2);
        QVERIFY2(openPort(port), qPrintable(port.errorString()));
        QVERIFY(port.portOpen());
        // The kernel raised RTS on open; the adapter dropped it at once.
        const QStringList log = ports.rtsLog();
        QCOMPARE(log.size(), 2);
        QVERIFY(log.at(0).startsWith(QStringLiteral("ttyS1 1 ")));
        QVERIFY(log.at(1).startsWith(QStringLiteral("ttyS1 0 ")));
        const qint64 pulse = log.at(1).section(QLatin1Char(' '), 2).toLongLong() - log.at(0).section(QLatin1Char(' '), 2).toLongLong();
        qInfo("RTS pulse at open: %lld us", pulse / 1000);
        QCOMPARE(tcgetattr(ports.master(2), &tio), 0);
        QVERIFY(tio.c_cflag & HUPCL);
        QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
        QCOMPARE(cfgetospeed(&tio), speed_t(B9600));
    }

    void rtsFollowsTheEnableWhileOpen()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        SerialPortAdapter port;
        port.setRTSEnable(false); // closed: only remembered
        QCOMPARE(ports.rts(1), -1);
        QVERIFY(openPort(port));
        QVERIFY(raiseRts(port));
        QCOMPARE(ports.rts(1), 1);
        port.setRTSEnable(false);
        QTRY_COMPARE(ports.rts(1), 0);
        // After an unkey RTS rises again only on a port opened anew: a raise already on
        // its way when the unkey came must never key.
        QVERIFY(!raiseRts(port));
        QCOMPARE(ports.rts(1), 0);
        port.setPortOpen(false); // closing drops the line (HUPCL)
        QTRY_COMPARE(ports.rts(1), 0);
        QVERIFY(!port.portOpen());
    }

    void onlyTheChosenPortIsOpened()
    {
        PtyPorts ports;
        for (int n = 1; n <= 6; ++n)
            QVERIFY(ports.add(n));
        SerialPortAdapter port;
        port.setCommPort(4);
        QVERIFY(openPort(port));
        QVERIFY(raiseRts(port));
        const QStringList log = ports.rtsLog();
        QVERIFY(!log.isEmpty());
        for (const QString &line : log)
            QVERIFY2(line.startsWith(QStringLiteral("ttyS3 ")), qPrintable(line));
    }

    void missingPortFailsWithAReason()
    {
        PtyPorts ports;
        SerialPortAdapter port;
        port.setCommPort(6);
        QVERIFY(!openPort(port));
        QVERIFY(!port.errorString().isEmpty());
        QVERIFY(!port.portOpen());
    }

    void portHeldByAnotherProcessFails()
    {
        PtyPorts ports;
        QVERIFY(ports.add(3));
        QProcess holder;
        holder.setEnvironment(ports.environment());
        holder.start(QStringLiteral(V9_PORTHOLD_PATH), {QStringLiteral("3")});
        QVERIFY(holder.waitForReadyRead(5000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("ready"));

        SerialPortAdapter port;
        port.setCommPort(3);
        QVERIFY(!openPort(port));
        QVERIFY(!port.errorString().isEmpty());
        QCOMPARE(ports.rtsLog().size(), 2); // only the holder's own open and drop
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(5000));
        // Free again once the other program is gone.
        QVERIFY2(openPort(port), qPrintable(port.errorString()));
    }

    void failuresOfTheLineAreReported()
    {
        PtyPorts ports;
        QVERIFY(ports.add(5));
        SerialPortAdapter port;
        port.setCommPort(5);
        ports.setFault(5, "stuck", true);
        QVERIFY(openPort(port));
        QVERIFY(!raiseRts(port));
        QVERIFY(!port.errorString().isEmpty());
        ports.setFault(5, "stuck", false);
        QVERIFY(raiseRts(port));
        // The adapter pulled out: dropping RTS returns at once and fails at the port
        // after; the failure is told, and the close still drops the line.
        int told = 0;
        port.setFailureListener([&told] { ++told; });
        ports.setFault(5, "gone", true);
        unkeyPort(port);
        QTRY_COMPARE(told, 1);
        QVERIFY(!port.errorString().isEmpty());
        QTRY_COMPARE(ports.rts(5), 0);
    }

    void vanishedPortDoesNotSpin()
    {
        PtyPorts ports;
        QVERIFY(ports.add(2));
        SerialPortAdapter port;
        port.setCommPort(2);
        QVERIFY(openPort(port));
        QVERIFY(raiseRts(port));
        ports.closeMaster(2); // the far end goes away: reads on the port now fail
        // This process and the port's helper together, seconds of CPU.
        const auto cpu = [] {
            rusage self {};
            getrusage(RUSAGE_SELF, &self);
            double seconds = double(self.ru_utime.tv_sec) + double(self.ru_utime.tv_usec) / 1e6;
            QFile children(QStringLiteral("/proc/self/task/%1/children").arg(::gettid()));
            if (children.open(QIODevice::ReadOnly)) {
                for (const QByteArray &pid : children.readAll().split(' ')) {
                    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid.trimmed())));
                    if (!pid.trimmed().isEmpty() && stat.open(QIODevice::ReadOnly)) {
                        const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
                        seconds += double(fields.value(12).toLongLong() + fields.value(13).toLongLong()) / double(sysconf(_SC_CLK_TCK));
                    }
                }
            }
            return seconds;
        };
        const double before = cpu();
        QTest::qWait(500);
        const double used = cpu() - before;
        QVERIFY2(used < 0.2, qPrintable(QString::number(used)));
        unkeyPort(port);
    }

    // A USB adapter given a COM number by the user's own link: that device is keyed, and
    // nothing else under /dev is opened; the lock file is the test's own.
    void comLinkKeysTheLinkedDeviceAndNothingElse()
    {
        PtyPorts ports;
        QVERIFY(ports.add(6)); // /dev/ttyS5 stands for the adapter
        const ComLink link(5);
        QVERIFY(link.to(QStringLiteral("/dev/ttyS5")));
        QCOMPARE(portDeviceName(5), QStringLiteral("/dev/ttyS5"));
        QCOMPARE(portDeviceName(4), QStringLiteral("/dev/ttyS3")); // no link: the platform's
        QCOMPARE(portDeviceName(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(portDeviceName(6), QStringLiteral("/dev/ttyS5"));
        SerialPortAdapter port;
        port.setCommPort(5);
        QVERIFY2(openPort(port), qPrintable(port.errorString()));
        QVERIFY(raiseRts(port));
        QCOMPARE(ports.rts(6), 1);
        QVERIFY(QFile::exists(ports.dir() + QStringLiteral("/LCK..ttyS5")));
        port.setPortOpen(false);
        // Closing is not waited for: the helper drops RTS, closes and then unlocks.
        QTRY_COMPARE(ports.rts(6), 0);
        QTRY_VERIFY(!QFile::exists(ports.dir() + QStringLiteral("/LCK..ttyS5")));
        QCOMPARE(opened(ports), QStringList {QStringLiteral("/dev/ttyS5")});
    }

    void danglingComLinkIsReportedAndKeysNothing()
    {
        PtyPorts ports;
        QVERIFY(ports.add(4));
        const ComLink link(4);
        const QString missing = QStringLiteral("/dev/serial/by-id/usb-v9-unplugged-if00-port0");
        QVERIFY(link.to(missing));
        SerialPortAdapter port;
        port.setCommPort(4);
        QVERIFY(!openPort(port));
        QCOMPARE(port.failure(), ISerialPort::Failure::NotFound);
        QCOMPARE(port.portName(), missing);
        QVERIFY(!port.errorString().isEmpty());
        QCOMPARE(ports.rts(4), -1); // COM4's usual device was never touched
        QCOMPARE(opened(ports), QStringList {missing});
    }

    // Whatever becomes of the port's helper on air, RTS goes low: a helper that does not
    // acknowledge the drop within its deadline is killed and the kernel hangs the port
    // up; a helper that dies is told at once.
    // After the event loop, while the exit waits for saves, no deadline runs: a close the
    // helper has not answered is not left to it, and the port hangs up at once.
    void closeUnansweredAtTheEndIsNotLeftOpen()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        SerialPortAdapter port;
        QVERIFY(openPort(port));
        const pid_t helper = childNamed("vendrel9-port");
        QVERIFY(helper > 0);
        ::kill(helper, SIGSTOP);
        port.setPortOpen(false);
        port.giveUpUnansweredClose();
        QVERIFY(ports.hungUp(1, 5000));
        QTRY_VERIFY(!running(helper));
    }

    void spoiledHelperNeverHoldsRts_data()
    {
        QTest::addColumn<QString>("spoil");
        QTest::addColumn<bool>("unkey");
        QTest::newRow("stopped, then ΔΙΑΚΟΠΗ") << "stop" << true;
        QTest::newRow("modem ioctl hangs, then ΔΙΑΚΟΠΗ") << "hang" << true;
        QTest::newRow("killed on air") << "kill" << false;
    }

    void spoiledHelperNeverHoldsRts()
    {
        QFETCH(QString, spoil);
        QFETCH(bool, unkey);
        PtyPorts ports;
        QVERIFY(ports.add(1));
        SerialPortAdapter port;
        QList<ISerialPort::Failure> told;
        port.setFailureListener([&] { told << port.failure(); });
        QVERIFY(openPort(port));
        QVERIFY(raiseRts(port));
        const pid_t helper = childNamed("vendrel9-port");
        QVERIFY(helper > 0);
        if (spoil == QStringLiteral("stop"))
            ::kill(helper, SIGSTOP);
        else if (spoil == QStringLiteral("hang"))
            ports.setFault(1, "hang", true);
        else
            ::kill(helper, SIGKILL);
        if (unkey) {
            unkeyPort(port);
        }
        // A killed helper drops RTS by the kernel's hang-up, which the shim cannot log.
        QTRY_VERIFY_WITH_TIMEOUT(ports.rts(1) == 0 || ports.hungUp(1, 0), 5000);
        QTRY_VERIFY(!running(helper));
        QTRY_COMPARE(told.size(), 1);
        QCOMPARE(told.first(), unkey ? ISerialPort::Failure::NoAnswer : ISerialPort::Failure::HelperGone);
        ports.setFault(1, "hang", false);
        // The next transmission gets a helper of its own.
        QVERIFY2(openPort(port), qPrintable(port.errorString()));
        QVERIFY(raiseRts(port));
        QCOMPARE(ports.rts(1), 1);
        unkeyPort(port);
        QTRY_COMPARE(ports.rts(1), 0);
    }

    // An open that never answers is given up within its deadline, its helper killed, and
    // nothing opens or keys when the port comes back; one called off never keys either.
    void stalledOpenIsGivenUpOrCalledOff()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        ports.setFault(1, "stall", true);
        SerialPortAdapter port;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!openPort(port));
        QCOMPARE(port.failure(), ISerialPort::Failure::NoAnswer);
        QVERIFY(clock.elapsed() < SerialPortAdapter::kOpenDeadlineMs + 5000);
        bool answered = false;
        port.setPortOpen(true, [&](bool) { answered = true; });
        QTest::qWait(200);
        unkeyPort(port);
        ports.setFault(1, "stall", false);
        QTest::qWait(1000);
        QVERIFY(!answered);
        QVERIFY(!port.portOpen());
        QCOMPARE(ports.rts(1), -1); // never opened: the helper waiting in it was killed
    }

    // A COM link's target may hold any byte a file name can: it reaches the helper whole,
    // and the next transmission on another port is keyed as if nothing had happened.
    void deviceNameWithANewlinePassesWhole()
    {
        PtyPorts ports;
        QVERIFY(ports.add(1));
        const ComLink link(3);
        const QString odd = link.config.filePath(QStringLiteral("usb\nadapter"));
        QVERIFY(link.to(odd));
        SerialPortAdapter port;
        port.setCommPort(3);
        QVERIFY(!openPort(port));
        QCOMPARE(port.failure(), ISerialPort::Failure::NotFound);
        QCOMPARE(port.portName(), odd);
        port.setCommPort(1);
        QVERIFY2(openPort(port), qPrintable(port.errorString()));
        QVERIFY(raiseRts(port));
        QCOMPARE(ports.rts(1), 1);
        unkeyPort(port);
        // Nothing of the port is held once closed.
        QVERIFY(ports.hungUp(1, 5000));
    }

    void withoutTheShimFolderNoTtyOpens()
    {
        const ScopedEnv noShimFolder("V9_SHIM_DIR");
        SerialPortAdapter port;
        port.setCommPort(1);
        QVERIFY(!openPort(port));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
