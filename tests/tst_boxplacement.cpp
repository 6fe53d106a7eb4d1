#include "boxplacement.h"
#include "stations.h"
#include "lamp.h"
#include "mediabar.h"
#include "popupguard.h"
#include "station.h"

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QScreen>
#include <QTextEdit>
#include <QToolTip>
#include <QtTest>
#include <cstdio>
#include <cstdlib>

class TestBoxPlacement : public QObject
{
    Q_OBJECT

    static BoxPlacement station(const QRect &window, const QRect &screen = QRect(0, 0, 1920, 1080))
    {
        BoxPlacement where;
        where.screen = screen;
        where.window = window;
        // The lamps at the right, the keying buttons in the middle, as in the window.
        where.inSight << QRect(window.left() + 464, window.top() + 64, 25, 25)
                      << QRect(window.left() + 200, window.top() + 200, 153, 25)
                      << QRect(window.left() + 200, window.top() + 240, 153, 25);
        return where;
    }

    static QByteArray text(const QRect &r)
    {
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toLatin1();
    }

    static bool clearOf(const QRect &box, const QList<QRect> &areas)
    {
        for (const QRect &area : areas) {
            if (box.intersects(area))
                return false;
        }
        return true;
    }

    static bool onWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

    static QRect global(const QWidget *widget) { return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()); }

    static QList<QMessageBox *> shownBoxes()
    {
        QList<QMessageBox *> boxes;
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(top); box && box->isVisible())
                boxes << box;
        }
        return boxes;
    }

public:
    // Before the application: run on Wayland, these tests take the compositor that
    // scripts/test.sh starts, never the desktop's own, and are skipped without one.
    static void initMain()
    {
        if (!qgetenv("QT_QPA_PLATFORM").startsWith("wayland"))
            return;
        const QByteArray display = qgetenv("V9_WAYLAND_DISPLAY");
        if (display.isEmpty()) {
            std::fputs("skipped: needs the private Weston that scripts/test.sh starts\n", stderr);
            std::exit(77);
        }
        qputenv("WAYLAND_DISPLAY", display);
    }

private slots:
    void roomBesideTheWindowIsTakenFirst()
    {
        const BoxPlacement where = station(QRect(400, 300, 550, 330));
        const QPoint at = placeBox(where, QSize(300, 150));
        QCOMPARE(at, QPoint(958, 300)); // right of the window, level with its top
    }

    void theWindowAtAnEdgeHasItsBoxOnTheOtherSide_data()
    {
        QTest::addColumn<QRect>("window");
        QTest::addColumn<QSize>("box");
        QTest::newRow("right edge") << QRect(1370, 300, 550, 330) << QSize(300, 150);
        QTest::newRow("bottom-right corner") << QRect(1370, 750, 550, 330) << QSize(300, 150);
        QTest::newRow("top-left corner") << QRect(0, 0, 550, 330) << QSize(300, 150);
        QTest::newRow("full width") << QRect(0, 200, 1920, 330) << QSize(300, 150);
        QTest::newRow("full width, at the bottom") << QRect(0, 750, 1920, 330) << QSize(300, 150);
        QTest::newRow("wide box") << QRect(600, 300, 550, 330) << QSize(900, 200);
    }

    void theWindowAtAnEdgeHasItsBoxOnTheOtherSide()
    {
        QFETCH(QRect, window);
        QFETCH(QSize, box);
        const BoxPlacement where = station(window);
        const QRect placed(placeBox(where, box), box);
        QVERIFY2(where.screen.contains(placed), text(placed).constData());
        QVERIFY2(!placed.intersects(window), text(placed).constData());
    }

    // A screen the window fills: the box goes over the window, never over what it shows
    // of the station.
    void aFullScreenWindowKeepsItsLampsAndButtonsInSight()
    {
        const QRect screen(0, 0, 640, 480);
        const BoxPlacement where = station(QRect(0, 0, 640, 480), screen);
        const QSize box(260, 120);
        const QRect placed(placeBox(where, box), box);
        QVERIFY(screen.contains(placed));
        QVERIFY2(clearOf(placed, where.inSight), text(placed).constData());
    }

    void boxesUpTogetherNeverHideEachOther()
    {
        BoxPlacement where = station(QRect(400, 300, 550, 330));
        const QSize box(300, 150);
        for (int i = 0; i < 5; ++i) {
            const QRect placed(placeBox(where, box), box);
            QVERIFY(where.screen.contains(placed));
            QVERIFY(!placed.intersects(where.window));
            QVERIFY2(clearOf(placed, where.others), qPrintable(QString::number(i)));
            where.others << placed;
        }
        // The first two sit beside the window, one under the other.
        QCOMPARE(where.others.at(0).topLeft(), QPoint(958, 300));
        QCOMPARE(where.others.at(1).topLeft(), QPoint(958, 458));
    }

    // A box larger than the screen keeps its caption and its top-left corner in sight.
    void aBoxLargerThanTheScreenStartsAtItsCorner()
    {
        const QRect screen(0, 24, 800, 576);
        const BoxPlacement where = station(QRect(100, 100, 550, 330), screen);
        QCOMPARE(placeBox(where, QSize(1200, 900)), QPoint(0, 24));
    }

    // Inside the window, where boxes cannot be placed: the foot below the controls first,
    // then the band between the lamps and the keying buttons; a notice taller than any
    // clear band is cut to the tallest rather than cover them.
    void noticesInsideTheWindowCoverNothingInSight_data()
    {
        QTest::addColumn<int>("height");
        QTest::addColumn<QRect>("placed");
        QTest::newRow("one line, at the foot") << 36 << QRect(4, 268, 542, 36);
        QTest::newRow("four lines, over the path") << 90 << QRect(4, 110, 542, 90);
        QTest::newRow("taller than any gap") << 150 << QRect(4, 89, 542, 111);
    }

    void noticesInsideTheWindowCoverNothingInSight()
    {
        QFETCH(int, height);
        QFETCH(QRect, placed);
        const QRect area(0, 0, 550, 304);
        const QList<QRect> inSight = station(area).inSight;
        QCOMPARE(placeNotice(area, inSight, QSize(542, height)), placed);
        QVERIFY(clearOf(placed, inSight));
    }

    // Every message the station shows, a box the operator must dismiss and two that
    // arrive together, leaves the lamps and the keying buttons in sight, and showing one
    // waits for nothing. Boxes stand beside the window where the window system places
    // them; on Wayland, which does not, the messages are shown inside the window, one
    // after the other.
    void messagesLeaveTheStationInSight_data()
    {
        QTest::addColumn<QPoint>("windowAt");
        QTest::newRow("top left") << QPoint(0, 0);
        QTest::newRow("middle") << QPoint(120, 150);
        QTest::newRow("right edge") << QPoint(250, 100);
        QTest::newRow("bottom right") << QPoint(250, 270);
    }

    void messagesLeaveTheStationInSight()
    {
        QFETCH(QPoint, windowAt);
        Station station;
        Form1 &window = station.window;
        window.move(windowAt);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QList<QRect> inSight {global(window.Shape1), global(window.Shape2), global(window.cmdPlayTr),
                                    global(window.cmdStop)};
        // As long as the real ones, which name a path and a reason.
        const QStringList texts {
            QStringLiteral("Η θυρα COM5 (/dev/serial/by-id/usb-FTDI_FT232R-if00-port0) δεν λειτουργει: δεν "
                           "επιτρεπεται η προσβαση: ο χρηστης πρεπει να ανηκει στην ομαδα dialout"),
            QStringLiteral("Η εγγραφη δεν σωθηκε στο αρχειο /home/sv1abc/Μηνυματα/cq-contest.wav\n"
                           "δεν υπαρχει χωρος στη συσκευη"),
            QStringLiteral("Η εγγραφη σταματησε: ο προσωρινος φακελος γεμισε\nΟ,τι γραφτηκε ως εκει κρατηθηκε."),
        };
        station.messages.show(texts.at(0), QStringLiteral("Vendrel9"), IMessageBox::Icon::Warning);
        station.messages.notify(texts.at(1), QStringLiteral("Vendrel9"), IMessageBox::Icon::Warning);
        station.messages.notify(texts.at(2), QStringLiteral("Vendrel9"), IMessageBox::Icon::None);

        if (onWayland()) {
            QVERIFY(shownBoxes().isEmpty());
            auto *notices = window.findChild<QWidget *>(QStringLiteral("notices"));
            QVERIFY(notices);
            const QRect client = global(window.centralWidget());
            for (const QString &expected : texts) {
                QTRY_VERIFY(notices->isVisible());
                const QRect at = global(notices);
                QVERIFY2(client.contains(at), text(at).constData());
                QVERIFY2(clearOf(at, inSight), text(at).constData());
                QCOMPARE(notices->findChild<QTextEdit *>()->toPlainText(), expected);
                QCOMPARE(notices->findChild<QLabel *>(QStringLiteral("caption"))->text(), QStringLiteral("Vendrel9"));
                // The next waits for this one to be dismissed.
                notices->findChild<QPushButton *>()->click();
            }
            QVERIFY(!notices->isVisible());
            return;
        }

        QList<QMessageBox *> boxes = shownBoxes();
        QCOMPARE(boxes.size(), 3);
        std::sort(boxes.begin(), boxes.end(),
                  [&](QMessageBox *a, QMessageBox *b) { return texts.indexOf(a->text()) < texts.indexOf(b->text()); });
        QCOMPARE(boxes.at(0)->text(), texts.at(0));
        QCOMPARE(boxes.at(0)->windowModality(), Qt::WindowModal);
        QCOMPARE(boxes.at(1)->windowModality(), Qt::NonModal);
        const QRect screen = window.screen()->availableGeometry();
        for (qsizetype i = 0; i < boxes.size(); ++i) {
            const QRect box = boxes.at(i)->frameGeometry();
            QVERIFY2(screen.contains(box), text(box).constData());
            QVERIFY2(clearOf(box, inSight), text(box).constData());
            for (qsizetype j = 0; j < i; ++j)
                QVERIFY2(!box.intersects(boxes.at(j)->frameGeometry()), text(box).constData());
        }
        // Room below the window: the first box stands beside it, not over it.
        if (windowAt == QPoint(0, 0))
            QVERIFY(!boxes.at(0)->frameGeometry().intersects(window.frameGeometry()));
        QList<QPointer<QMessageBox>> dismissed(boxes.cbegin(), boxes.cend());
        for (QMessageBox *box : boxes)
            box->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(std::none_of(dismissed.cbegin(), dismissed.cend(), [](const auto &box) { return bool(box); }));
    }

    // Where a Wayland session runs XWayland too, the program goes through X, where its
    // boxes can stand beside the window; Wayland is the fallback, and a platform the user
    // chose is kept. The real program, on the private Weston with an Xvfb beside it: the
    // window shows up on one or the other.
    void theProgramGoesThroughXWhereBothRun_data()
    {
        QTest::addColumn<bool>("xReachable");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("onX");
        QTest::newRow("both, nothing chosen") << true << QString() << true;
        QTest::newRow("X unreachable") << false << QString() << false;
        QTest::newRow("Wayland chosen") << true << QStringLiteral("wayland") << false;
    }

    void theProgramGoesThroughXWhereBothRun()
    {
        QFETCH(bool, xReachable);
        QFETCH(QString, chosen);
        QFETCH(bool, onX);
        if (!onWayland())
            QSKIP("needs the private Weston (the Wayland pass of scripts/test.sh)");
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("needs Xvfb and xdotool");
        struct Ended
        {
            QProcess &process;
            ~Ended()
            {
                process.terminate();
                if (!process.waitForFinished(10000)) {
                    process.kill();
                    process.waitForFinished();
                }
            }
        };
        QProcess xvfb;
        Ended xvfbEnds {xvfb};
        xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                            QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                            QStringLiteral("tcp")});
        QVERIFY(xvfb.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine() || xvfb.waitForReadyRead(100), 20000);
        const QString display = QStringLiteral(":") + QString::fromLatin1(xvfb.readLine().trimmed());
        const auto xWindow = [&] {
            QProcess search;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), display);
            search.setProcessEnvironment(env);
            search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                     QStringLiteral("--name"), QStringLiteral("VALDOR")});
            search.waitForFinished(10000);
            return !search.readAllStandardOutput().trimmed().isEmpty();
        };

        QProcess program;
        Ended programEnds {program};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        if (!chosen.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), chosen);
        // A KDE Wayland session, where Qt on its own picks Wayland.
        env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
        // A display nobody serves, when X is not to be reached.
        env.insert(QStringLiteral("DISPLAY"), xReachable ? display : display + QStringLiteral("9"));
        // The client's own log of what it asks the compositor, among it the window's title.
        env.insert(QStringLiteral("WAYLAND_DEBUG"), QStringLiteral("client"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(V9_BINARY));
        QVERIFY(program.waitForStarted());
        QByteArray log;
        const auto onWaylandToo = [&] {
            log += program.readAllStandardError();
            return log.contains("set_title(\"") && log.contains("VALDOR");
        };
        // Each side is looked at once it has had its time: the other must not have a window.
        const bool shown = QTest::qWaitFor([&] { return onX ? xWindow() : onWaylandToo(); }, 30000);
        QVERIFY2(shown, log.right(3000).constData());
        QVERIFY2(onX ? !onWaylandToo() : !xWindow(), log.right(3000).constData());
        QCOMPARE(program.state(), QProcess::Running);
    }

    // On air, with a menu, a submenu or the bar's tooltip open, one click on ΔΙΑΚΟΠΗ
    // closes it and unkeys. The clicks go to the window the window system hands them to,
    // so Qt's own routing of a click while a popup is up is what is tried.
    void oneClickOnStopUnkeysWhateverIsOpen_data()
    {
        QTest::addColumn<QString>("open");
        QTest::newRow("menu") << "menu";
        QTest::newRow("submenu") << "submenu";
        // X11 gives an open menu every click, wherever it lands.
        QTest::newRow("menu holding the pointer") << "grabbing menu";
        QTest::newRow("tooltip over the button") << "tooltip";
    }

    void oneClickOnStopUnkeysWhateverIsOpen()
    {
        QFETCH(QString, open);
        FakeStation station;
        Form1 &form = station.form;
        PopupGuard guard {{form.cmdStop}, nullptr};
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(station.keyOn());
        QWindow *window = form.windowHandle();
        const QPoint stop = global(form.cmdStop).center();
        QWindow *pressed = window;
        QPointer<QWindow> released = window;

        if (open == QLatin1String("tooltip")) {
            // Where the tip of the bar would stand if the pointer had rested just above
            // the button: the tip is drawn a little below and right of the pointer.
            QToolTip::showText(stop - QPoint(20, 24), QStringLiteral("0:02 / 0:07"), form.MMControl1);
            QWidget *tip = nullptr;
            QTRY_VERIFY((tip = [] {
                for (QWidget *top : QApplication::topLevelWidgets()) {
                    if (top->windowType() == Qt::ToolTip && top->isVisible())
                        return top;
                }
                return static_cast<QWidget *>(nullptr);
            }()));
            QVERIFY2(global(tip).contains(stop), qPrintable(QStringLiteral("the tip does not cover the button")));
            pressed = released = tip->windowHandle();
        } else {
            const QRect title = form.menuBar()->actionGeometry(form.cmdRithmiseis->menuAction());
            QTest::mouseClick(window, Qt::LeftButton, {}, form.menuBar()->mapTo(&form, title.center()));
            if (!form.cmdRithmiseis->isVisible() && onWayland())
                QSKIP("the compositor opens no menu without a seat to click with");
            QTRY_VERIFY(form.cmdRithmiseis->isVisible());
            if (open == QLatin1String("submenu")) {
                QTest::keyClick(window, Qt::Key_Down);
                QTest::keyClick(window, Qt::Key_Right);
                QTRY_VERIFY(form.cmdcom->isVisible());
                QCOMPARE(QApplication::activePopupWidget(), form.cmdcom);
            }
            if (open == QLatin1String("grabbing menu"))
                pressed = form.cmdRithmiseis->windowHandle();
        }

        QTest::mousePress(pressed, Qt::LeftButton, {}, pressed->mapFromGlobal(stop));
        // A window that went with the press hands the release to the one under the pointer.
        if (!released)
            released = window;
        QTest::mouseRelease(released, Qt::LeftButton, {}, released->mapFromGlobal(stop));
        QVERIFY(!station.serial.rts);
        QCOMPARE(station.journal.count(QStringLiteral("serial.RTSEnable=0")), 1);
        QVERIFY(form.Shape2->isVisible());
        QVERIFY(!QApplication::activePopupWidget());
        QTRY_VERIFY(!QToolTip::isVisible());
    }
};

QTEST_MAIN(TestBoxPlacement)
#include "tst_boxplacement.moc"
