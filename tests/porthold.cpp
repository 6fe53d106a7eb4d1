// Holds COM<argv[1]> open, as a second copy of the program would, until stdin closes.
#include "serialportadapter.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SerialPortAdapter port;
    port.setCommPort(qint16(argc > 1 ? std::atoi(argv[1]) : 1));
    bool opened = false;
    port.setPortOpen(true, [&](bool ok) {
        opened = ok;
        app.quit();
    });
    app.exec();
    if (!opened) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[16];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    return 0;
}
