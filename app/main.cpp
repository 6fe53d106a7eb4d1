#include "station.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendrel9"));
    Station station;
    station.window.show();
    return app.exec();
}
