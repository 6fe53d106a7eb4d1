#include "station.h"

#include "lamp.h"
#include "popupguard.h"
#include "unkeywatch.h"

#include <QCoreApplication>
#include <QIcon>
#include <QPushButton>

Station::Station()
{
    window.setWindowIcon(QIcon(QStringLiteral(":/vendrel9/org.vendrel9.Vendrel9.svg")));
    dialog.setParentWidget(&window);
    // Nothing may stand between the operator and the button that unkeys.
    dialog.keepLive(window.cmdStop);
    dialog.keepInSight({window.Shape1, window.Shape2, window.cmdPlayTr, window.cmdStop});
    // On air from the click on: an attempt still waiting for the port may key at any
    // moment under a dialog nobody can move.
    dialog.setOnAir([this] { return !window.cmdPlayTr->isVisible(); });
    // Nor an open menu or tooltip, which would take the first click only to close.
    new PopupGuard({window.cmdStop}, &window);
    messages.setParentWidget(&window);
    // A box over the lamps would let the transmitter be keyed out of sight.
    messages.keepInSight({window.Shape1, window.Shape2, window.cmdPlayTr, window.cmdStop});
    // A signal drops RTS from its handler, through the unkey watch and the port's helper,
    // whatever the window's thread is doing (stuck writing to a display that stopped
    // answering, say).
    ShutdownSignals::setFirstResponder(&unkey::request);
    // Then it closes the window like the user would: the transmitter is unkeyed and the
    // sound stopped before the program ends, even from inside a dialog. Unloading comes
    // first so that nothing of the window's own closing delays it.
    QObject::connect(&shutdown, &ShutdownSignals::shutdownRequested, &window, [this] {
        window.unload();
        window.close();
        QCoreApplication::exit(0);
    });
}
