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

// Where a notice goes inside the window, for a platform that cannot place a box beside
// it: across the area (the window's client area), covering nothing in sight, in the
// lowest band of the area clear of it that is tall enough, so that the foot of the window
// below the controls is taken first. A notice taller than every clear band is cut to the
// tallest one (its text then scrolls). All rectangles are in the area's coordinates.
QRect placeNotice(const QRect &area, const QList<QRect> &inSight, const QSize &notice);
