#include "boxplacement.h"

#include <QTest>

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
};

QTEST_GUILESS_MAIN(TestBoxPlacement)
#include "tst_boxplacement.moc"
