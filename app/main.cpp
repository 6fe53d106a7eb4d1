#include "station.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The program takes no arguments, and Qt's own are no exception: -stylesheet would
    // read a file, -reverse mirror the window, -qwindowgeometry resize it. Only the
    // program's name reaches Qt (the platform still comes from QT_QPA_PLATFORM).
    Q_UNUSED(argc);
    // A Wayland client cannot place its windows, and the message boxes must stand beside
    // the window, clear of the lamps: where the session runs XWayland too, the program goes
    // through X. Wayland stays the fallback if X cannot be reached, and a platform the user
    // chose is kept.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendrel9"));
    Station station;
    station.window.show();
    const int result = app.exec();
    // The transmitter is unkeyed by now. What the operator asked to save is written
    // before the program ends, however slow the disk, while it keeps answering; the port
    // is not left open meanwhile.
    station.serial.giveUpUnansweredClose();
    station.device.finishSaves();
    return result;
}
