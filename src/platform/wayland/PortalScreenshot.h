#pragma once

#include <QImage>
#include <QList>
#include <QString>

namespace shotlark::platform::wayland {

// What the desktop's Screenshot portal gave back.
struct PortalShot {
    QImage image;           // null when cancelled or failed
    bool cancelled = false; // the user closed the desktop's own picker
    bool missing = false;   // the session has no screenshot portal to ask
    QString error;          // why there is no picture, when not cancelled
};

// How shotlark-screencapture ends when the session has no screenshot portal (EX_UNAVAILABLE),
// so that the app can say what to install.
inline constexpr int noScreenshotPortalExit = 69;

// Asks the portal for a picture and waits for its answer in a local event loop (the tool has
// nothing else to do meanwhile). Interactive: the desktop's own picker, which may take as long
// as the user likes; otherwise the whole desktop at once. The portal's file is removed once read:
// the picture is ours to write where we were asked to.
PortalShot takePortalScreenshot(bool interactive);

// Whether the desktop's portal shows a picker of its own for regions and windows (GNOME and
// KDE do; wlroots desktops run a bare region tool without windows, so ours is used there).
bool desktopPicksRegions();

// The whole-desktop picture cut into one picture per screen, in Qt's screen order.
QList<QImage> splitByScreen(const QImage& desktop);

} // namespace shotlark::platform::wayland
