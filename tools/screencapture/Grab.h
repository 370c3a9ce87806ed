#pragma once

#include <QImage>
#include <QList>
#include <QRect>

namespace shotlark::tool {

// Where a screen is in Qt's coordinates and in the X server's pixels. Qt keeps a screen's origin
// as the server has it and divides only its size by the device pixel ratio, so a point maps
// through its own screen's origin, never through a global factor.
struct ScreenSpace {
    QRect logical; // QScreen::geometry()
    QRect native;  // the same screen on the root window
    qreal ratio = 1;

    // Every screen, in Qt's order.
    static QList<ScreenSpace> all();
    QPoint toNative(QPoint logicalGlobal) const;
    // A root-window rectangle as this screen's overlay sees it; empty when not on this screen.
    QRect toOverlay(const QRect& nativeGlobal) const;
};

// What every screen (in Qt's order) shows right now, in device pixels. Read through MIT-SHM
// when the server offers it (under a millisecond for a full HD screen), else by Qt's grab.
QList<QImage> freezeScreens();

} // namespace shotlark::tool
