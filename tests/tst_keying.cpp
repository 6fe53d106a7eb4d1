#include "fakes.h"
#include "playtransmit.h"
#include "portselection.h"

#include <QLabel>
#include <QLineEdit>
#include <QtTest>

class TestKeying : public QObject
{
    Q_OBJECT

    struct Rig
    {
        Journal journal;
        QWidget window;
        QLineEdit *text = new QLineEdit(&window);
        QWidget *playTr = new QWidget(&window);
        QWidget *file = new QWidget(&window);
        QWidget *stop = new QWidget(&window);
        QLabel *label10 = new QLabel(QStringLiteral("1"), &window);
        QWidget *red = new QWidget(&window);
        QWidget *green = new QWidget(&window);
        FakeMediaControl media {journal};
        FakeSerialPort serial {journal};
        FakeMessageBox messages {journal};
        qint16 port = 1;
        KeyingControls c {*text, *playTr, *file, *stop, *label10, *red, *green, media, serial, messages, port};
        PortControls ports {*label10, port};

        Rig()
        {
            // Idle after start-up.
            red->hide();
            stop->hide();
            window.show();
            text->setText(QStringLiteral("/m/cq.wav"));
        }
        // Idle: play-and-transmit and find-file shown, green lamp, port closed, RTS low.
        void verifyIdle() const
        {
            QVERIFY(playTr->isVisible());
            QVERIFY(file->isVisible());
            QVERIFY(green->isVisible());
            QVERIFY(!red->isVisible());
            QVERIFY(!serial.portOpen());
            QVERIFY(!serial.rts);
        }
        // The click, and whatever the port answers after it.
        void clickPlayTr()
        {
            cmdPlayTr_Click(c);
            QTest::qWait(20);
        }
        void verifyOnAir() const
        {
            QVERIFY(!playTr->isVisible());
            QVERIFY(!file->isVisible());
            QVERIFY(stop->isVisible());
            QVERIFY(red->isVisible());
            QVERIFY(!green->isVisible());
            QVERIFY(serial.portOpen());
            QVERIFY(serial.rts);
        }
    };

private slots:
    void emptyPathShowsMessageAndChangesNothing()
    {
        Rig rig;
        rig.text->clear();
        rig.clickPlayTr();
        QCOMPARE(rig.journal, QStringList {"message[Vendrel9|0]"});
        QCOMPARE(rig.messages.texts, QStringList {"Παρακαλω επιλεξτε καποιο αρχειο Wav"});
        rig.verifyIdle();
        QVERIFY(!rig.stop->isVisible());
    }

    void blanksCountAsAPath()
    {
        Rig rig;
        rig.text->setText(QStringLiteral("   "));
        rig.clickPlayTr();
        rig.verifyOnAir();
    }

    void onAirPeriodKeysThenPlays()
    {
        Rig rig;
        rig.port = 3;
        rig.clickPlayTr();
        QCOMPARE(rig.journal, (QStringList {"serial.CommPort=3", "serial.PortOpen=1", "serial.RTSEnable=1",
                                            "media.Play"}));
        QCOMPARE(rig.label10->text(), QStringLiteral("3"));
        rig.verifyOnAir();

        rig.journal.clear();
        cmdStop_Click(rig.c);
        QCOMPARE(rig.journal, (QStringList {"media.Stop", "serial.RTSEnable=0", "serial.PortOpen=0"}));
        rig.verifyIdle();
        QVERIFY(rig.stop->isVisible()); // stays once shown
    }

    void secondPeriodPlaysWithoutRewind()
    {
        Rig rig;
        rig.clickPlayTr();
        cmdStop_Click(rig.c);
        rig.journal.clear();
        rig.clickPlayTr();
        QCOMPARE(rig.journal.filter(QStringLiteral("media.")), QStringList {"media.Play"});
    }

    void stopWhileIdleLeavesThePortAlone()
    {
        Rig rig;
        cmdStop_Click(rig.c);
        QCOMPARE(rig.journal, (QStringList {"media.Stop", "serial.RTSEnable=0", "serial.PortOpen=0"}));
        rig.verifyIdle();
        QVERIFY(rig.messages.texts.isEmpty());
    }

    void portChoiceWhileKeyedChangesOnlyTheLabel()
    {
        Rig rig;
        rig.clickPlayTr();
        rig.journal.clear();
        cmdcom4_Click(rig.ports, 4);
        QCOMPARE(rig.label10->text(), QStringLiteral("4"));
        QVERIFY(rig.journal.isEmpty());
        rig.verifyOnAir();
        QCOMPARE(rig.serial.commPort(), qint16(1));
        cmdStop_Click(rig.c);
        rig.clickPlayTr();
        QCOMPARE(rig.serial.commPort(), qint16(4));
    }

    void eachMenuItemStoresItsOwnPort()
    {
        Rig rig;
        using Handler = void (*)(PortControls &, qint16);
        const Handler handlers[] = {cmdcom1_Click, cmdcom2_Click, cmdcom3_Click,
                                    cmdcom4_Click, cmdcom5_Click, cmdcom6_Click};
        for (int n = 1; n <= 6; ++n) {
            handlers[n - 1](rig.ports, qint16(99)); // the index is not what decides
            QCOMPARE(rig.port, qint16(n));
            QCOMPARE(rig.label10->text(), QString::number(n));
        }
    }

    void missingPortLeavesIdle()
    {
        Rig rig;
        rig.serial.failOpen = true;
        rig.port = 5;
        rig.clickPlayTr();
        QCOMPARE(rig.journal, (QStringList {"serial.CommPort=5", "serial.PortOpen=1", "message[Vendrel9|1]"}));
        QVERIFY(rig.messages.texts.first().contains(QStringLiteral("COM5")));
        QVERIFY(rig.messages.texts.first().contains(QStringLiteral("No such file or directory")));
        // The device tried, what it means in Greek, and the system's own words.
        QVERIFY(rig.messages.texts.first().contains(QStringLiteral("COM5 (/dev/ttyS4)")));
        QVERIFY(rig.messages.texts.first().contains(QStringLiteral("δεν υπαρχει τετοια συσκευη")));
        rig.verifyIdle();
        // ΔΙΑΚΟΠΗ was there while the port was being asked, and stays, as after any period.
        QVERIFY(rig.stop->isVisible());
    }

    void rtsThatCannotRiseLeavesIdle()
    {
        Rig rig;
        rig.serial.failRaise = true;
        rig.clickPlayTr();
        QVERIFY(!rig.journal.contains(QStringLiteral("media.Play")));
        QVERIFY(rig.journal.contains(QStringLiteral("serial.PortOpen=0")));
        QCOMPARE(rig.journal.last(), QStringLiteral("message[Vendrel9|1]"));
        rig.verifyIdle();
    }

    void stopFinishesUnkeyingWhenRtsFails()
    {
        Rig rig;
        rig.clickPlayTr();
        rig.serial.failDrop = true;
        rig.journal.clear();
        cmdStop_Click(rig.c);
        // The failure comes from the port after the click, and is told by the window.
        QCOMPARE(rig.journal, (QStringList {"media.Stop", "serial.RTSEnable=0", "serial.PortOpen=0"}));
        rig.verifyIdle();
    }

    // A port slow to answer: ΔΙΑΚΟΠΗ is there from the click on, and an attempt called off
    // never keys, whenever the answers come.
    void attemptCalledOffNeverKeys()
    {
        for (const bool openAnswered : {false, true}) {
            Rig rig;
            rig.serial.hold = true;
            rig.clickPlayTr();
            QVERIFY(rig.stop->isVisible());
            QVERIFY(rig.stop->hasFocus());
            QVERIFY(!rig.red->isVisible());
            if (openAnswered) {
                rig.serial.answerHeld(); // opened; the raise is held
                QCOMPARE(rig.journal.last(), QStringLiteral("serial.RTSEnable=1"));
            }
            cmdStop_Click(rig.c);
            rig.serial.answerHeld();
            QTest::qWait(10);
            QVERIFY(!rig.journal.contains(QStringLiteral("media.Play")));
            rig.verifyIdle();
        }
    }

    void unloadStopsUnkeysAndCloses()
    {
        Rig rig;
        rig.clickPlayTr();
        rig.journal.clear();
        Form_Unload(rig.c);
        QCOMPARE(rig.journal, (QStringList {"media.Stop", "serial.RTSEnable=0", "serial.PortOpen=0", "media.Close"}));
        QVERIFY(!rig.serial.rts);
        QVERIFY(!rig.serial.portOpen());
    }

    void unloadGoesOnWhenRtsFails()
    {
        Rig rig;
        rig.serial.failDrop = true;
        Form_Unload(rig.c);
        QCOMPARE(rig.journal.last(), QStringLiteral("media.Close"));
        QVERIFY(rig.messages.texts.isEmpty());
    }
};

QTEST_MAIN(TestKeying)
#include "tst_keying.moc"
