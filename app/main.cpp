#include "filedialog.h"
#include "form1.h"
#include "messagebox.h"
#include "serialport.h"
#include "shutdownsignals.h"
#include "wavedevice.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vendrel9"));

    WaveDevice device;
    SerialPortAdapter serial;
    QtFileDialog dialog;
    QtMessageBox messages;
    Form1 window(device, serial, dialog, messages);
    dialog.setParentWidget(&window);
    messages.setParentWidget(&window);

    // A signal closes the window like the user would, so the transmitter is unkeyed and
    // the sound stopped before the program ends, even from inside a dialog.
    ShutdownSignals shutdown;
    QObject::connect(&shutdown, &ShutdownSignals::shutdownRequested, &window, [&window] {
        window.unload();
        window.close();
        QCoreApplication::exit(0);
    });

    window.show();
    return app.exec();
}
