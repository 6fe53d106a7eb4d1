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
    return app.exec();
}
