#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

// Where a message box goes so that it never hides the station's state: clear of the
// areas that must stay in sight (the lamps and the keying buttons), clear of the window
// where there is room, clear of boxes already up, on the screen, and as near the window
// as that allows. All rectangles are in screen coordinates and include the frames.
struct BoxPlacement
{
    QRect screen;         // available area of the window's screen
    QRect window;         // the window, frame included
    QList<QRect> inSight; // never covered while any other place exists
    QList<QRect> others;  // boxes already shown
};

// The top-left corner for a box of the given size, frame included.
QPoint placeBox(const BoxPlacement &where, const QSize &box);
