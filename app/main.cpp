#include "station.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The program takes no arguments, and Qt's own are no exception: -stylesheet would
    // read a file, -reverse mirror the window, -qwindowgeometry resize it. Only the
    // program's name reaches Qt (the platform still comes from QT_QPA_PLATFORM).
    Q_UNUSED(argc);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendrel9"));
    Station station;
    station.window.show();
    const int result = app.exec();
    // The transmitter is unkeyed by now. What the operator asked to save is written
    // before the program ends, however slow the disk, while it keeps answering.
    station.device.finishSaves();
    return result;
}
