#include "stations.h"
#include "lamp.h"
#include "mediabar.h"
#include "qtfiledialog.h"
#include "station.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QToolButton>
#include <QAccessible>
#include <QtTest>

class TestForm1 : public QObject
{
    Q_OBJECT

    struct Rig : FakeStation
    {
        Rig()
        {
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
        }
    };

private slots:
    void startsIdleOnPortOne()
    {
        Rig rig;
        Form1 &f = rig.form;
        QCOMPARE(f.windowTitle(), QStringLiteral("ΒΕΝΤΡΕΛΟ  (VALDOR)"));
        QVERIFY(f.Shape2->isVisible());
        QVERIFY(!f.Shape1->isVisible());
        QVERIFY(!f.cmdStop->isVisible());
        QVERIFY(f.cmdPlayTr->isVisible() && f.cmdFile->isVisible());
        QCOMPARE(f.PortNumber, qint16(1));
        QCOMPARE(f.Label11->text(), QStringLiteral("Com="));
        QCOMPARE(f.Label10->text(), QStringLiteral("1"));
        QCOMPARE(f.Text1->text(), QString());
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.MMControl1));
        QVERIFY(rig.journal.isEmpty()); // start-up touches neither device nor port
    }

    void layoutFollowsTheTwipTable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        // left, top, width, height in twips / 15
        QTest::newRow("cmdSave") << "cmdSave" << QRect(384, 136, 153, 25) << "ΣΩΣΙΜΟ ΕΓΓΡΑΦΗΣ";
        QTest::newRow("Text1") << "Text1" << QRect(176, 136, 193, 19) << "";
        QTest::newRow("cmdStop") << "cmdStop" << QRect(200, 240, 153, 25) << "ΔΙΑΚΟΠΗ";
        QTest::newRow("cmdPlayTr") << "cmdPlayTr" << QRect(200, 200, 153, 25) << "ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ";
        QTest::newRow("cmdFile") << "cmdFile" << QRect(8, 136, 153, 25) << "EΥΡΕΣΗ ΑΡΧΕΙΟΥ  wav";
        QTest::newRow("MMControl1") << "MMControl1" << QRect(104, 48, 320, 57) << "";
        QTest::newRow("Label11") << "Label11" << QRect(456, 96, 33, 25) << "Com=";
        QTest::newRow("Label10") << "Label10" << QRect(496, 96, 17, 25) << "1";
        QTest::newRow("Label8") << "Label8" << QRect(360, 24, 57, 17) << "ΕΓΓΡΑΦΗ";
        QTest::newRow("Label7") << "Label7" << QRect(304, 112, 49, 17) << "ΔΙΑΚΟΠΗ";
        QTest::newRow("Label4") << "Label4" << QRect(248, 24, 41, 17) << "ΠΑΥΣΗ";
        QTest::newRow("Label3") << "Label3" << QRect(168, 112, 81, 17) << "ΑΝΑΠΑΡΑΓΩΓΗ";
        QTest::newRow("Label1") << "Label1" << QRect(120, 24, 49, 17) << "ΑΡΧΗ";
        QTest::newRow("Shape2") << "Shape2" << QRect(464, 64, 25, 25) << "";
        QTest::newRow("Shape1") << "Shape1" << QRect(464, 64, 25, 25) << "";
    }

    void layoutFollowsTheTwipTable()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        Rig rig;
        QCOMPARE(rig.form.centralWidget()->size(), QSize(550, 304));
        auto *widget = rig.form.centralWidget()->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), geometry);
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->text(), caption);
        if (auto *label = qobject_cast<QLabel *>(widget))
            QCOMPARE(label->text(), caption);
        // Resizing the window moves and grows nothing.
        rig.form.resize(rig.form.width() + 200, rig.form.height() + 100);
        QCoreApplication::processEvents();
        QCOMPARE(widget->geometry(), geometry);
    }

    void mediaLabelsSitOverTheirButtons()
    {
        Rig rig;
        Form1 &f = rig.form;
        const QLabel *labels[] = {f.Label1, f.Label3, f.Label4, f.Label7, f.Label8};
        for (int i = 0; i < MediaBar::ButtonCount; ++i) {
            const QRect button = f.MMControl1->button(MediaBar::Button(i))->geometry().translated(f.MMControl1->pos());
            QCOMPARE(button.width(), 64);
            QVERIFY2(qAbs(labels[i]->geometry().center().x() - button.center().x()) <= 10, qPrintable(labels[i]->text()));
        }
    }

    void buttonFacesCarryTheirOwnColour_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("cmdSave") << "cmdSave" << QColor(0x80, 0xFF, 0x80);
        QTest::newRow("cmdStop") << "cmdStop" << QColor(0xC0, 0xFF, 0xC0);
        QTest::newRow("cmdPlayTr") << "cmdPlayTr" << QColor(0xFF, 0x80, 0x80);
        QTest::newRow("cmdFile") << "cmdFile" << QColor(0xFF, 0xFF, 0xFF);
    }

    void buttonFacesCarryTheirOwnColour()
    {
        QFETCH(QString, name);
        QFETCH(QColor, colour);
        Rig rig;
        auto *button = rig.form.findChild<QPushButton *>(name);
        button->show();
        const QImage face = button->grab().toImage();
        QCOMPARE(face.pixelColor(5, face.height() / 2), colour);
        QVERIFY(!button->autoDefault() && !button->isDefault());
        // With the focus on it the face keeps its colour; only the frame changes.
        button->setFocus();
        QTRY_VERIFY(button->hasFocus());
        const QImage focused = button->grab().toImage();
        QCOMPARE(focused.pixelColor(5, focused.height() / 2), colour);
        QCOMPARE(focused.pixelColor(focused.width() / 2, 4), colour);
    }

    // The keyboard on air: Space keys only from ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ, unkeys from ΔΙΑΚΟΠΗ,
    // and a second Space there only stops again. The path is never touched.
    void spaceKeysOnlyByADeliberateMove()
    {
        Rig rig;
        Form1 &f = rig.form;
        rig.bind();
        f.Text1->setFocus();
        f.Text1->selectAll();
        QTest::keyClick(f.Text1, Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.cmdPlayTr));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_VERIFY(rig.serial.rts);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.cmdStop));
        for (int press = 0; press < 3; ++press) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
            QVERIFY(!rig.serial.rts);
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.cmdStop));
        }
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(QApplication::focusWidget(), key);
        QVERIFY(!rig.serial.rts);
        // Keying again takes the move back to ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.cmdPlayTr));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_VERIFY(rig.serial.rts);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(!rig.serial.rts);
        QCOMPARE(f.Text1->text(), QStringLiteral("/m/cq.wav"));
    }

    // A port that fails hands the focus back to ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ, never to the path
    // box with the path selected: Space tries the port again and the path stays. Once a
    // working port is chosen, the same Space keys with the path there to play.
    void portFailureLeavesTheFocusWhereSpaceIsHarmless()
    {
        Rig rig;
        Form1 &f = rig.form;
        rig.bind();
        rig.serial.failOpen = true;
        f.cmdPlayTr->setFocus();
        for (int press = 0; press < 2; ++press) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
            QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.cmdPlayTr));
            QVERIFY(!rig.serial.rts);
            QCOMPARE(f.Text1->text(), QStringLiteral("/m/cq.wav"));
        }
        QCOMPARE(rig.journal.filter(QStringLiteral("message[")).size(), 2);
        // The RTS line that will not rise: the same.
        rig.serial.failOpen = false;
        rig.serial.failRaise = true;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(f.cmdPlayTr));
        QVERIFY(!rig.serial.rts);
        rig.serial.failRaise = false;
        f.cmdcomN[1]->trigger();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_VERIFY(rig.serial.rts);
        QCOMPARE(f.Text1->text(), QStringLiteral("/m/cq.wav"));
        QVERIFY(rig.journal.contains(QStringLiteral("device.play air")));
    }

    // The real file dialog, in its helper process: modal for the window, but for ΔΙΑΚΟΠΗ,
    // which unkeys while the dialog is up; Escape in the window calls the dialog off.
    void fileDialogLeavesOnlyTheUnkeyLive()
    {
        StationOn<FakeAudioDevice, FakeSerialPort, QtFileDialog> station;
        auto [form, serial, dialog] = std::tie(station.form, station.serial, station.dialog);
        dialog.setParentWidget(&form);
        dialog.keepLive(form.cmdStop);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(station.keyOn());
        form.cmdWav->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isShown(), 20000);
        QTest::keyClicks(form.Text1, QStringLiteral("x"));
        QTest::mouseClick(form.cmdStop, Qt::LeftButton);
        QVERIFY(!serial.rts);
        QTest::keyClick(&form, Qt::Key_Escape);
        QTRY_VERIFY(!dialog.isShown());
        QCOMPARE(form.Text1->text(), QStringLiteral("/m/cq.wav"));
        QVERIFY(form.Shape2->isVisible());
        // The window is given back: typing reaches the path again.
        QTest::keyClicks(form.Text1, QStringLiteral("x"));
        QCOMPARE(form.Text1->text(), QStringLiteral("/m/cq.wavx"));

        // Escape under the dialog, the port still opening: the dialog goes, and the
        // attempt with it, whenever the port answers.
        form.Text1->setText(QStringLiteral("/m/cq.wav"));
        serial.hold = true;
        form.cmdPlayTr->click();
        form.cmdWav->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isShown(), 20000);
        QTest::keyClick(form.cmdStop, Qt::Key_Escape);
        QTRY_VERIFY(!dialog.isShown());
        serial.answerHeld();
        QTest::qWait(50);
        QVERIFY(!serial.rts);
        QVERIFY(form.cmdPlayTr->isVisible());
    }

    // The media bar has the focus at start, and shows it from the start.
    void barShowsItsFocusFromTheStart()
    {
        Rig rig;
        MediaBar *bar = rig.form.MMControl1;
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(bar));
        const QImage focused = bar->grab().toImage();
        rig.form.cmdFile->setFocus();
        QTRY_VERIFY(!bar->hasFocus());
        const QImage unfocused = bar->grab().toImage();
        QVERIFY(focused != unfocused);
    }

    // The device's troubles reach the operator without a modal box, on air or not.
    void deviceProblemsAreToldWithoutABlockingBox()
    {
        Rig rig;
        QVERIFY(rig.keyOn());
        rig.device.record();
        rig.device.endTake(IAudioDevice::Problem::RecordingCut, QStringLiteral("No space left on device"));
        rig.device.saveError = QStringLiteral("Permission denied");
        rig.form.cmdSave->click();
        rig.device.record();
        rig.device.endTake(IAudioDevice::Problem::TakeClipped, QStringLiteral("3 σημεια, το μακρυτερο 12 ms, το πρωτο στο 0:02.4"));
        QCOMPARE(rig.journal.filter(QStringLiteral("notice[")),
                 (QStringList {"notice[Vendrel9|1]", "notice[Vendrel9|1]", "notice[Vendrel9|1]"}));
        QVERIFY(rig.journal.filter(QStringLiteral("message[")).isEmpty());
        QVERIFY(rig.messages.texts[0].contains(QStringLiteral("No space left on device")));
        QVERIFY(rig.messages.texts[1].contains(QStringLiteral("/m/cq.wav")));
        QVERIFY(rig.messages.texts[1].contains(QStringLiteral("Permission denied")));
        // A clipped take: where, and what to do about it.
        QVERIFY(rig.messages.texts[2].contains(QStringLiteral("ψαλιδιστηκε")));
        QVERIFY(rig.messages.texts[2].contains(QStringLiteral("3 σημεια, το μακρυτερο 12 ms, το πρωτο στο 0:02.4")));
        QVERIFY(rig.messages.texts[2].contains(QStringLiteral("χαμηλοτερη σταθμη")));
        QTRY_VERIFY(rig.serial.rts); // telling changes nothing on air
    }

    void lampsAreFilledCircles()
    {
        Rig rig;
        rig.form.Shape1->show();
        const QImage red = rig.form.Shape1->grab().toImage();
        const QImage green = rig.form.Shape2->grab().toImage();
        QCOMPARE(red.pixelColor(12, 12), QColor(0xFF, 0, 0));
        QCOMPARE(green.pixelColor(12, 12), QColor(0, 0xFF, 0));
        QVERIFY(green.pixelColor(1, 1) != QColor(0, 0xFF, 0)); // round, not square
    }

    void tabOrderRunsFromTheMediaBar()
    {
        Rig rig;
        Form1 &f = rig.form;
        const auto walk = [&] {
            QList<QWidget *> seen;
            f.MMControl1->setFocus();
            for (int i = 0; i < 6; ++i) {
                seen << QApplication::focusWidget();
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            }
            return seen;
        };
        QCOMPARE(walk(), (QList<QWidget *> {f.MMControl1, f.cmdFile, f.cmdPlayTr, f.Text1, f.cmdSave, f.MMControl1}));
        f.cmdStop->show();
        QCOMPARE(walk(), (QList<QWidget *> {f.MMControl1, f.cmdFile, f.cmdPlayTr, f.cmdStop, f.Text1, f.cmdSave}));
    }

    void enterAndEscPressNothing()
    {
        Rig rig;
        Form1 &f = rig.form;
        rig.form.Text1->setText(QStringLiteral("/m/cq.wav"));
        rig.journal.clear();
        for (QWidget *w : {static_cast<QWidget *>(f.MMControl1), static_cast<QWidget *>(f.cmdFile),
                           static_cast<QWidget *>(f.cmdPlayTr), static_cast<QWidget *>(f.Text1),
                           static_cast<QWidget *>(f.cmdSave)}) {
            w->setFocus();
            QTest::keyClick(w, Qt::Key_Return);
            QTest::keyClick(w, Qt::Key_Enter);
            QTest::keyClick(w, Qt::Key_Escape);
        }
        QVERIFY2(rig.journal.isEmpty(), qPrintable(rig.journal.join(QLatin1Char(','))));
        QVERIFY(f.isVisible());
    }

    void menusHoldTheirItems()
    {
        Rig rig;
        Form1 &f = rig.form;
        const QList<QAction *> top = f.menuBar()->actions();
        QCOMPARE(top.size(), 1);
        QCOMPARE(top.first()->text(), QStringLiteral("&Ρυθμισεις"));
        const QList<QAction *> entries = f.cmdRithmiseis->actions();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries.at(0)->text(), QStringLiteral("Θυρες Επικοινωνιας &COM"));
        QCOMPARE(entries.at(0)->menu(), f.cmdcom);
        QCOMPARE(entries.at(1), f.cmdWav);
        QCOMPARE(f.cmdWav->text(), QStringLiteral("Φακελλος Αρχειων &WAV"));
        const QList<QAction *> ports = f.cmdcom->actions();
        QCOMPARE(ports.size(), 6);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(ports.at(i)->text(), QStringLiteral("θυρα%1").arg(i + 1));
            QCOMPARE(ports.at(i)->data().toInt(), i + 1);
            QVERIFY(!ports.at(i)->isCheckable());
        }
    }

    void portMenuChangesTheLabelOnly()
    {
        Rig rig;
        rig.form.cmdcomN[3]->trigger();
        QCOMPARE(rig.form.PortNumber, qint16(4));
        QCOMPARE(rig.form.Label10->text(), QStringLiteral("4"));
        QVERIFY(rig.journal.isEmpty());
        rig.form.Text1->setText(QStringLiteral("/m/cq.wav"));
        rig.journal.clear();
        rig.form.cmdPlayTr->click();
        QCOMPARE(rig.journal.first(), QStringLiteral("serial.CommPort=4"));
    }

    void eventsReachTheirHandlers()
    {
        Rig rig;
        Form1 &f = rig.form;
        rig.device.openable << QStringLiteral("/m/cq.wav");
        rig.dialog.answers = QStringList {QStringLiteral("/m/cq.wav")};
        f.cmdFile->click();
        QTRY_COMPARE(f.Text1->text(), QStringLiteral("/m/cq.wav"));
        QCOMPARE(rig.device.mode(), IAudioDevice::Mode::Stopped);
        // Setting the same text again runs no change handler.
        rig.journal.clear();
        f.Text1->setText(QStringLiteral("/m/cq.wav"));
        QVERIFY(rig.journal.isEmpty());

        f.cmdPlayTr->click();
        QTRY_VERIFY(rig.serial.rts);
        QCOMPARE(rig.device.mode(), IAudioDevice::Mode::Playing);
        QVERIFY(f.Shape1->isVisible() && !f.Shape2->isVisible() && f.cmdStop->isVisible());
        f.cmdStop->click();
        QVERIFY(!rig.serial.rts && !rig.serial.portOpen());
        QVERIFY(!f.Shape1->isVisible() && f.Shape2->isVisible());

        rig.journal.clear();
        f.cmdSave->click();
        QCOMPARE(rig.journal, QStringList {"device.save"});
    }

    void editingThePathOnAirStopsSoundButNotKeying()
    {
        Rig rig;
        Form1 &f = rig.form;
        rig.device.openable << QStringLiteral("/m/cq.wav") << QStringLiteral("/m/73.wav");
        f.Text1->setText(QStringLiteral("/m/cq.wav"));
        f.cmdPlayTr->click();
        QTRY_COMPARE(rig.device.mode(), IAudioDevice::Mode::Playing);
        f.Text1->setText(QStringLiteral("/m/73.wav"));
        QCOMPARE(rig.device.mode(), IAudioDevice::Mode::Stopped); // closed and reopened
        rig.dialog.answers = QStringList {QStringLiteral("/m/cq.wav")};
        f.cmdWav->trigger();
        QTRY_VERIFY(rig.serial.rts);
        QVERIFY(f.Shape1->isVisible() && !f.Shape2->isVisible());
        QVERIFY(!f.cmdPlayTr->isVisible() && !f.cmdFile->isVisible());
        f.cmdStop->click();
        QVERIFY(!rig.serial.rts);
    }

    void closingWhileKeyedUnkeys()
    {
        Rig rig;
        rig.form.Text1->setText(QStringLiteral("/m/cq.wav"));
        rig.form.cmdPlayTr->click();
        QTRY_VERIFY(rig.serial.rts);
        rig.journal.clear();
        QVERIFY(rig.form.close());
        QCOMPARE(rig.journal, (QStringList {"device.stop", "serial.RTSEnable=0", "serial.PortOpen=0", "device.close"}));
        QVERIFY(!rig.serial.rts);
        QVERIFY(!rig.serial.portOpen());
    }

    void mediaBarFollowsTheDevice()
    {
        Rig rig;
        MediaBar *bar = rig.form.MMControl1;
        const auto enabled = [bar] {
            QString flags;
            for (int i = 0; i < MediaBar::ButtonCount; ++i)
                flags += bar->button(MediaBar::Button(i))->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
            return flags;
        };
        QCOMPARE(enabled(), QStringLiteral("00000")); // closed: all grey
        rig.bind();
        QCOMPARE(enabled(), QStringLiteral("11001")); // start, play, record
        QTest::mouseClick(bar->button(MediaBar::Play), Qt::LeftButton);
        QCOMPARE(enabled(), QStringLiteral("10110")); // start, pause, stop
        QTest::mouseClick(bar->button(MediaBar::Pause), Qt::LeftButton);
        QCOMPARE(enabled(), QStringLiteral("11011"));
        QTest::mouseClick(bar->button(MediaBar::Stop), Qt::LeftButton);
        QTest::mouseClick(bar->button(MediaBar::Record), Qt::LeftButton);
        QCOMPARE(enabled(), QStringLiteral("00010")); // recording: only stop
        QCOMPARE(rig.journal.filter(QStringLiteral("device.")).mid(2),
                 (QStringList {"device.play desk", "device.pause", "device.stop", "device.record"}));
        // The server goes away while recording: stop stays, and the bar says why.
        rig.device.setSound(false);
        QCOMPARE(enabled(), QStringLiteral("00010"));
        QVERIFY(bar->toolTip().contains(QStringLiteral("διακομιστης ηχου")));
        QVERIFY(bar->accessibleDescription().contains(QStringLiteral("διακομιστης ηχου")));
        QTest::mouseClick(bar->button(MediaBar::Stop), Qt::LeftButton);
        QCOMPARE(enabled(), QStringLiteral("10000")); // nothing to play to, nothing to record from
        rig.device.setSound(true);
        QCOMPARE(enabled(), QStringLiteral("11001"));
        QVERIFY(!bar->toolTip().contains(QStringLiteral("διακομιστης ηχου")));
    }

    // The operator sees before keying whether the message will start at its beginning,
    // in its middle, or has nothing left to play.
    void barShowsWhereTheMessageStands()
    {
        Rig rig;
        MediaBar *bar = rig.form.MMControl1;
        rig.device.frames = 10 * 48000;
        rig.bind();
        QCOMPARE(bar->positionText(), QStringLiteral("Θεση 0:00 απο 0:10"));
        QCOMPARE(bar->shownProgress(), 0.0);
        QVERIFY(bar->accessibleDescription().contains(bar->positionText()));

        // The line along the foot of the bar: filled up to the position, not past it.
        const auto lineAt = [bar](double fraction) {
            const QImage image = bar->grab().toImage();
            return image.pixelColor(int(image.width() * fraction), image.height() - 4);
        };
        rig.device.at = 3 * 48000;
        QTest::mouseClick(bar->button(MediaBar::Play), Qt::LeftButton);
        // Playing, the bar follows the position by itself.
        rig.device.at = 7 * 48000 + 100;
        QTRY_COMPARE(bar->positionText(), QStringLiteral("Θεση 0:07 απο 0:10"));
        QTRY_VERIFY(lineAt(0.5) != lineAt(0.9));
        QCOMPARE(lineAt(0.5), lineAt(0.1));
        QTest::mouseClick(bar->button(MediaBar::Stop), Qt::LeftButton);
        QVERIFY(bar->positionText().contains(QStringLiteral("συνεχιζει απο εδω")));
        QVERIFY(bar->toolTip().contains(bar->positionText()));

        // At the end: play is grey, start is there, and the text says what to do.
        rig.device.at = rig.device.frames;
        bar->refresh();
        QVERIFY(!bar->button(MediaBar::Play)->isEnabled());
        QVERIFY(bar->button(MediaBar::Start)->isEnabled());
        QVERIFY(bar->positionText().contains(QStringLiteral("τελος του μηνυματος")));
        QVERIFY(bar->accessibleDescription().contains(QStringLiteral("τελος του μηνυματος")));
        QCOMPARE(bar->shownProgress(), 1.0);
        QCOMPARE(lineAt(0.9), lineAt(0.1));

        // A take shows its own length as it grows.
        rig.device.at = 0;
        bar->refresh();
        QTest::mouseClick(bar->button(MediaBar::Record), Qt::LeftButton);
        rig.device.at = 2 * 48000;
        QTRY_COMPARE(bar->positionText(), QStringLiteral("Εγγραφη: 0:02"));
    }

    // While the sound moves, a line along the top of the bar shows its level up to a mark
    // at full scale, which turns red when the sound clips; a screen reader hears it too.
    void barShowsTheLevelWhileTheSoundMoves()
    {
        Rig rig;
        MediaBar *bar = rig.form.MMControl1;
        rig.bind();
        const auto top = [bar](double fraction) {
            const QImage image = bar->grab().toImage();
            return image.pixelColor(2 + int((image.width() - 11) * fraction), 1);
        };
        const auto mark = [bar] {
            const QImage image = bar->grab().toImage();
            return image.pixelColor(image.width() - 6, 5);
        };
        const QColor restingTop = top(0.3);
        const QColor restingMark = mark();
        QVERIFY(bar->levelText().isEmpty());

        rig.device.peak = 0.25; // -12 dB: three quarters of the scale
        QTest::mouseClick(bar->button(MediaBar::Play), Qt::LeftButton);
        QTRY_COMPARE(bar->levelText(), QStringLiteral("Σταθμη -12 dB"));
        QVERIFY(bar->accessibleDescription().contains(QStringLiteral("Σταθμη -12 dB")));
        QTRY_VERIFY(top(0.3) != restingTop);
        QCOMPARE(top(0.7), top(0.3));
        QVERIFY(top(0.8) != top(0.3));
        QVERIFY(mark() != restingMark);
        const QColor markAtRest = mark();

        rig.device.peak = 1.0;
        rig.device.clipped = true;
        QTRY_VERIFY(bar->shownClipping());
        QCOMPARE(top(0.95), top(0.3)); // lit to the end, and red like the mark
        QCOMPARE(mark(), top(0.3));
        QVERIFY(mark() != markAtRest);
        QVERIFY(mark().red() > 200 && mark().green() < 60);
        QVERIFY(bar->accessibleDescription().contains(QStringLiteral("ψαλιδιζει")));

        // Stopped, the line goes; recording, it comes back.
        rig.device.clipped = false;
        QTest::mouseClick(bar->button(MediaBar::Stop), Qt::LeftButton);
        QVERIFY(bar->levelText().isEmpty());
        QVERIFY(!bar->accessibleDescription().contains(QStringLiteral("Σταθμη")));
        QCOMPARE(top(0.3), restingTop);
        QCOMPARE(mark(), restingMark);
        rig.device.peak = 0.5;
        QTest::mouseClick(bar->button(MediaBar::Record), Qt::LeftButton);
        QTRY_COMPARE(bar->levelText(), QStringLiteral("Σταθμη -6 dB"));
        rig.device.peak = 0;
        QTRY_COMPARE(bar->levelText(), QStringLiteral("Σταθμη: σιωπη"));
    }

    void screenReadersHearWhatEachControlIs()
    {
        Rig rig;
        Form1 &f = rig.form;
        const auto said = [](QWidget *w, QAccessible::Text what) {
            QAccessibleInterface *face = QAccessible::queryAccessibleInterface(w);
            return face ? face->text(what) : QString();
        };
        QCOMPARE(said(f.Shape1, QAccessible::Name), QStringLiteral("Λυχνια εκπομπης"));
        QCOMPARE(said(f.Shape2, QAccessible::Name), QStringLiteral("Λυχνια αναμονης"));
        QVERIFY(said(f.Shape1, QAccessible::Description).contains(QStringLiteral("εκπεμπει")));
        QCOMPARE(said(f.Text1, QAccessible::Name), QStringLiteral("Αρχειο wav"));
        QVERIFY(!said(f.Text1, QAccessible::Description).isEmpty());
        QCOMPARE(said(f.cmdPlayTr, QAccessible::Name), QStringLiteral("ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ"));
        const QStringList bar {"ΑΡΧΗ", "ΑΝΑΠΑΡΑΓΩΓΗ", "ΠΑΥΣΗ", "ΔΙΑΚΟΠΗ", "ΕΓΓΡΑΦΗ"};
        for (int i = 0; i < MediaBar::ButtonCount; ++i) {
            QCOMPARE(said(f.MMControl1->button(MediaBar::Button(i)), QAccessible::Name), bar.at(i));
            QVERIFY(!said(f.MMControl1->button(MediaBar::Button(i)), QAccessible::Description).isEmpty());
        }
        // On air, the red lamp is the one a reader finds.
        f.Text1->setText(QStringLiteral("/m/cq.wav"));
        f.cmdPlayTr->click();
        QTRY_VERIFY(f.Shape1->isVisible());
        QAccessibleInterface *red = QAccessible::queryAccessibleInterface(f.Shape1);
        QAccessibleInterface *green = QAccessible::queryAccessibleInterface(f.Shape2);
        QVERIFY(!red->state().invisible);
        QVERIFY(green->state().invisible);
    }

    void stationWindowCarriesTheProjectIcon()
    {
        Station station;
        const QIcon icon = station.window.windowIcon();
        QVERIFY(!icon.isNull());
        QVERIFY(!icon.pixmap(16, 16).isNull());
        QVERIFY(!icon.pixmap(48, 48).isNull());
    }

    void mediaBarIsOneTabStopWorkedByKeys()
    {
        Rig rig;
        MediaBar *bar = rig.form.MMControl1;
        rig.bind();
        bar->setFocus();
        QCOMPARE(bar->currentButton(), int(MediaBar::Play));
        rig.journal.clear();
        QTest::keyClick(bar, Qt::Key_Space);
        QCOMPARE(rig.journal, QStringList {"device.play desk"});
        QTest::keyClick(bar, Qt::Key_Right);
        QTest::keyClick(bar, Qt::Key_Space);
        QCOMPARE(rig.journal.last(), QStringLiteral("device.pause"));
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
